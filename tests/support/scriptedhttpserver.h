#pragma once

#include <QList>
#include <QMap>
#include <QMutex>
#include <QString>

class QThread;

// A tiny HTTP/1.1 server on 127.0.0.1, in a thread of its own so it keeps serving while the test thread blocks. It
// records every request byte for byte (which nginx cannot give back) and misbehaves on purpose: the n-th request gets
// answers[n] verbatim (the last one for all later requests), the connection closed after it when close is set; with
// pieceSize the body after the head goes out pieceSize bytes every intervalMs.
class ScriptedHttpServer
{
public:
    struct Request
    {
        QByteArray method, target, body;
        QMap<QByteArray, QByteArray> headers; // by name in lower case
        int connection = 0;                   // which accepted connection carried it, from 1
    };

    explicit ScriptedHttpServer(const QList<QByteArray> &answers, bool close = true, int pieceSize = 0,
                                int intervalMs = 0)
        : m_answers(answers), m_close(close), m_pieceSize(pieceSize), m_intervalMs(intervalMs) {}
    ~ScriptedHttpServer() { stop(); }
    Q_DISABLE_COPY(ScriptedHttpServer)
    // A whole answer with Content-Length and "Connection: close".
    static QByteArray answer(int status, const QByteArray &body);

    bool start(QString *error = nullptr);
    void stop();
    QString baseUrl() const { return QStringLiteral("http://127.0.0.1:%1").arg(m_port); }
    QList<Request> requests() const;

private:
    QList<QByteArray> m_answers;
    bool m_close;
    int m_pieceSize, m_intervalMs;
    quint16 m_port = 0;
    int m_connections = 0, m_answered = 0; // used in the server thread only
    QThread *m_thread = nullptr;
    mutable QMutex m_mutex;
    QList<Request> m_requests;
};
