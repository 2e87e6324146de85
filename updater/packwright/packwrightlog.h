#ifndef PACKWRIGHTLOG_H
#define PACKWRIGHTLOG_H

#include <QString>

// Today's log file of the pack builder:
// <program folder>/logs/<yyyy_MM>/packwright_<yyyy-MM-dd>.txt. Folders that
// cannot be created are reported on standard output and the file goes into
// the last folder reached.
QString packwrightLogFilePath();

#endif // PACKWRIGHTLOG_H
