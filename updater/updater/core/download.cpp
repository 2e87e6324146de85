#include "download.h"

#include "networkaccess.h"
#include "sha1digest.h"
#include "transfer.h"

#include <QDebug>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

#include <climits>

namespace {

const qint64 kReadPiece = 1024 * 1024;

bool isHttp(const QUrl &url)
{
    const QString scheme = url.scheme().toLower();
    return scheme == QLatin1String("http") || scheme == QLatin1String("https");
}

int statusOf(const QNetworkReply *reply)
{
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    return status.isValid() ? status.toInt() : -1;
}

// "bytes FIRST-LAST/TOTAL": true with the first byte and the total when the
// header has that form (a total of "*" is refused: the length must be known).
bool parseContentRange(const QByteArray &value, qint64 *first, qint64 *total)
{
    const QByteArray text = value.trimmed();
    if (!text.startsWith("bytes "))
        return false;
    const int dash = text.indexOf('-');
    const int slash = text.indexOf('/');
    if (dash < 0 || slash < dash)
        return false;
    bool okFirst = false;
    bool okTotal = false;
    *first = text.mid(6, dash - 6).trimmed().toLongLong(&okFirst);
    *total = text.mid(slash + 1).trimmed().toLongLong(&okTotal);
    return okFirst && okTotal && *first >= 0 && *total >= 0;
}

} // namespace

Download::Download(const QUrl &url, QFile *file, const Options &options, QObject *parent)
    : QObject(parent), m_url(url), m_file(file), m_options(options)
{
    resetDigest();
    m_written = m_options.received ? m_options.received : std::make_shared<std::atomic<qint64>>(0);
    m_written->store(0);
}

Download::~Download()
{
    if (m_reply) {
        m_reply->disconnect(this);
        m_reply->abort();
        m_reply->deleteLater();
    }
}

QString Download::contentDigest() const
{
    return m_digest;
}

bool Download::succeeded(QString *error) const
{
    if (error)
        *error = m_error;
    return m_finished && m_error.isEmpty();
}

void Download::resetDigest()
{
    m_sha1.reset();
    m_sha256.reset();
    if (m_options.digest == Options::Digest::Sha1)
        m_sha1 = std::make_unique<Sha1Digest>();
    else if (m_options.digest == Options::Digest::Sha256)
        m_sha256 = std::make_unique<Sha256Digest>();
}

void Download::start()
{
    send();
}

void Download::send()
{
    QNetworkRequest request(m_url);
    // Follow redirects only to the same or a safer scheme; an https server
    // redirecting to http is refused rather than silently downgraded.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    // The manager's own stall timer: restarted by every piece of data, it
    // ends a transfer that receives nothing for this long.
    request.setTransferTimeout(int(qBound<qint64>(1, m_options.stallMs, INT_MAX)));
    m_rangeFrom = m_written->load();
    if (m_rangeFrom > 0)
        request.setRawHeader("Range", "bytes=" + QByteArray::number(m_rangeFrom) + '-');
    m_responseChecked = false;
    m_redirected = false;
    ++m_requests;
    QNetworkAccessManager *manager = threadNetworkAccessManager();
    if (m_options.post) {
        request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
        m_reply = manager->post(request, m_options.postBody);
    } else {
        m_reply = manager->get(request);
    }
    // Bounded buffer: a slow disk holds the connection back instead of
    // letting the reply grow in memory.
    m_reply->setReadBufferSize(kReadPiece);
    connect(m_reply, &QNetworkReply::readyRead, this, &Download::onReadyRead);
    connect(m_reply, &QNetworkReply::finished, this, &Download::onFinished);
    connect(m_reply, &QNetworkReply::redirected, this, [this]() { m_redirected = true; });
}

// Decides, at the first byte of a 2xx answer, what the body continues and
// how long it may be. False when the transfer was failed.
bool Download::acceptResponse()
{
    m_responseChecked = true;
    const int status = statusOf(m_reply);
    if (m_rangeFrom > 0) {
        qint64 first = -1;
        qint64 total = -1;
        if (status == 206 && parseContentRange(m_reply->rawHeader("Content-Range"), &first, &total)
            && first == m_rangeFrom && (m_expected < 0 || total == m_expected)) {
            m_expected = total;
            return true;
        }
        if (status == 206) {
            fail(QStringLiteral("server resumed %1 at an unexpected place").arg(m_url.toDisplayString()));
            return false;
        }
        // The whole file again: what was written is dropped.
        restartContent();
    }
    // A compressed body is unpacked by the manager, which then drops the
    // length; after a redirect the reply may still carry the redirect's own
    // length. Neither length says anything about the content.
    const QVariant length = m_reply->header(QNetworkRequest::ContentLengthHeader);
    m_expected = isHttp(m_reply->url()) && !m_redirected && length.isValid() ? length.toLongLong() : -1;
    return true;
}

void Download::restartContent()
{
    m_file->seek(0);
    m_file->resize(0);
    m_written->store(0);
    m_expected = -1;
    resetDigest();
}

void Download::onReadyRead()
{
    if (!m_reply)
        return;
    const int status = statusOf(m_reply);
    // Bodies of error pages and redirects never reach the file.
    const bool wanted = status < 0 || (status >= 200 && status < 300);
    if (!wanted) {
        m_reply->skip(m_reply->bytesAvailable());
        return;
    }
    if (!m_responseChecked && !acceptResponse())
        return;
    const qint64 limit = m_expected >= 0 ? m_expected : m_options.maxBytes;
    while (m_reply && m_reply->bytesAvailable() > 0) {
        const QByteArray piece = m_reply->read(kReadPiece);
        if (piece.isEmpty())
            break;
        const qint64 written = m_written->load();
        // A server may not fill the disk: a body past what it declared (or
        // past what such a document may hold) ends the transfer.
        if ((limit >= 0 && written + piece.size() > limit)
            || (m_options.maxBytes >= 0 && written + piece.size() > m_options.maxBytes)) {
            fail(QStringLiteral("transfer of %1 runs past its size of %2 bytes")
                     .arg(m_url.toDisplayString())
                     .arg(m_expected >= 0 ? m_expected : m_options.maxBytes));
            return;
        }
        if (m_file->write(piece) != piece.size()) {
            fail(QStringLiteral("can't write file %1 error: %2").arg(m_file->fileName(), m_file->errorString()));
            return;
        }
        if (m_sha1)
            m_sha1->addData(piece.constData(), piece.size());
        else if (m_sha256)
            m_sha256->addData(piece.constData(), piece.size());
        m_written->store(written + piece.size());
    }
}

bool Download::resumable() const
{
    // Only a GET of a known length that already carried part of the file is
    // worth a Range request; anything else starts over as a new download.
    return !m_options.post && isHttp(m_url) && m_requests <= m_options.resumeAttempts && m_expected > 0
           && m_written->load() > 0 && m_written->load() < m_expected;
}

void Download::onFinished()
{
    if (!m_reply)
        return;
    onReadyRead();
    if (!m_reply)
        return; // failed while reading
    QNetworkReply *reply = m_reply;
    m_reply = nullptr;
    reply->disconnect(this);
    reply->deleteLater();
    const QNetworkReply::NetworkError error = reply->error();
    const int status = statusOf(reply);
    // A connection that broke is worth resuming; a server that stalled is
    // not asked again, or one stall would cost the limit several times over.
    const bool broken = error == QNetworkReply::RemoteHostClosedError || error == QNetworkReply::UnknownNetworkError
                        || error == QNetworkReply::NoError;
    if (broken && (status < 0 || (status >= 200 && status < 300)) && resumable()) {
        qWarning().noquote() << QStringLiteral("transfer of %1 broke at %2 of %3 bytes; resuming")
                                    .arg(m_url.toDisplayString())
                                    .arg(m_written->load())
                                    .arg(m_expected);
        send();
        return;
    }
    if (error == QNetworkReply::OperationCanceledError) {
        complete(QStringLiteral("transfer of %1 stalled: no data for %2 s")
                     .arg(m_url.toDisplayString())
                     .arg(m_options.stallMs / 1000));
        return;
    }
    if (error != QNetworkReply::NoError) {
        complete(reply->errorString());
        return;
    }
    // A redirect that was not followed or any other non-2xx answer that the
    // network layer lets through is not the file that was asked for.
    if ((isHttp(reply->url()) || isHttp(m_url)) && (status < 200 || status >= 300)) {
        complete(httpStatusError(status, reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString(),
                                 m_url));
        return;
    }
    // A server that closes the connection early can end the reply without
    // an error; a body shorter than the announced length is not the file.
    if (m_expected >= 0 && m_written->load() != m_expected) {
        complete(QStringLiteral("incomplete transfer of %1: %2 of %3 bytes received")
                     .arg(m_url.toDisplayString())
                     .arg(m_written->load())
                     .arg(m_expected));
        return;
    }
    if (!m_file->flush()) {
        complete(QStringLiteral("can't write file %1 error: %2").arg(m_file->fileName(), m_file->errorString()));
        return;
    }
    complete(QString());
}

// Drops the reply without letting its signals reach this object again.
void Download::releaseReply()
{
    if (!m_reply)
        return;
    QNetworkReply *reply = m_reply;
    m_reply = nullptr;
    reply->disconnect(this);
    reply->abort();
    reply->deleteLater();
}

void Download::fail(const QString &reason)
{
    releaseReply();
    complete(reason);
}

void Download::abort(const QString &reason)
{
    if (m_finished)
        return;
    releaseReply();
    m_finished = true;
    m_error = reason;
}

void Download::complete(const QString &error)
{
    if (m_finished)
        return;
    m_finished = true;
    m_error = error;
    if (error.isEmpty() && m_sha1)
        m_digest = QString::fromLatin1(m_sha1->result().toHex());
    else if (error.isEmpty() && m_sha256)
        m_digest = QString::fromLatin1(m_sha256->result().toHex());
    emit finished();
}
