// Windows: the Qt side of the size call in winfile_win.cpp.

#include "filestat.h"

#include "winfile.h"

#include <QDirIterator>
#include <QFileInfo>

bool localFileSize(const QString &path, qint64 *size)
{
    std::int64_t bytes = 0;
    switch (winfile::fileSize(path.toStdWString(), &bytes)) {
    case winfile::SizeAnswer::Found:
        *size = bytes;
        return true;
    case winfile::SizeAnswer::Missing:
        *size = 0;
        return false;
    case winfile::SizeAnswer::Unknown:
        break;
    }
    // Links are followed, as QFileInfo does.
    const QFileInfo info(path);
    *size = info.size();
    return info.exists();
}

// Windows has no lookup relative to a folder handle that is cheaper than the
// attribute call by path.
FolderFileSizes::FolderFileSizes(const QString &folder) : m_folder(folder) {}

FolderFileSizes::~FolderFileSizes() = default;

bool FolderFileSizes::fileSize(const QString &name, qint64 *size) const
{
    return localFileSize(m_folder + QLatin1Char('/') + name, size);
}

QStringList findFilesNamed(const QString &folder, const QString &prefix, const QString &suffix)
{
    QStringList found;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString name = it.fileName();
        if (name.size() > prefix.size() + suffix.size() && name.startsWith(prefix, Qt::CaseInsensitive)
            && name.endsWith(suffix, Qt::CaseInsensitive) && !it.fileInfo().isSymLink())
            found.append(path);
    }
    return found;
}
