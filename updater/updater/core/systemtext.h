#ifndef SYSTEMTEXT_H
#define SYSTEMTEXT_H

#include <QString>

// The operating system's error texts, as Qt passes them on (errno texts on
// Linux, and the four texts Qt never translates on every system: "No such
// file or directory", "Permission denied", "No space left on device", "Too
// many open files"), put into Russian phrases of our own. Lines shown to
// users go through it; log lines keep the original text for support.
//
// Every known phrase in text is replaced, wherever it stands (a Russian line
// usually ends in the system's reason after a comma); the rest of the text is
// left as it is. Matching ignores letter case and a trailing full stop.
QString russianSystemText(const QString &text);

#endif // SYSTEMTEXT_H
