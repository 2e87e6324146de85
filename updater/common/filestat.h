#ifndef FILESTAT_H
#define FILESTAT_H

#include <QString>
#include <QStringList>

// The size of a local file, asked of the system in one call. For loops over
// thousands of files (the up-to-date check of a module), where QFileInfo's
// own bookkeeping costs more than the call. Answers as QFileInfo would:
// false when path names nothing (or nothing reachable; links are followed);
// otherwise true with *size the size in bytes (0 for a folder on Windows).
bool localFileSize(const QString &path, qint64 *size);

// Paths of the files below folder, its subfolders included, whose names
// start with prefix and end with suffix and are longer than both together.
// Links are neither followed nor listed; folders are not listed. For walks
// over a whole module (thousands of files) that look for a few names: the
// names that do not match cost no more than the system's listing of them.
QStringList findFilesNamed(const QString &folder, const QString &prefix, const QString &suffix);

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
