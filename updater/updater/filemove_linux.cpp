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
