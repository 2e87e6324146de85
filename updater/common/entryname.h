#ifndef ENTRYNAME_H
#define ENTRYNAME_H

#include <QString>

// True for a file or folder name that a pack may carry: not empty, not "." or
// "..", no "/", "\\" or ":" and no control characters. Documents whose
// "filename", "path" or "data" texts break this rule are refused, because
// such names could reach outside the module or pack folder on Windows.
bool isPortableEntryName(const QString &name);

#endif // ENTRYNAME_H
