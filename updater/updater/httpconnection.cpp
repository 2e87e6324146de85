#include "httpconnection.h"

#include "transfer.h"

#include <QNetworkProxy>
#include <QNetworkProxyFactory>
#include <QNetworkProxyQuery>
#include <QTcpSocket>

namespace {

bool isSuccess(int status)
{
    return status >= 200 && status < 300;
}

QByteArray requestFor(const QUrl &url)
{
    QByteArray target = url.path(QUrl::FullyEncoded).toLatin1();
    if (target.isEmpty())
        target = "/";
    if (url.hasQuery())
        target += '?' + url.query(QUrl::FullyEncoded).toLatin1();
    QByteArray host = url.host(QUrl::FullyEncoded).toLatin1();
    if (host.contains(':'))
        host = '[' + host + ']';
    if (url.port() != -1)
        host += ':' + QByteArray::number(url.port());
    // The same agent text as the network manager's, for servers that look.
    return QByteArrayLiteral("GET ") + target + QByteArrayLiteral(" HTTP/1.1\r\nHost: ") + host
           + QByteArrayLiteral("\r\nUser-Agent: Mozilla/5.0\r\nAccept-Encoding: identity\r\n"
                               "Connection: keep-alive\r\n\r\n");
}

} // namespace

HttpConnection::HttpConnection(QObject *parent) : QObject(parent)
{
    connect(&m_watchdog, &QTimer::timeout, this, &HttpConnection::onWatchdog);
}

HttpConnection::~HttpConnection()
{
    dropConnection();
}

bool HttpConnection::canServe(const QUrl &url)
{
    if (url.scheme().compare(QLatin1String("http"), Qt::CaseInsensitive) != 0 || url.host().isEmpty()
        || !url.userInfo().isEmpty())
        return false;
    // A configured proxy must see the request; that is the manager's work.
    const QList<QNetworkProxy> proxies = QNetworkProxyFactory::proxyForQuery(QNetworkProxyQuery(url));
    if (proxies.isEmpty())
        return true;
    const QNetworkProxy::ProxyType type = proxies.first().type();
    return type == QNetworkProxy::NoProxy || type == QNetworkProxy::DefaultProxy;
}

void HttpConnection::get(const QUrl &url, const BodySink &sink)
{
    m_url = url;
    m_sink = sink;
    m_parser = HttpResponseParser();
    m_outcome = Running;
    m_error.clear();
    m_retried = false;
    m_answerStarted = false;
    m_request = requestFor(url);
    m_lastActivity.start();
    m_watchdog.start(int(qBound<qint64>(100, m_stallMs / 4, 1000)));

    const QString host = url.host();
    const quint16 port = quint16(url.port(80));
    // Anything that arrived on an idle connection (a late close, stray
    // bytes) makes it unfit to carry the next answer.
    if (m_socket && m_reusable && m_socket->state() == QAbstractSocket::ConnectedState
        && m_socket->bytesAvailable() == 0 && host == m_host && port == m_port) {
        m_reusable = false;
        m_onReusedConnection = true;
        m_socket->write(m_request);
        return;
    }
    m_host = host;
    m_port = port;
    openConnection();
}

void HttpConnection::abort(const QString &reason)
{
    if (m_outcome != Running)
        return;
    dropConnection();
    m_watchdog.stop();
    m_sink = nullptr;
    m_outcome = Failed;
    m_error = reason;
}

void HttpConnection::openConnection()
{
    dropConnection();
    m_socket = new QTcpSocket(this);
    // canServe() found no proxy for this address; the socket must not look again.
    m_socket->setProxy(QNetworkProxy::NoProxy);
    connect(m_socket, &QTcpSocket::connected, this, &HttpConnection::onConnected);
    connect(m_socket, &QTcpSocket::readyRead, this, &HttpConnection::onReadyRead);
    connect(m_socket, &QTcpSocket::disconnected, this, &HttpConnection::onDisconnected);
    connect(m_socket, &QAbstractSocket::errorOccurred, this, &HttpConnection::onSocketError);
    m_onReusedConnection = false;
    ++m_connectionsOpened;
    m_socket->connectToHost(m_host, m_port);
}

void HttpConnection::dropConnection()
{
    m_reusable = false;
    if (!m_socket)
        return;
    // Possibly called from one of the socket's own signals: it is deleted
    // once control is back in the event loop.
    m_socket->disconnect(this);
    m_socket->abort();
    m_socket->deleteLater();
    m_socket = nullptr;
}

void HttpConnection::onConnected()
{
    m_lastActivity.restart();
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_socket->write(m_request);
}

void HttpConnection::onReadyRead()
{
    if (m_outcome != Running) {
        m_reusable = false;
        return;
    }
    const QByteArray data = m_socket->readAll();
    if (data.isEmpty())
        return;
    m_lastActivity.restart();
    m_answerStarted = true;
    // Bodies of error pages and redirects are read past, never stored.
    const qint64 used = m_parser.feed(data.constData(), data.size(), [this](const char *piece, qint64 size) {
        return !isSuccess(m_parser.statusCode()) || !m_sink || m_sink(piece, size);
    });

    if (m_parser.state() == HttpResponseParser::Failed && m_parser.unsupportedCoding()) {
        dropConnection();
        finish(NotHandled);
        return;
    }
    if (m_parser.headComplete() && !isSuccess(m_parser.statusCode())) {
        const int status = m_parser.statusCode();
        const QByteArray reason = m_parser.reasonPhrase();
        dropConnection();
        if (status >= 300 && status < 400) {
            finish(NotHandled);
            return;
        }
        finish(Failed, httpStatusError(status, QString::fromLatin1(reason), m_url));
        return;
    }
    switch (m_parser.state()) {
    case HttpResponseParser::Done:
        m_reusable = m_parser.keepAlive() && used == data.size() && m_socket->bytesAvailable() == 0;
        if (!m_reusable)
            dropConnection();
        finish(Succeeded);
        return;
    case HttpResponseParser::Failed:
        dropConnection();
        finish(Failed, m_parser.sinkRefused()
                           ? QStringLiteral("the body of %1 could not be stored").arg(m_url.toDisplayString())
                           : QStringLiteral("bad answer from %1: %2").arg(m_url.toDisplayString(), m_parser.errorString()));
        return;
    default:
        return;
    }
}

bool HttpConnection::retryOnFreshConnection()
{
    // A kept connection may have been closed by the server while idle; the
    // request never reached it, and a GET may be sent again once.
    if (m_answerStarted || !m_onReusedConnection || m_retried)
        return false;
    m_retried = true;
    openConnection();
    return true;
}

void HttpConnection::onDisconnected()
{
    if (m_outcome != Running) {
        dropConnection();
        return;
    }
    if (m_socket->bytesAvailable() > 0) {
        onReadyRead();
        if (m_outcome != Running)
            return;
    }
    if (retryOnFreshConnection())
        return;
    m_parser.closed();
    dropConnection();
    if (m_parser.state() == HttpResponseParser::Done) {
        finish(Succeeded);
        return;
    }
    if (m_parser.headComplete() && m_parser.contentLength() >= 0) {
        finish(Failed, QStringLiteral("incomplete transfer of %1: %2 of %3 bytes received")
                           .arg(m_url.toDisplayString())
                           .arg(m_parser.bodyReceived())
                           .arg(m_parser.contentLength()));
        return;
    }
    finish(Failed, QStringLiteral("connection to %1 closed before the answer was complete")
                       .arg(m_url.toDisplayString()));
}

void HttpConnection::onSocketError()
{
    // A close by the server ends in disconnected(), handled there.
    if (m_socket->error() == QAbstractSocket::RemoteHostClosedError)
        return;
    if (m_outcome != Running) {
        dropConnection();
        return;
    }
    if (retryOnFreshConnection())
        return;
    const QString text = m_socket->errorString();
    dropConnection();
    finish(Failed, text);
}

void HttpConnection::onWatchdog()
{
    if (m_outcome != Running) {
        m_watchdog.stop();
        return;
    }
    if (m_lastActivity.elapsed() < m_stallMs)
        return;
    dropConnection();
    finish(Failed, QStringLiteral("transfer of %1 stalled: no data for %2 s")
                       .arg(m_url.toDisplayString())
                       .arg(m_stallMs / 1000));
}

void HttpConnection::finish(Outcome outcome, const QString &error)
{
    m_watchdog.stop();
    m_sink = nullptr;
    m_outcome = outcome;
    m_error = error;
    // Last: a receiver may start the next request from here.
    emit finished();
}
