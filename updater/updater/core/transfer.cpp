#include "transfer.h"

#include "download.h"
#include "filemove.h"
#include "fileops.h"

#include <QDebug>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <QTimer>

namespace {

// How often a waiting download looks whether its thread was asked to stop.
const int kInterruptPollMs = 100;

// One request, streamed into the open file. Returns false with the reason.
bool transfer(const QUrl &url, const TransferOptions &transferOptions, QFile *file, QString *reason)
{
    Download::Options options;
    options.post = transferOptions.method.toUpper() == QLatin1String("POST");
    if (options.post)
        options.postBody = projectIdsBody(transferOptions.projectIds);
    options.maxBytes = transferOptions.maxBytes;
    // A download must never be able to wait forever on a server that
    // stopped answering, so a zero or negative limit gives the default.
    options.stallMs = transferOptions.stallMilliseconds > 0 ? transferOptions.stallMilliseconds
                                                            : kDefaultTransferStallMilliseconds;
    Download download(url, file, options);
    QEventLoop loop;
    QObject::connect(&download, &Download::finished, &loop, &QEventLoop::quit);
    // A cancelled install must not wait for a large file to arrive: the
    // reply itself is aborted, not only the loop around it.
    QThread *thread = QThread::currentThread();
    QTimer interruption;
    interruption.setInterval(kInterruptPollMs);
    QObject::connect(&interruption, &QTimer::timeout, &loop, [&]() {
        if (!thread->isInterruptionRequested())
            return;
        download.abort(QStringLiteral("transfer of %1 interrupted").arg(url.toDisplayString()));
        loop.quit();
    });
    if (thread->isInterruptionRequested()) {
        *reason = QStringLiteral("transfer of %1 interrupted").arg(url.toDisplayString());
        return false;
    }
    download.start();
    interruption.start();
    if (!download.isFinished())
        loop.exec();
    return download.succeeded(reason);
}

} // namespace

QString httpStatusError(int status, const QString &reasonPhrase, const QUrl &url)
{
    return QStringLiteral("server replied with HTTP status %1%2 for %3")
        .arg(status >= 0 ? QString::number(status) : QStringLiteral("(none)"),
             reasonPhrase.isEmpty() ? QString() : QLatin1Char(' ') + reasonPhrase, url.toDisplayString());
}

QByteArray projectIdsBody(const QStringList &ids)
{
    QString body = QStringLiteral("{\n\"projectIds\" : [\n");
    for (int i = 0; i < ids.size(); ++i) {
        if (i > 0)
            body += QStringLiteral(",\n");
        body += QLatin1Char('"') + ids.at(i) + QLatin1Char('"');
    }
    body += QStringLiteral("\n]\n}");
    return body.toUtf8();
}

bool loadUrl(const QUrl &url, const QString &fileName, QString *error, const TransferOptions &options)
{
    QFile file(fileName);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        const QString text = QStringLiteral("can't open file ") + fileName + QStringLiteral(" error: ")
                             + file.errorString();
        qWarning().noquote() << text;
        if (error)
            *error = text;
        return false;
    }
    QString reason;
    if (transfer(url, options, &file, &reason))
        return true;
    // What arrived before the failure (or a server's error page) is not the
    // document; leaving it would let the caller parse it as one.
    file.close();
    file.remove();
    qWarning().noquote() << reason;
    if (error)
        *error = reason;
    return false;
}

bool fetchFile(const QString &source, const QString &fileName, QString *error, const TransferOptions &options)
{
    const QUrl url(source, QUrl::TolerantMode);
    const QString scheme = url.scheme();
    if (scheme == QLatin1String("http") || scheme == QLatin1String("https") || scheme == QLatin1String("ftp"))
        return loadUrl(url, fileName, error, options);
    return copyLocalFile(source, fileName, error);
}

bool replaceFile(const QString &source, const QString &fileName, QString *error, const TransferOptions &options)
{
    // Fetched beside the destination and moved over it only once whole: an
    // unreachable server must not cost the copy that is already there.
    const QString staging = stagingPath(fileName);
    if (!removeExistingFile(staging, error))
        return false;
    if (!fetchFile(source, staging, error, options))
        return false;
    QString reason;
    if (moveFileOver(staging, fileName, &reason))
        return true;
    removeExistingFile(staging);
    const QString text = QStringLiteral("can't replace %1: %2").arg(fileName, reason);
    qWarning().noquote() << text;
    if (error)
        *error = text;
    return false;
}

QCryptographicHash::Algorithm digestAlgorithm(const QString &hexDigest)
{
    return hexDigest.size() == 64 ? QCryptographicHash::Sha256 : QCryptographicHash::Sha1;
}

qint64 folderSize(const QString &path, QStringList *files)
{
    const QDir dir(path);
    qint64 total = 0;
    const QFileInfoList entries = dir.entryInfoList(QDir::Files, QDir::NoSort);
    for (const QFileInfo &info : entries) {
        total += info.size();
        if (files)
            files->append(info.absoluteFilePath());
    }
    // Linked folders are not followed: a link back up the tree would recurse
    // without end, and a link elsewhere is not part of this folder.
    const QFileInfoList folders = dir.entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks,
                                                    QDir::NoSort);
    for (const QFileInfo &info : folders)
        total += folderSize(info.absoluteFilePath(), files);
    return total;
}

QStringList splitArguments(const QString &text, QChar separator, QChar quote)
{
    QStringList result;
    QString current;
    bool atStart = true;
    bool quoted = false;
    bool quotePending = false;
    auto endArgument = [&]() {
        result.append(current);
        current.clear();
        atStart = true;
        quoted = false;
        quotePending = false;
    };
    for (const QChar c : text) {
        if (atStart) {
            if (c == quote) {
                quoted = true;
                atStart = false;
            } else {
                quoted = false;
                if (c == separator) {
                    endArgument();
                } else {
                    current.append(c);
                    atStart = false;
                }
            }
        } else if (c == quote) {
            if (quotePending) {
                quotePending = false;
            } else {
                quotePending = true;
                current.append(c);
            }
        } else if (c == separator) {
            if (quoted && quotePending) {
                if (current.endsWith(quote))
                    current.chop(1);
                endArgument();
            } else if (quoted) {
                current.append(c);
            } else {
                endArgument();
            }
        } else {
            current.append(c);
        }
    }
    if (quoted && current.endsWith(quote))
        current.chop(1);
    result.append(current);
    return result;
}
