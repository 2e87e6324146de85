#include "localfile.h"

#include "filemove.h"
#include "filestat.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDebug>
#include <QFile>
#include <QFileInfo>

namespace {

const QString kStagingSuffix = QStringLiteral(".kestra-new");

} // namespace

bool copyLocalFile(const QString &source, const QString &destination, QString *error)
{
    QFile file(source);
    if (file.copy(destination))
        return true;
    if (error)
        *error = QStringLiteral("error copy file from %1 to %2 error %3").arg(source, destination, file.errorString());
    return false;
}

bool removeExistingFile(const QString &destination, QString *error)
{
    // Read-only files too (the file layer clears the attribute Windows
    // refuses to delete with); a link goes itself, never what it leads to.
    QString reason;
    if (deleteFile(destination, &reason))
        return true;
    if (error)
        *error = QCoreApplication::translate("global", "Ошибка при удалении файла %1, %2").arg(destination, reason);
    return false;
}

bool replaceLocalFile(const QString &source, const QString &destination, QString *error)
{
    if (!QFile::exists(destination))
        return copyLocalFile(source, destination, error);

    // Deleting the old file first would leave nothing at all when the copy
    // then fails (a full disk, a source that went away): the copier replaces
    // the updater's own executables this way. The new content is written
    // beside the target and moved over it in one step instead, so the
    // target holds the old file or the new one at every moment.
    const QString staged = stagingPath(QFileInfo(destination).absoluteFilePath());
    QFile::remove(staged);
    if (!copyLocalFile(source, staged, error))
        return false;
    hideStagingFile(staged);
    // A read-only destination is made writable by the move itself.
    QString reason;
    if (moveFileOver(staged, destination, &reason))
        return true;
    QFile::remove(staged);
    if (error)
        *error = QCoreApplication::translate("global", "Ошибка при удалении файла %1, %2").arg(destination, reason);
    return false;
}

QString stagingPath(const QString &target)
{
    const QFileInfo info(target);
    const QString name = info.fileName();
    const QString suffix = kStagingSuffix;
    // 255 is the limit in UTF-16 units on Windows and in bytes on Linux.
    const int limit = 255;
    auto fits = [&](const QString &staged) { return staged.size() <= limit && staged.toUtf8().size() <= limit; };
    QString staged = QLatin1Char('.') + name + suffix;
    if (fits(staged))
        return info.path() + QLatin1Char('/') + staged;
    const QString tag = QLatin1Char('~')
                        + QString::fromLatin1(QCryptographicHash::hash(name.toUtf8(), QCryptographicHash::Sha1)
                                                  .toHex()
                                                  .left(8));
    QString head = name;
    do {
        head.chop(head.size() > 1 && head.at(head.size() - 1).isLowSurrogate() ? 2 : 1);
        staged = QLatin1Char('.') + head + tag + suffix;
    } while (!fits(staged) && !head.isEmpty());
    return info.path() + QLatin1Char('/') + staged;
}

bool isStagingName(const QString &fileName)
{
    return fileName.size() > 12 && fileName.startsWith(QLatin1Char('.'))
           && fileName.endsWith(kStagingSuffix);
}

int sweepStagingFiles(const QString &folder)
{
    // A leftover is not hidden on Windows: it would go into backups, keep a
    // removed folder from looking empty and be copied on by the hand-over.
    int swept = 0;
    const QStringList found = findFilesNamed(folder, QStringLiteral("."), kStagingSuffix);
    for (const QString &path : found) {
        if (isStagingName(QFileInfo(path).fileName()) && removeExistingFile(path))
            ++swept;
    }
    if (swept > 0)
        qWarning().noquote() << QStringLiteral("removed %1 staging file(s) left in %2").arg(swept).arg(folder);
    return swept;
}
