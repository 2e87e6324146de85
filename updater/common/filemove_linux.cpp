#include "filemove.h"

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <cstring>

bool moveFileOver(const QString &from, const QString &to, QString *error)
{
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
    // (EXDEV) the caller copies.
    return std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
}
