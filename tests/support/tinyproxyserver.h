#ifndef TINYPROXYSERVER_H
#define TINYPROXYSERVER_H

#include "testprocess.h"

#include <QString>
#include <QTemporaryDir>

// tinyproxy as an HTTP proxy on 127.0.0.1, in the foreground with a
// configuration of its own, stopped by pid. It adds "Via: 1.1 <viaName>" to
// every request it forwards, so the server side can tell proxied requests.
class TinyProxyServer
{
public:
    TinyProxyServer() = default;
    ~TinyProxyServer();

    // Forward every request to another proxy on 127.0.0.1:port instead of
    // resolving and contacting the target itself. nginx accepts the absolute
    // request URIs a proxy sends, so it can stand in for any named host.
    void setUpstream(quint16 port) { m_upstream = port; }

    bool start(QString *error = nullptr);
    void stop();

    quint16 port() const { return m_port; }
    static QString viaName() { return QStringLiteral("kestra-test-proxy"); }
    static bool isAvailable();
    // What the proxy logged so far (it logs every request it serves).
    QByteArray log();

private:
    QTemporaryDir m_work;
    TestProcess m_process;
    QByteArray m_log;
    quint16 m_port = 0;
    quint16 m_upstream = 0;
};

#endif // TINYPROXYSERVER_H
