// Windows: the Qt side of the file calls in winfile_win.cpp.

#include "filemove.h"

#include "winfile.h"

#include <QDebug>

bool moveFileOver(const QString &from, const QString &to, QString *error)
{
    int retries = 0;
    std::wstring reason;
    const bool moved = winfile::moveOver(from.toStdWString(), to.toStdWString(), &retries, &reason);
    if (retries > 0) {
        qWarning().noquote() << QStringLiteral("%1 was held by another program: %2 after %3 retries")
                                    .arg(to, moved ? QStringLiteral("replaced") : QStringLiteral("gave up"))
                                    .arg(retries);
    }
    if (!moved && error)
        *error = QString::fromStdWString(reason);
    return moved;
}

bool adoptFile(const QString &, const QString &)
{
    // A moved file keeps the access rights of the temporary folder, which is
    // private to the user; installed files must get those of the program's
    // folder, which only a copy gives them.
    return false;
}

bool flushFileSystem(const QString &, QString *)
{
    // Nothing is adopted here (see above): every file came in through
    // moveFileOver, which flushed it before its rename.
    return true;
}

bool deleteFile(const QString &path, QString *error)
{
    std::wstring reason;
    if (winfile::remove(path.toStdWString(), &reason))
        return true;
    if (error)
        *error = QString::fromStdWString(reason);
    return false;
}

void hideStagingFile(const QString &path)
{
    winfile::hide(path.toStdWString());
}
