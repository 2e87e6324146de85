#include "scriptedhttpserver.h"

#include <QHostAddress>
#include <QMutexLocker>
#include <QPointer>
#include <QSemaphore>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

namespace {

QByteArray statusLine(int status)
{
    return QByteArrayLiteral("HTTP/1.1 ") + QByteArray::number(status) + QByteArrayLiteral(" Scripted\r\n");
}

// Parses one complete request from the front of buffer; false while more
// bytes are needed.
bool takeRequest(QByteArray *buffer, ScriptedHttpServer::Request *request)
{
    const int headerEnd = buffer->indexOf("\r\n\r\n");
    if (headerEnd < 0)
        return false;
    const QList<QByteArray> lines = buffer->left(headerEnd).split('\n');
    if (lines.isEmpty())
        return false;
    const QList<QByteArray> first = lines.first().trimmed().split(' ');
    request->method = first.value(0);
    request->target = first.value(1);
    request->headers.clear();
    int length = 0;
    for (int i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        const int colon = line.indexOf(':');
        if (colon <= 0)
            continue;
        const QByteArray name = line.left(colon).trimmed();
        const QByteArray value = line.mid(colon + 1).trimmed();
        request->headers.append(qMakePair(name, value));
        if (name.toLower() == "content-length")
            length = value.toInt();
    }
    const int total = headerEnd + 4 + length;
    if (buffer->size() < total)
        return false;
    request->body = buffer->mid(headerEnd + 4, length);
    buffer->remove(0, total);
    return true;
}

} // namespace

QByteArray ScriptedHttpServer::Request::header(const QByteArray &name) const
{
    for (const auto &pair : headers) {
        if (pair.first.toLower() == name.toLower())
            return pair.second;
    }
    return QByteArray();
}

class ScriptedHttpServer::Worker : public QThread
{
public:
    explicit Worker(ScriptedHttpServer *owner) : m_owner(owner) {}
    QSemaphore ready;
    quint16 port = 0;
    QString error;

protected:
    void run() override
    {
        QTcpServer server;
        if (!server.listen(QHostAddress::LocalHost, 0)) {
            error = server.errorString();
            ready.release();
            return;
        }
        port = server.serverPort();
        QObject::connect(&server, &QTcpServer::newConnection, &server, [this, &server]() {
            while (QTcpSocket *socket = server.nextPendingConnection())
                serve(socket);
        });
        ready.release();
        exec();
    }

private:
    void serve(QTcpSocket *socket)
    {
        auto buffer = QSharedPointer<QByteArray>::create();
        const int connection = ++m_connections;
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, buffer, connection]() {
            buffer->append(socket->readAll());
            Request request;
            while (takeRequest(buffer.data(), &request)) {
                request.connection = connection;
                m_owner->record(request);
                answer(socket, request);
            }
        });
    }

    void answer(QTcpSocket *socket, const Request &request)
    {
        const QByteArray body = m_owner->m_body;
        const QByteArray headers = statusLine(m_owner->m_status) + QByteArrayLiteral("Content-Length: ")
                                   + QByteArray::number(body.size())
                                   + QByteArrayLiteral("\r\nContent-Type: application/octet-stream\r\n"
                                                       "Connection: close\r\n\r\n");
        switch (m_owner->m_behaviour) {
        case Behaviour::Respond:
            socket->write(headers + body);
            socket->disconnectFromHost();
            break;
        case Behaviour::Silent:
            break;
        case Behaviour::Raw:
            socket->write(m_owner->m_raw);
            if (m_owner->m_rawClose)
                socket->disconnectFromHost();
            break;
        case Behaviour::HeadersThenStall:
            socket->write(headers + body.left(qMax(1, body.size() / 10)));
            break;
        case Behaviour::Truncate:
            socket->write(headers + body.left(qMax(1, body.size() / 10)));
            socket->disconnectFromHost();
            break;
        case Behaviour::CutOnce: {
            const QByteArray range = request.header("Range");
            qint64 from = 0;
            if (range.startsWith("bytes=") && m_owner->m_honourRange)
                from = range.mid(6, range.indexOf('-') - 6).toLongLong();
            if (++m_answers == 1) {
                socket->write(headers + body.left(body.size() * 2 / 5));
            } else if (from > 0 && from < body.size()) {
                socket->write("HTTP/1.1 206 Partial Content\r\nContent-Length: " + QByteArray::number(body.size() - from)
                              + "\r\nContent-Range: bytes " + QByteArray::number(from) + '-'
                              + QByteArray::number(body.size() - 1) + '/' + QByteArray::number(body.size())
                              + "\r\nConnection: close\r\n\r\n" + body.mid(int(from)));
            } else {
                socket->write(headers + body);
            }
            socket->disconnectFromHost();
            break;
        }
        case Behaviour::Trickle: {
            socket->write(headers);
            auto sent = QSharedPointer<int>::create(0);
            auto timer = new QTimer(socket);
            QPointer<QTcpSocket> guard(socket);
            QObject::connect(timer, &QTimer::timeout, socket, [this, guard, timer, sent, body]() {
                if (!guard)
                    return;
                const QByteArray piece = body.mid(*sent, m_owner->m_pieceSize);
                *sent += piece.size();
                guard->write(piece);
                if (*sent >= body.size()) {
                    timer->stop();
                    guard->disconnectFromHost();
                }
            });
            timer->start(m_owner->m_intervalMs);
            break;
        }
        }
    }

    ScriptedHttpServer *m_owner;
    int m_connections = 0;
    int m_answers = 0;
};

ScriptedHttpServer::ScriptedHttpServer(Behaviour behaviour) : m_behaviour(behaviour) {}

ScriptedHttpServer::~ScriptedHttpServer()
{
    stop();
}

void ScriptedHttpServer::setResponse(int status, const QByteArray &body)
{
    m_status = status;
    m_body = body;
}

void ScriptedHttpServer::setRaw(const QByteArray &answer, bool closeAfter)
{
    m_raw = answer;
    m_rawClose = closeAfter;
}

void ScriptedHttpServer::setTrickle(int pieceSize, int intervalMs)
{
    m_pieceSize = qMax(1, pieceSize);
    m_intervalMs = qMax(1, intervalMs);
}

bool ScriptedHttpServer::start(QString *error)
{
    stop();
    m_worker = new Worker(this);
    m_worker->start();
    if (!m_worker->ready.tryAcquire(1, 10000) || m_worker->port == 0) {
        if (error)
            *error = m_worker->error.isEmpty() ? QStringLiteral("server thread did not start") : m_worker->error;
        stop();
        return false;
    }
    m_port = m_worker->port;
    return true;
}

void ScriptedHttpServer::stop()
{
    if (!m_worker)
        return;
    m_worker->quit();
    m_worker->wait(10000);
    delete m_worker;
    m_worker = nullptr;
}

QString ScriptedHttpServer::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(m_port);
}

QList<ScriptedHttpServer::Request> ScriptedHttpServer::requests() const
{
    QMutexLocker lock(&m_mutex);
    return m_requests;
}

void ScriptedHttpServer::record(const Request &request)
{
    QMutexLocker lock(&m_mutex);
    m_requests.append(request);
}
