#include "filemove.h"

#include <QFile>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// The content must be on the disk before its name is: after a power cut the
// module's record (renamed in last) must never name a file whose bytes were
// lost, as the size-only check of an unchanged record would not repair it.
void flushToDisk(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
}

} // namespace

bool moveFileOver(const QString &from, const QString &to, QString *error)
{
    flushToDisk(from);
    // rename(2) replaces an existing destination atomically.
    if (std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0)
        return true;
    if (error)
        *error = QString::fromLocal8Bit(std::strerror(errno));
    return false;
}

bool adoptFile(const QString &from, const QString &to)
{
    // Within one file system a rename is the whole job; across file systems
    // (EXDEV) the caller copies. No fsync per file: on a disk that honours
    // cache flushes each one costs a flush of the device, milliseconds on a
    // busy one, and the install loop waits for it file by file. The caller
    // flushes the whole volume once instead (flushFileSystem).
    return std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
}

bool flushFileSystem(const QString &path, QString *error)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0 && ::syncfs(fd) == 0) {
        ::close(fd);
        return true;
    }
    const int failure = errno;
    if (fd >= 0)
        ::close(fd);
    if (error)
        *error = QString::fromLocal8Bit(std::strerror(failure));
    return false;
}

bool deleteFile(const QString &path, QString *error)
{
    // unlink(2) removes a link itself; the file's own permissions do not
    // matter, only the folder's.
    if (::unlink(QFile::encodeName(path).constData()) == 0 || errno == ENOENT)
        return true;
    if (error)
        *error = QString::fromLocal8Bit(std::strerror(errno));
    return false;
}

void hideStagingFile(const QString &)
{
    // The leading dot of a staging name hides it.
}
