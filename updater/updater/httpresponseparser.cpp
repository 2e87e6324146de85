#include "httpresponseparser.h"

#include <QList>
#include <QString>

#include <cstring>

namespace {

// A head larger than this is not something an update server sends; refusing
// it keeps a hostile server from making us buffer without end.
const qint64 kHeadLimit = 64 * 1024;
const int kChunkLineLimit = 8 * 1024;

bool parseDecimal(const QByteArray &text, qint64 *value)
{
    if (text.isEmpty() || text.size() > 18)
        return false;
    qint64 result = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
        result = result * 10 + (c - '0');
    }
    *value = result;
    return true;
}

bool parseHex(const QByteArray &text, qint64 *value)
{
    if (text.isEmpty() || text.size() > 15)
        return false;
    qint64 result = 0;
    for (const char c : text) {
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return false;
        result = result * 16 + digit;
    }
    *value = result;
    return true;
}

QList<QByteArray> tokens(const QByteArray &value)
{
    QList<QByteArray> result;
    for (const QByteArray &part : value.split(',')) {
        const QByteArray token = part.trimmed().toLower();
        if (!token.isEmpty())
            result.append(token);
    }
    return result;
}

} // namespace

qint64 HttpResponseParser::feed(const char *data, qint64 size, const BodySink &sink)
{
    qint64 pos = 0;
    while (pos < size && (m_state == ReadingHead || m_state == ReadingBody)) {
        if (m_state == ReadingHead) {
            QByteArray line;
            bool complete = false;
            if (!takeLine(data, size, &pos, &line, &complete))
                return pos;
            if (!complete)
                break;
            if (!headLine(line))
                return pos;
            continue;
        }
        if (m_mode == ByLength || m_mode == ToClose) {
            qint64 n = size - pos;
            if (m_mode == ByLength)
                n = qMin(n, m_contentLength - m_bodyReceived);
            if (!deliver(data + pos, n, sink))
                return pos;
            pos += n;
            if (m_mode == ByLength && m_bodyReceived == m_contentLength)
                m_state = Done;
            continue;
        }
        // Chunked.
        if (m_chunkPhase == ChunkData) {
            const qint64 n = qMin(size - pos, m_chunkLeft);
            if (!deliver(data + pos, n, sink))
                return pos;
            pos += n;
            m_chunkLeft -= n;
            if (m_chunkLeft == 0)
                m_chunkPhase = ChunkDataEnd;
            continue;
        }
        QByteArray line;
        bool complete = false;
        if (!takeLine(data, size, &pos, &line, &complete))
            return pos;
        if (!complete)
            break;
        switch (m_chunkPhase) {
        case ChunkDataEnd:
            if (!line.isEmpty()) {
                fail(QStringLiteral("malformed chunked body: no line end after a chunk"));
                return pos;
            }
            m_chunkPhase = ChunkSize;
            break;
        case ChunkSize: {
            const int semicolon = line.indexOf(';');
            qint64 chunk = 0;
            if (!parseHex((semicolon < 0 ? line : line.left(semicolon)).trimmed(), &chunk)) {
                fail(QStringLiteral("malformed chunked body: bad chunk size"));
                return pos;
            }
            if (chunk == 0) {
                m_chunkPhase = Trailers;
            } else {
                m_chunkLeft = chunk;
                m_chunkPhase = ChunkData;
            }
            break;
        }
        case Trailers:
            if (line.isEmpty())
                m_state = Done;
            break;
        case ChunkData:
            break;
        }
    }
    return pos;
}

void HttpResponseParser::closed()
{
    if (m_state == ReadingBody && m_mode == ToClose) {
        m_state = Done;
        return;
    }
    if (m_state == ReadingHead || m_state == ReadingBody)
        fail(QStringLiteral("connection closed before the response was complete"));
}

bool HttpResponseParser::keepAlive() const
{
    if (m_state != Done || m_mode == ToClose || m_connectionClose)
        return false;
    return !m_http10 || m_connectionKeepAlive;
}

bool HttpResponseParser::takeLine(const char *data, qint64 size, qint64 *pos, QByteArray *line, bool *complete)
{
    const qint64 start = *pos;
    const char *end = static_cast<const char *>(memchr(data + start, '\n', size_t(size - start)));
    const qint64 taken = end ? (end - data) + 1 - start : size - start;
    const bool inHead = m_state == ReadingHead || m_chunkPhase == Trailers;
    if (inHead) {
        m_headBytes += taken;
        if (m_headBytes > kHeadLimit) {
            fail(QStringLiteral("response head larger than %1 bytes").arg(kHeadLimit));
            return false;
        }
    } else if (m_pending.size() + taken > kChunkLineLimit) {
        fail(QStringLiteral("malformed chunked body: chunk size line too long"));
        return false;
    }
    *pos = start + taken;
    if (!end) {
        m_pending.append(data + start, int(taken));
        *complete = false;
        return true;
    }
    *line = m_pending;
    line->append(data + start, int(taken - 1));
    m_pending.clear();
    if (line->endsWith('\r'))
        line->chop(1);
    *complete = true;
    return true;
}

bool HttpResponseParser::headLine(const QByteArray &line)
{
    if (m_status == 0 && !m_interim)
        return statusLine(line);
    if (line.isEmpty())
        return headEnded();
    return headerLine(line);
}

bool HttpResponseParser::statusLine(const QByteArray &line)
{
    // "HTTP/1.x 200 Reason"
    if (line.size() < 12 || !line.startsWith("HTTP/1.") || line.at(7) < '0' || line.at(7) > '9' || line.at(8) != ' ') {
        fail(QStringLiteral("malformed status line"));
        return false;
    }
    qint64 code = 0;
    if (!parseDecimal(line.mid(9, 3), &code) || code < 100 || (line.size() > 12 && line.at(12) != ' ')) {
        fail(QStringLiteral("malformed status line"));
        return false;
    }
    if (code == 101) {
        fail(QStringLiteral("server switched protocols"));
        return false;
    }
    m_http10 = line.at(7) == '0';
    m_status = int(code);
    m_reason = line.mid(13).trimmed();
    m_interim = code < 200;
    return true;
}

bool HttpResponseParser::headerLine(const QByteArray &line)
{
    if (line.at(0) == ' ' || line.at(0) == '\t') {
        fail(QStringLiteral("folded header line"));
        return false;
    }
    const int colon = line.indexOf(':');
    if (colon <= 0) {
        fail(QStringLiteral("malformed header line"));
        return false;
    }
    if (m_interim)
        return true; // the headers of a 1xx answer say nothing about the real one
    const QByteArray name = line.left(colon).trimmed().toLower();
    const QByteArray value = line.mid(colon + 1).trimmed();
    if (name == "content-length") {
        qint64 length = -1;
        // Two different lengths leave no way to know where the body ends.
        if (!parseDecimal(value, &length) || (m_contentLength >= 0 && m_contentLength != length)) {
            fail(QStringLiteral("malformed Content-Length"));
            return false;
        }
        m_contentLength = length;
    } else if (name == "transfer-encoding") {
        const QList<QByteArray> codings = tokens(value);
        for (int i = 0; i < codings.size(); ++i) {
            if (codings.at(i) == "chunked" && i == codings.size() - 1)
                m_chunked = true;
            else if (codings.at(i) != "identity")
                m_unsupported = true;
        }
    } else if (name == "content-encoding") {
        // Compressed bodies are unpacked by the network manager; stored as
        // they come they would not be the file.
        for (const QByteArray &token : tokens(value)) {
            if (token != "identity")
                m_unsupported = true;
        }
    } else if (name == "connection") {
        for (const QByteArray &token : tokens(value)) {
            if (token == "close")
                m_connectionClose = true;
            else if (token == "keep-alive")
                m_connectionKeepAlive = true;
        }
    }
    return true;
}

bool HttpResponseParser::headEnded()
{
    if (m_interim) {
        m_interim = false;
        m_status = 0;
        m_reason.clear();
        return true;
    }
    m_headDone = true;
    if (m_unsupported) {
        fail(QStringLiteral("unsupported transfer coding"));
        return false;
    }
    if (m_status == 204 || m_status == 304) {
        // These never carry a body, whatever length the head names.
        m_mode = NoBody;
        m_contentLength = 0;
    } else if (m_chunked) {
        // A length next to a chunked body is ignored; such a connection is
        // not trusted for another request.
        if (m_contentLength >= 0)
            m_connectionClose = true;
        m_contentLength = -1;
        m_mode = Chunked;
        m_chunkPhase = ChunkSize;
    } else if (m_contentLength >= 0) {
        m_mode = ByLength;
    } else {
        m_mode = ToClose;
    }
    m_state = (m_mode == NoBody || (m_mode == ByLength && m_contentLength == 0)) ? Done : ReadingBody;
    return true;
}

bool HttpResponseParser::deliver(const char *data, qint64 size, const BodySink &sink)
{
    if (size <= 0)
        return true;
    m_bodyReceived += size;
    if (sink && !sink(data, size)) {
        m_sinkRefused = true;
        fail(QStringLiteral("the body could not be stored"));
        return false;
    }
    return true;
}

void HttpResponseParser::fail(const QString &reason)
{
    m_state = Failed;
    m_error = reason;
}
