#ifndef FILESTAT_H
#define FILESTAT_H

#include <QString>

// The size of a local file, asked of the system in one call. For loops over
// thousands of files (the up-to-date check of a module), where QFileInfo's
// own bookkeeping costs more than the call. Answers as QFileInfo would:
// false when path names nothing (or nothing reachable; links are followed);
// otherwise true with *size the size in bytes (0 for a folder on Windows).
bool localFileSize(const QString &path, qint64 *size);

// Sizes of the files of one folder, asked by file name: the folder's path is
// resolved once, not again for every file (a module's folders hold hundreds
// of files). Answers as localFileSize of the folder's path, "/" and the name.
class FolderFileSizes
{
public:
    explicit FolderFileSizes(const QString &folder);
    ~FolderFileSizes();
    FolderFileSizes(const FolderFileSizes &) = delete;
    FolderFileSizes &operator=(const FolderFileSizes &) = delete;

    bool fileSize(const QString &name, qint64 *size) const;

private:
    QString m_folder;
    qintptr m_handle = -1; // the system's handle of the folder, where it has one
};

#endif // FILESTAT_H
