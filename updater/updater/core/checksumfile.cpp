#include "checksumfile.h"

#include "fileops.h"

#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace {

const qint64 kChecksumFileLimit = 4096;
const qint64 kWholeFetchMaxAgeSeconds = 24 * 60 * 60;

bool isLowerHex(const QByteArray &text)
{
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

} // namespace

QString checksumFileName(const QString &documentName)
{
    const int dot = documentName.lastIndexOf(QLatin1Char('.'));
    return (dot > 0 ? documentName.left(dot) : documentName) + QStringLiteral(".sha1");
}

QString readChecksumFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > kChecksumFileLimit)
        return QString();
    const QByteArray text = file.readAll();
    const QByteArray digest = text.left(40);
    // A digest of another length or a text that is not ours is no answer.
    if (digest.size() != 40 || !isLowerHex(digest) || (text.size() > 40 && text.at(40) != '\t'))
        return QString();
    return QString::fromLatin1(digest);
}

bool writeChecksumFile(const QString &documentPath, QString *error)
{
    const QString digest = calcHash(documentPath);
    const QFileInfo info(documentPath);
    QSaveFile file(info.absolutePath() + QLatin1Char('/') + checksumFileName(info.fileName()));
    QString reason;
    if (digest.isEmpty())
        reason = QStringLiteral("can't read ") + documentPath;
    else if (!file.open(QIODevice::WriteOnly))
        reason = file.errorString();
    else if (file.write((digest + QLatin1Char('\t') + info.fileName()).toUtf8()) < 0 || !file.commit())
        reason = file.errorString();
    if (reason.isEmpty())
        return true;
    qWarning().noquote() << QStringLiteral("can't write the checksum file of %1: %2").arg(documentPath, reason);
    if (error)
        *error = reason;
    return false;
}

bool fetchedWholeRecently(const QString &recordPath)
{
    const QFileInfo info(recordPath);
    if (!info.exists())
        return false;
    const qint64 age = info.lastModified().secsTo(QDateTime::currentDateTime());
    // A time in the future (a clock set back) is not trusted either.
    return age >= -60 && age < kWholeFetchMaxAgeSeconds;
}

void markFetchedWhole(const QString &recordPath)
{
    // Opened for writing: Windows sets file times only through a handle
    // with write access. A record that cannot be stamped is fetched whole
    // next time, which costs bytes, never an update.
    QFile file(recordPath);
    if (!file.open(QIODevice::Append)
        || !file.setFileTime(QDateTime::currentDateTime(), QFileDevice::FileModificationTime))
        qWarning().noquote() << QStringLiteral("can't stamp %1: %2").arg(recordPath, file.errorString());
}
