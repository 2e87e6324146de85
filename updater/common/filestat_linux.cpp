#include "filestat.h"

#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

bool localFileSize(const QString &path, qint64 *size)
{
    struct stat info;
    // stat(2) follows links, as QFileInfo does.
    if (::stat(QFile::encodeName(path).constData(), &info) != 0) {
        *size = 0;
        return false;
    }
    *size = qint64(info.st_size);
    return true;
}

FolderFileSizes::FolderFileSizes(const QString &folder) : m_folder(folder)
{
    // A handle that names the folder without opening it for reading; the
    // lookups below start from it.
    m_handle = ::open(QFile::encodeName(folder).constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
}

FolderFileSizes::~FolderFileSizes()
{
    if (m_handle >= 0)
        ::close(int(m_handle));
}

bool FolderFileSizes::fileSize(const QString &name, qint64 *size) const
{
    // A folder that was not there may be made later: asked by path then.
    if (m_handle < 0)
        return localFileSize(m_folder + QLatin1Char('/') + name, size);
    struct stat info;
    if (::fstatat(int(m_handle), QFile::encodeName(name).constData(), &info, 0) != 0) {
        *size = 0;
        return false;
    }
    *size = qint64(info.st_size);
    return true;
}
