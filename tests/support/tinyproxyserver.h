#pragma once

#include "testprocess.h"

// tinyproxy as an HTTP proxy on 127.0.0.1, in the foreground with a
// configuration of its own, stopped by pid. It adds "Via: 1.1 <viaName>" to
// every request it forwards, so the server side can tell proxied requests.
class TinyProxyServer : public ServerProcess
{
public:
    ~TinyProxyServer() { stop(); }
    // Forward every request to another proxy on 127.0.0.1:port instead of
    // resolving and contacting the target itself. nginx accepts the absolute
    // request URIs a proxy sends, so it can stand in for any named host.
    void setUpstream(quint16 port) { m_upstream = port; }
    bool start(QString *error = nullptr)
    {
        return startServer(binary(), [this](quint16 port, QStringList *arguments, QString *error) {
            const QString path = writeConfig(
                QStringLiteral("tinyproxy.conf"),
                QStringLiteral("Port %1\nListen 127.0.0.1\nTimeout 30\nLogLevel Info\nMaxClients 20\n"
                               "Allow 127.0.0.1\nViaProxyName \"%2\"\n").arg(port).arg(viaName())
                    + (m_upstream ? QStringLiteral("Upstream http 127.0.0.1:%1\n").arg(m_upstream) : QString()),
                error);
            // -d keeps it in the foreground (so its pid is ours) and logs to stdout.
            *arguments = QStringList{QStringLiteral("-d"), QStringLiteral("-c"), path};
            return !path.isEmpty();
        }, error);
    }
    static QString viaName() { return QStringLiteral("kestra-test-proxy"); }
    static bool isAvailable() { return !binary().isEmpty(); }
    // What the proxy logged so far (it logs every request it serves).
    QByteArray log() { return m_log += m_process.output(); }

private:
    static QString binary() { return findExecutable({"/usr/bin/tinyproxy", "/usr/sbin/tinyproxy", "tinyproxy"}); }
    QByteArray m_log;
    quint16 m_upstream = 0;
};
