#ifndef SCRIPTEDHTTPSERVER_H
#define SCRIPTEDHTTPSERVER_H

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QPair>
#include <QString>

class QThread;

// A tiny HTTP/1.1 server on 127.0.0.1 with a scripted behaviour, running in
// a thread of its own so it keeps serving while the test thread blocks. It
// records every request it reads (method, path, headers, body byte for byte),
// which nginx cannot give back, and it can misbehave on purpose: answer
// nothing, or stop after the headers, or send the body slowly.
class ScriptedHttpServer
{
public:
    enum class Behaviour {
        Respond,          // status line, Content-Length, body, close
        Silent,           // accept, never answer
        HeadersThenStall, // headers and a first piece of the body, then nothing
        Truncate,         // headers and a first piece of the body, then close
        Trickle,          // headers, then the body in pieces at an interval
        Raw,              // the bytes of setRaw() as they stand, for every request
        CutOnce,          // first answer cut after 40 % of the body; later ones whole,
                          // as 206 from a Range request when setHonourRange(true)
    };

    struct Request
    {
        QByteArray method;
        QByteArray target;
        QList<QPair<QByteArray, QByteArray>> headers;
        QByteArray body;
        int connection = 0; // which accepted connection carried it, from 1
        // Value of the first header of that name (case-insensitive).
        QByteArray header(const QByteArray &name) const;
    };

    explicit ScriptedHttpServer(Behaviour behaviour = Behaviour::Respond);
    ~ScriptedHttpServer();
    ScriptedHttpServer(const ScriptedHttpServer &) = delete;
    ScriptedHttpServer &operator=(const ScriptedHttpServer &) = delete;

    // The answer of Respond, and the body that the other behaviours start or
    // trickle out; set before start().
    void setResponse(int status, const QByteArray &body);
    // Raw: the whole answer, head and body, sent verbatim; the connection is
    // closed after it when closeAfter is set, kept open otherwise.
    void setRaw(const QByteArray &answer, bool closeAfter);
    // Trickle: body sent in pieces of pieceSize bytes every intervalMs.
    void setTrickle(int pieceSize, int intervalMs);
    // CutOnce: whether a request with "Range: bytes=N-" gets 206 and the rest.
    void setHonourRange(bool honour) { m_honourRange = honour; }

    bool start(QString *error = nullptr);
    void stop();

    quint16 port() const { return m_port; }
    QString baseUrl() const;
    QList<Request> requests() const;

private:
    class Worker;
    friend class Worker;
    void record(const Request &request);

    Behaviour m_behaviour;
    int m_status = 200;
    QByteArray m_body;
    QByteArray m_raw;
    bool m_rawClose = false;
    int m_pieceSize = 1;
    int m_intervalMs = 500;
    bool m_honourRange = true;
    quint16 m_port = 0;
    Worker *m_worker = nullptr;
    mutable QMutex m_mutex;
    QList<Request> m_requests;
};

#endif // SCRIPTEDHTTPSERVER_H
