#include "scriptedhttpserver.h"

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

void reply(QTcpSocket *socket, const QByteArray &data, int pieceSize, int intervalMs, bool close)
{
    const int piece = pieceSize > 0 ? pieceSize : data.size();
    int sent = pieceSize > 0 ? data.indexOf("\r\n\r\n") + 4 : 0;
    socket->write(data.left(sent));
    auto timer = new QTimer(socket); // goes with the socket
    QObject::connect(timer, &QTimer::timeout, socket, [socket, timer, sent, data, piece, close]() mutable {
        socket->write(data.mid(sent, piece));
        sent += piece;
        if (sent < data.size())
            return;
        timer->stop();
        if (close)
            socket->disconnectFromHost();
    });
    timer->start(pieceSize > 0 ? intervalMs : 0);
}

} // namespace

QByteArray ScriptedHttpServer::answer(int status, const QByteArray &body)
{
    return "HTTP/1.1 " + QByteArray::number(status) + " Scripted\r\nContent-Length: " + QByteArray::number(body.size())
           + "\r\nConnection: close\r\n\r\n" + body;
}

bool ScriptedHttpServer::start(QString *error)
{
    stop();
    auto server = new QTcpServer;
    if (!server->listen(QHostAddress::LocalHost, 0)) {
        if (error)
            *error = QStringLiteral("can't listen: ") + server->errorString();
        delete server;
        return false;
    }
    m_port = server->serverPort();
    m_connections = m_answered = 0;
    m_thread = new QThread;
    server->moveToThread(m_thread);
    QObject::connect(m_thread, &QThread::finished, server, &QObject::deleteLater);
    QObject::connect(server, &QTcpServer::newConnection, server, [this, server]() {
        while (QTcpSocket *socket = server->nextPendingConnection()) {
            auto buffer = QSharedPointer<QByteArray>::create();
            const int connection = ++m_connections;
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, buffer, connection]() {
                buffer->append(socket->readAll());
                for (Request request; takeRequest(buffer.data(), &request); request = Request()) {
                    request.connection = connection;
                    QMutexLocker lock(&m_mutex);
                    m_requests.append(request);
                    reply(socket, m_answers.value(qMin(m_answered++, m_answers.size() - 1)), m_pieceSize, m_intervalMs,
                          m_close);
                }
            });
        }
    });
    m_thread->start();
    return true;
}

void ScriptedHttpServer::stop()
{
    if (m_thread) {
        m_thread->quit();
        m_thread->wait(10000);
        delete m_thread;
        m_thread = nullptr;
    }
}

QList<ScriptedHttpServer::Request> ScriptedHttpServer::requests() const
{
    QMutexLocker lock(&m_mutex);
    return m_requests;
}
