#include "filehash.h"

#include "filerange.h"
#include "sha1digest.h"

#include <QDateTime>
#include <QFile>

#include <memory>

namespace {

constexpr qint64 kBlockSize = 1 << 20;

// One buffer per thread, reused for every file: thousands of small files
// would otherwise each pay for a fresh megabyte. Left uninitialised, so that
// a thread that only copies small documents touches only the pages it uses.
char *blockBuffer()
{
    thread_local std::unique_ptr<char[]> buffer(new char[static_cast<size_t>(kBlockSize)]);
    return buffer.get();
}

void setFault(FileCopyFault *fault, FileCopyFault value, QString *error, const QString &reason)
{
    if (fault)
        *fault = value;
    if (error)
        *error = reason;
}

} // namespace

QString fileSha1Hex(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        if (error)
            *error = file.errorString();
        return QString();
    }
    Sha1Digest digest;
    char *buffer = blockBuffer();
    for (;;) {
        const qint64 got = file.read(buffer, kBlockSize);
        if (got < 0) {
            if (error)
                *error = file.errorString();
            return QString();
        }
        if (got == 0)
            break;
        digest.addData(buffer, got);
    }
    return QString::fromLatin1(digest.result().toHex());
}

bool copyFileWithSha1(const QString &source, const QString &destination, QString *sha1Hex, qint64 *size,
                      FileCopyFault *fault, QString *error, QString *sha256Hex)
{
    setFault(fault, FileCopyFault::None, nullptr, QString());
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        setFault(fault, FileCopyFault::SourceOpen, error, in.errorString());
        return false;
    }
    QFile out(destination);
    if (!out.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered)) {
        setFault(fault, FileCopyFault::Destination, error, out.errorString());
        return false;
    }
    // Only when asked for: the updater's own copies need SHA-1 alone, and a
    // copy of a document that is compared byte by byte needs none.
    std::unique_ptr<Sha1Digest> digest(sha1Hex ? new Sha1Digest : nullptr);
    std::unique_ptr<Sha256Digest> digest256(sha256Hex ? new Sha256Digest : nullptr);
    qint64 total = 0;
    const QDateTime modifiedBefore = in.fileTime(QFileDevice::FileModificationTime);
    char *buffer = blockBuffer();
    for (;;) {
        const qint64 got = in.read(buffer, kBlockSize);
        if (got < 0) {
            setFault(fault, FileCopyFault::SourceRead, error, in.errorString());
            out.remove();
            return false;
        }
        if (got == 0)
            break;
        if (digest)
            digest->addData(buffer, got);
        if (digest256)
            digest256->addData(buffer, got);
        QString reason;
        if (!appendFileRange(in, total, out, buffer, got, &reason)) {
            setFault(fault, FileCopyFault::Destination, error, reason);
            out.remove();
            return false;
        }
        total += got;
    }
    // The digest must describe the stored bytes: a source written to while
    // it was copied gives no result rather than a mismatched one.
    if (in.fileTime(QFileDevice::FileModificationTime) != modifiedBefore || in.size() != total) {
        setFault(fault, FileCopyFault::SourceRead, error, QStringLiteral("the file changed while it was copied"));
        out.remove();
        return false;
    }
    // A full disk can show only when the data is flushed on close.
    out.close();
    if (out.error() != QFileDevice::NoError) {
        setFault(fault, FileCopyFault::Destination, error, out.errorString());
        out.remove();
        return false;
    }
    if (sha1Hex)
        *sha1Hex = QString::fromLatin1(digest->result().toHex());
    if (sha256Hex)
        *sha256Hex = QString::fromLatin1(digest256->result().toHex());
    if (size)
        *size = total;
    return true;
}
