#include "scriptedhttpserver.h"

#include <QHostAddress>
#include <QMutexLocker>
#include <QSemaphore>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

namespace {

// One complete request from the front of buffer; false while bytes are missing.
bool takeRequest(QByteArray *buffer, ScriptedHttpServer::Request *request)
{
    const int headerEnd = buffer->indexOf("\r\n\r\n");
    if (headerEnd < 0)
        return false;
    const QList<QByteArray> lines = buffer->left(headerEnd).split('\n');
    const QList<QByteArray> first = lines.first().trimmed().split(' ');
    request->method = first.value(0);
    request->target = first.value(1);
    for (const QByteArray &line : lines.mid(1)) {
        if (line.indexOf(':') > 0)
            request->headers.insert(line.left(line.indexOf(':')).trimmed().toLower(),
                                    line.mid(line.indexOf(':') + 1).trimmed());
    }
    const int total = headerEnd + 4 + request->headers.value("content-length").toInt();
    if (buffer->size() < total)
        return false;
    request->body = buffer->mid(headerEnd + 4, total - headerEnd - 4);
    buffer->remove(0, total);
    return true;
}

} // namespace

QByteArray ScriptedHttpServer::answer(int status, const QByteArray &body)
{
    return "HTTP/1.1 " + QByteArray::number(status) + " Scripted\r\nContent-Length: " + QByteArray::number(body.size())
           + "\r\nConnection: close\r\n\r\n" + body;
}

class ScriptedHttpServer::Worker : public QThread
{
public:
    explicit Worker(ScriptedHttpServer *owner) : m_owner(owner) {}
    QSemaphore ready;
    QString error;

protected:
    void run() override
    {
        QTcpServer server;
        if (server.listen(QHostAddress::LocalHost, 0))
            m_owner->m_port = server.serverPort();
        error = server.errorString();
        QObject::connect(&server, &QTcpServer::newConnection, &server, [this, &server]() {
            while (QTcpSocket *socket = server.nextPendingConnection()) {
                auto buffer = QSharedPointer<QByteArray>::create();
                const int connection = ++m_connections;
                QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, buffer, connection]() {
                    buffer->append(socket->readAll());
                    for (Request request; takeRequest(buffer.data(), &request); request = Request()) {
                        request.connection = connection;
                        {
                            QMutexLocker lock(&m_owner->m_mutex);
                            m_owner->m_requests.append(request);
                        }
                        reply(socket);
                    }
                });
            }
        });
        ready.release();
        if (server.isListening())
            exec();
    }

private:
    void reply(QTcpSocket *socket)
    {
        const QByteArray data = m_owner->m_answers.value(qMin(m_answered++, m_owner->m_answers.size() - 1));
        const bool trickle = m_owner->m_pieceSize > 0;
        const int piece = trickle ? m_owner->m_pieceSize : data.size();
        int sent = trickle ? data.indexOf("\r\n\r\n") + 4 : 0;
        socket->write(data.left(sent));
        auto timer = new QTimer(socket); // goes with the socket
        QObject::connect(timer, &QTimer::timeout, socket, [this, socket, timer, sent, data, piece]() mutable {
            socket->write(data.mid(sent, piece));
            sent += piece;
            if (sent < data.size())
                return;
            timer->stop();
            if (m_owner->m_close)
                socket->disconnectFromHost();
        });
        timer->start(trickle ? m_owner->m_intervalMs : 0);
    }

    ScriptedHttpServer *m_owner;
    int m_connections = 0;
    int m_answered = 0;
};

bool ScriptedHttpServer::start(QString *error)
{
    stop();
    m_worker = new Worker(this);
    m_worker->start();
    const bool ok = m_worker->ready.tryAcquire(1, 10000) && m_port != 0;
    if (!ok && error)
        *error = QStringLiteral("server thread did not start: ") + m_worker->error;
    if (!ok)
        stop();
    return ok;
}

void ScriptedHttpServer::stop()
{
    if (m_worker) {
        m_worker->quit();
        m_worker->wait(10000);
        delete m_worker;
        m_worker = nullptr;
    }
}

QList<ScriptedHttpServer::Request> ScriptedHttpServer::requests() const
{
    QMutexLocker lock(&m_mutex);
    return m_requests;
}
