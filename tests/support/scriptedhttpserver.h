#ifndef SCRIPTEDHTTPSERVER_H
#define SCRIPTEDHTTPSERVER_H

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QPair>
#include <QString>

// A tiny HTTP/1.1 server on 127.0.0.1, in a thread of its own so it keeps
// serving while the test thread blocks. It records every request byte for
// byte (which nginx cannot give back) and can misbehave on purpose.
class ScriptedHttpServer
{
public:
    enum class Behaviour {
        Raw,     // the answer verbatim to every request; closed after it when close is set
        Trickle, // the answer's head at once, its body in pieces at an interval, then closed
        CutOnce, // the answer is a body: first reply cut after 40 %, later ones 206 from
                 // "Range: bytes=N-" (whole without one)
        CutOnceThenWhole, // as CutOnce, but later replies whole whatever the Range
    };
    struct Request
    {
        QByteArray method, target, body;
        QList<QPair<QByteArray, QByteArray>> headers;
        int connection = 0; // which accepted connection carried it, from 1
        QByteArray header(const QByteArray &name) const; // first of that name, any case
    };

    explicit ScriptedHttpServer(Behaviour behaviour, const QByteArray &answer, bool close = true)
        : m_behaviour(behaviour), m_answer(answer), m_close(close) {}
    ~ScriptedHttpServer() { stop(); }
    Q_DISABLE_COPY(ScriptedHttpServer)
    // A whole answer with Content-Length and "Connection: close".
    static QByteArray answer(int status, const QByteArray &body);

    void setTrickle(int pieceSize, int intervalMs) { m_pieceSize = qMax(1, pieceSize), m_intervalMs = intervalMs; }
    bool start(QString *error = nullptr);
    void stop();
    QString baseUrl() const { return QStringLiteral("http://127.0.0.1:%1").arg(m_port); }
    quint16 port() const { return m_port; }
    QList<Request> requests() const;

private:
    class Worker;
    Behaviour m_behaviour;
    QByteArray m_answer;
    bool m_close;
    int m_pieceSize = 2;
    int m_intervalMs = 500;
    quint16 m_port = 0;
    Worker *m_worker = nullptr;
    mutable QMutex m_mutex;
    QList<Request> m_requests;
};

#endif // SCRIPTEDHTTPSERVER_H
