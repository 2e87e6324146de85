#include "transfer.h"

#include "httpconnection.h"
#include "localfile.h"
#include "networkaccess.h"
#include "settings.h"
#include "sha1digest.h"

#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

#include <memory>

namespace {

const int kDefaultStallSeconds = 60;
const qint64 kWholeReadLimit = 4999999;
const qint64 kHashChunk = 1000000;

bool isHttp(const QUrl &url)
{
    const QString scheme = url.scheme();
    return scheme == QLatin1String("http") || scheme == QLatin1String("https");
}

// True while the reply's current response is one whose body is the payload.
// Bodies of error pages and of redirects must never reach the destination.
bool bodyWanted(const QNetworkReply *reply)
{
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid())
        return true; // ftp, file: no status line
    const int code = status.toInt();
    return code >= 200 && code < 300;
}

// A GET over the thread's kept-alive plain connection. Returns false when the
// answer is one this path leaves to the network manager (nothing is kept of
// it then); otherwise true, with *ok and the reason set.
bool plainTransfer(const QUrl &url, QFile *file, qint64 stallMs, bool *ok, QString *reason)
{
    HttpConnection *connection = threadHttpConnection();
    connection->setStallTimeout(stallMs);
    bool writeFailed = false;
    QEventLoop loop;
    QObject::connect(connection, &HttpConnection::finished, &loop, &QEventLoop::quit);
    connection->get(url, [&](const char *data, qint64 size) {
        if (file->write(data, size) == size)
            return true;
        writeFailed = true;
        return false;
    });
    if (connection->outcome() == HttpConnection::Running)
        loop.exec();
    switch (connection->outcome()) {
    case HttpConnection::Succeeded:
        *ok = file->flush();
        if (!*ok)
            *reason = QStringLiteral("can't write file %1 error: %2").arg(file->fileName(), file->errorString());
        return true;
    case HttpConnection::NotHandled:
        file->seek(0);
        file->resize(0);
        return false;
    case HttpConnection::Running: // the event loop ended for another reason
        connection->abort(QStringLiteral("transfer of %1 interrupted").arg(url.toDisplayString()));
        break;
    case HttpConnection::Failed:
        break;
    }
    *ok = false;
    *reason = writeFailed
                  ? QStringLiteral("can't write file %1 error: %2").arg(file->fileName(), file->errorString())
                  : connection->errorString();
    return true;
}

// One request, streamed into the open file. Returns false with the reason.
bool transfer(const QUrl &url, const QString &method, QFile *file, QString *reason)
{
    const qint64 stallMs = transferStallMilliseconds();
    const bool post = method.toUpper() == QLatin1String("POST");
    bool ok = false;
    if (!post && HttpConnection::canServe(url) && plainTransfer(url, file, stallMs, &ok, reason))
        return ok;

    QNetworkRequest request(url);
    // Follow redirects only to the same or a safer scheme; an https server
    // redirecting to http is refused rather than silently downgraded.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);

    QNetworkAccessManager *manager = threadNetworkAccessManager();
    std::unique_ptr<QNetworkReply> reply;
    if (post) {
        request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
        reply.reset(manager->post(request, projectIdsBody(Settings::instance()->projects())));
    } else {
        reply.reset(manager->get(request));
    }

    // Activity only stamps the time; a coarse timer compares. Restarting a
    // timer on every piece of data costs more than the small transfers take.
    bool stalled = false;
    bool writeFailed = false;
    qint64 written = 0;
    bool wasRedirected = false;
    QEventLoop loop;
    QElapsedTimer lastActivity;
    lastActivity.start();
    QTimer watchdog;
    watchdog.setInterval(int(qBound<qint64>(100, stallMs / 4, 1000)));

    QNetworkReply *r = reply.get();
    auto drain = [&]() {
        const QByteArray chunk = r->readAll();
        if (chunk.isEmpty() || writeFailed || !bodyWanted(r))
            return;
        if (file->write(chunk) != chunk.size()) {
            writeFailed = true;
            r->abort();
            return;
        }
        written += chunk.size();
    };
    auto moving = [&]() { lastActivity.restart(); };

    QObject::connect(r, &QNetworkReply::readyRead, &loop, [&]() {
        moving();
        drain();
    });
    QObject::connect(r, &QNetworkReply::downloadProgress, &loop, moving);
    QObject::connect(r, &QNetworkReply::uploadProgress, &loop, moving);
    QObject::connect(r, &QNetworkReply::metaDataChanged, &loop, moving);
    QObject::connect(r, &QNetworkReply::redirected, &loop, [&]() {
        wasRedirected = true;
        moving();
    });
    QObject::connect(r, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QObject::connect(&watchdog, &QTimer::timeout, &loop, [&]() {
        if (lastActivity.elapsed() < stallMs)
            return;
        stalled = true;
        r->abort();
    });

    watchdog.start();
    if (!r->isFinished())
        loop.exec();
    watchdog.stop();
    if (!stalled && !writeFailed)
        drain();

    if (writeFailed) {
        *reason = QStringLiteral("can't write file %1 error: %2").arg(file->fileName(), file->errorString());
        return false;
    }
    if (stalled) {
        *reason = QStringLiteral("transfer of %1 stalled: no data for %2 s")
                      .arg(url.toDisplayString())
                      .arg(stallMs / 1000);
        return false;
    }
    if (r->error() != QNetworkReply::NoError) {
        *reason = r->errorString();
        return false;
    }
    if (isHttp(r->url()) || isHttp(url)) {
        const QVariant status = r->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        const int code = status.toInt();
        // A redirect that was not followed or any other non-2xx answer that
        // the network layer lets through is not the file that was asked for.
        if (!status.isValid() || code < 200 || code >= 300) {
            *reason = httpStatusError(status.isValid() ? code : -1,
                                      r->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString(), url);
            return false;
        }
    }
    // A server that closes the connection early can end the reply without an
    // error; a body shorter than the announced length is not the file. When
    // the network layer unpacks a compressed body it drops the length; after
    // a redirect the reply may still carry the redirect's own length, so the
    // check is left out there rather than failing good downloads.
    const QVariant length = r->header(QNetworkRequest::ContentLengthHeader);
    if (isHttp(r->url()) && !wasRedirected && length.isValid() && length.toLongLong() != written) {
        *reason = QStringLiteral("incomplete transfer of %1: %2 of %3 bytes received")
                      .arg(url.toDisplayString())
                      .arg(written)
                      .arg(length.toLongLong());
        return false;
    }
    if (!file->flush()) {
        *reason = QStringLiteral("can't write file %1 error: %2").arg(file->fileName(), file->errorString());
        return false;
    }
    return true;
}

} // namespace

// A download must never be able to wait forever on a server that stopped
// answering, so a bad value falls back to the default.
qint64 transferStallMilliseconds()
{
    bool ok = false;
    const int seconds = Settings::instance()
                            ->value(QString(), QStringLiteral("transfer_stall_timeout"), kDefaultStallSeconds)
                            .toInt(&ok);
    return qint64(ok && seconds > 0 ? seconds : kDefaultStallSeconds) * 1000;
}

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

bool loadUrl(const QUrl &url, const QString &fileName, QString *error, const QString &method)
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
    if (transfer(url, method, &file, &reason))
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

bool fetchFile(const QString &source, const QString &fileName, QString *error, const QString &method)
{
    const QUrl url(source, QUrl::TolerantMode);
    const QString scheme = url.scheme();
    if (scheme == QLatin1String("http") || scheme == QLatin1String("https") || scheme == QLatin1String("ftp"))
        return loadUrl(url, fileName, error, method);
    return copyLocalFile(source, fileName, error);
}

bool replaceFile(const QString &source, const QString &fileName, QString *error, const QString &method)
{
    if (!removeExistingFile(fileName, error))
        return false;
    return fetchFile(source, fileName, error, method);
}

QString calcHash(const QString &fileName, QCryptographicHash::Algorithm algorithm)
{
    QFile file(fileName);
    // Unbuffered: the reads are large, QFile's own buffer would only add a copy.
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        qWarning().noquote() << QStringLiteral("error open file ") + fileName;
        return QString();
    }
    // Every caller hashes with SHA-1, which runs on the shared libcrypto-backed
    // digest; other algorithms stay on QCryptographicHash.
    Sha1Digest sha1;
    QCryptographicHash other(algorithm);
    const bool isSha1 = algorithm == QCryptographicHash::Sha1;

    // Small files in one read, large ones in fixed pieces so memory stays at
    // about one megabyte whatever the file size.
    const qint64 size = file.size();
    const bool whole = size <= kWholeReadLimit;
    const qint64 step = whole ? size : kHashChunk;
    QByteArray buffer(static_cast<int>(qMax<qint64>(step, 1)), Qt::Uninitialized);
    qint64 done = 0;
    while (step > 0 && (!whole || done < size)) {
        const qint64 got = file.read(buffer.data(), whole ? size - done : step);
        if (got < 0) {
            // A digest of part of the file would be reported as the file's.
            qWarning().noquote() << QStringLiteral("error read file %1 error: %2").arg(fileName, file.errorString());
            return QString();
        }
        if (got == 0)
            break;
        if (isSha1)
            sha1.addData(buffer.constData(), got);
        else
            other.addData(buffer.constData(), static_cast<int>(got));
        done += got;
    }
    return QString::fromLatin1((isSha1 ? sha1.result() : other.result()).toHex());
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
