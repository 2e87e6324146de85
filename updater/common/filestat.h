#ifndef FILESTAT_H
#define FILESTAT_H

#include <QString>

// The size of a local file, asked of the system in one call. For loops over
// thousands of files (the up-to-date check of a module), where QFileInfo's
// own bookkeeping costs more than the call. Answers as QFileInfo would:
// false when path names nothing (or nothing reachable; links are followed);
// otherwise true with *size the size in bytes (0 for a folder on Windows).
bool localFileSize(const QString &path, qint64 *size);

#endif // FILESTAT_H
