#include "fileops.h"

#include "filemove.h"
#include "filestat.h"
#include "filerange.h"
#include "sha1digest.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QFileInfo>

#include <memory>

namespace {

constexpr qint64 kBlockSize = 1 << 20;

// One buffer per thread, reused for every file (copied or hashed alike):
// thousands of small files would otherwise each pay for a fresh megabyte.
// Left uninitialised, so that a thread that only copies small documents
// touches only the pages it uses.
char *blockBuffer()
{
    thread_local std::unique_ptr<char[]> buffer(new char[static_cast<size_t>(kBlockSize)]);
    return buffer.get();
}

// Reads file from where it stands to its end, handing each block and its
// offset to take, which may refuse it with a reason.
template <typename Take> bool readBlocks(QFile &file, QString *reason, Take take)
{
    char *buffer = blockBuffer();
    for (qint64 offset = 0;;) {
        const qint64 got = file.read(buffer, kBlockSize);
        if (got < 0)
            *reason = file.errorString();
        if (got <= 0)
            return got == 0;
        if (!take(buffer, offset, got, reason))
            return false;
        offset += got;
    }
}

bool fail(QString *error, const QString &text)
{
    if (error)
        *error = text;
    return false;
}

bool copyFailed(const QString &source, const QString &destination, const QString &reason, QString *error)
{
    return fail(error, QStringLiteral("error copy file from %1 to %2 error %3").arg(source, destination, reason));
}

bool removalFailed(const QString &path, const QString &reason, QString *error)
{
    return fail(error, QCoreApplication::translate("global", "Ошибка при удалении файла %1, %2").arg(path, reason));
}

} // namespace

bool copyLocalFile(const QString &source, const QString &destination, QString *error)
{
    QFile file(source);
    return file.copy(destination) || copyFailed(source, destination, file.errorString(), error);
}

bool copyFileHashing(const QString &source, const QString &destination, QString *sha1, QString *error,
                     qint64 *size, QString *sha256)
{
    // Unbuffered: the reads are large, QFile's own buffer would only add a copy.
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return copyFailed(source, destination, in.errorString(), error);
    QFile out(destination);
    if (!out.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered))
        return copyFailed(source, destination, out.errorString(), error);
    // Only when asked for: the updater's own copies need SHA-1 alone, and a
    // copy of a document that is compared byte by byte needs none.
    std::unique_ptr<Sha1Digest> digest(sha1 ? new Sha1Digest : nullptr);
    std::unique_ptr<Sha256Digest> digest256(sha256 ? new Sha256Digest : nullptr);
    const QDateTime modifiedBefore = in.fileTime(QFileDevice::FileModificationTime);
    qint64 total = 0;
    QString reason;
    bool copied = readBlocks(in, &reason, [&](const char *data, qint64 offset, qint64 length, QString *why) {
        if (digest)
            digest->addData(data, length);
        if (digest256)
            digest256->addData(data, length);
        total += length;
        return appendFileRange(in, offset, out, data, length, why);
    });
    // The digest must describe the stored bytes: a source written to while
    // it was copied gives no result rather than a mismatched one.
    if (copied && (in.fileTime(QFileDevice::FileModificationTime) != modifiedBefore || in.size() != total)) {
        copied = false;
        reason = QStringLiteral("the file changed while it was copied");
    }
    // A full disk can show only when the data is flushed on close.
    out.close();
    if (copied && out.error() != QFileDevice::NoError) {
        copied = false;
        reason = out.errorString();
    }
    if (!copied) {
        out.remove();
        return copyFailed(source, destination, reason, error);
    }
    if (sha1)
        *sha1 = QString::fromLatin1(digest->result().toHex());
    if (sha256)
        *sha256 = QString::fromLatin1(digest256->result().toHex());
    if (size)
        *size = total;
    return true;
}

bool removeExistingFile(const QString &destination, QString *error)
{
    // Read-only files too (the file layer clears the attribute Windows
    // refuses to delete with); a link goes itself, never what it leads to.
    QString reason;
    return deleteFile(destination, &reason) || removalFailed(destination, reason, error);
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
    return removalFailed(destination, reason, error);
}

QString calcHash(const QString &fileName, QCryptographicHash::Algorithm algorithm, QString *error)
{
    Q_ASSERT(algorithm == QCryptographicHash::Sha1 || algorithm == QCryptographicHash::Sha256);
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        if (!error)
            qWarning().noquote() << QStringLiteral("error open file ") + fileName;
        fail(error, file.errorString());
        return QString();
    }
    Sha1Digest sha1;
    std::unique_ptr<Sha256Digest> sha256(algorithm == QCryptographicHash::Sha256 ? new Sha256Digest : nullptr);
    QString reason;
    if (!readBlocks(file, &reason, [&](const char *data, qint64, qint64 length, QString *) {
            sha256 ? sha256->addData(data, length) : sha1.addData(data, length);
            return true;
        })) {
        // A digest of part of the file would be reported as the file's.
        if (!error)
            qWarning().noquote() << QStringLiteral("error read file %1 error: %2").arg(fileName, reason);
        fail(error, reason);
        return QString();
    }
    return QString::fromLatin1((sha256 ? sha256->result() : sha1.result()).toHex());
}

QString stagingPath(const QString &target)
{
    const QFileInfo info(target);
    const QString name = info.fileName();
    const QString suffix = QStringLiteral(".kestra-new");
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
           && fileName.endsWith(QLatin1String(".kestra-new"));
}

int sweepStagingFiles(const QString &folder)
{
    // A leftover is not hidden on Windows: it would go into backups, keep a
    // removed folder from looking empty and be copied on by the hand-over.
    int swept = 0;
    const QStringList found = findFilesNamed(folder, QStringLiteral("."), QStringLiteral(".kestra-new"));
    for (const QString &path : found) {
        if (isStagingName(QFileInfo(path).fileName()) && removeExistingFile(path))
            ++swept;
    }
    if (swept > 0)
        qWarning().noquote() << QStringLiteral("removed %1 staging file(s) left in %2").arg(swept).arg(folder);
    return swept;
}
