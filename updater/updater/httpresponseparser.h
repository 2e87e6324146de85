#ifndef HTTPRESPONSEPARSER_H
#define HTTPRESPONSEPARSER_H

#include <QByteArray>
#include <QString>

#include <functional>

// Reads one HTTP/1.x response from a byte stream that arrives in pieces of
// any size: status line, headers, then the body by Content-Length, chunked
// or up to the end of the connection. The answer comes from a server we do
// not control, so every length is checked and the head is size-limited.
class HttpResponseParser
{
public:
    // Receives the body piece by piece; returning false stops the parser.
    using BodySink = std::function<bool(const char *data, qint64 size)>;

    enum State { ReadingHead, ReadingBody, Done, Failed };

    // Feeds received bytes. Returns the number of bytes consumed: fewer than
    // size only when the response ended (Done) before the data did, or on
    // failure. Informational (1xx) answers before the real one are skipped.
    qint64 feed(const char *data, qint64 size, const BodySink &sink);
    // The connection closed: ends a body that runs to the close, fails
    // anything else that is not complete.
    void closed();

    State state() const { return m_state; }
    bool headComplete() const { return m_headDone; }
    // Status code of the final answer, 0 until its status line is read.
    int statusCode() const { return m_status; }
    QByteArray reasonPhrase() const { return m_reason; }
    // Announced body length, -1 when none was announced (chunked, to the close).
    qint64 contentLength() const { return m_contentLength; }
    qint64 bodyReceived() const { return m_bodyReceived; }
    // A transfer coding other than chunked, or a content coding, was
    // announced; this parser does not unpack those.
    bool unsupportedCoding() const { return m_unsupported; }
    // Whether the connection may carry another request once this one is Done.
    bool keepAlive() const;
    QString errorString() const { return m_error; }
    // The body sink refused data (a write error on its side).
    bool sinkRefused() const { return m_sinkRefused; }

private:
    enum BodyMode { NoBody, ByLength, Chunked, ToClose };
    enum ChunkPhase { ChunkSize, ChunkData, ChunkDataEnd, Trailers };

    bool takeLine(const char *data, qint64 size, qint64 *pos, QByteArray *line, bool *complete);
    bool headLine(const QByteArray &line);
    bool statusLine(const QByteArray &line);
    bool headerLine(const QByteArray &line);
    bool headEnded();
    bool deliver(const char *data, qint64 size, const BodySink &sink);
    void fail(const QString &reason);

    State m_state = ReadingHead;
    QByteArray m_pending; // part of a line not yet ended
    qint64 m_headBytes = 0;
    bool m_headDone = false;
    bool m_interim = false; // reading a 1xx answer that precedes the real one
    int m_status = 0;
    QByteArray m_reason;
    bool m_http10 = false;
    bool m_connectionClose = false;
    bool m_connectionKeepAlive = false;
    bool m_chunked = false;
    bool m_unsupported = false;
    qint64 m_contentLength = -1;
    BodyMode m_mode = NoBody;
    ChunkPhase m_chunkPhase = ChunkSize;
    qint64 m_chunkLeft = 0;
    qint64 m_bodyReceived = 0;
    bool m_sinkRefused = false;
    QString m_error;
};

#endif // HTTPRESPONSEPARSER_H
