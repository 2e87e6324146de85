#include "tinyproxyserver.h"

#include <QFile>

namespace {

QString tinyproxyBinary()
{
    return findExecutable({"/usr/bin/tinyproxy", "/usr/sbin/tinyproxy", "tinyproxy"});
}

} // namespace

TinyProxyServer::~TinyProxyServer()
{
    stop();
}

bool TinyProxyServer::isAvailable()
{
    return !tinyproxyBinary().isEmpty();
}

QByteArray TinyProxyServer::log()
{
    m_log += m_process.output();
    return m_log;
}

bool TinyProxyServer::start(QString *error)
{
    const QString binary = tinyproxyBinary();
    if (binary.isEmpty()) {
        if (error)
            *error = QStringLiteral("tinyproxy is not installed");
        return false;
    }
    return startServerOnFreePort(
        m_process, binary,
        [this](quint16 port, QStringList *arguments, QString *error) {
            const QString config = QStringLiteral("Port %1\n"
                                                  "Listen 127.0.0.1\n"
                                                  "Timeout 30\n"
                                                  "LogLevel Info\n"
                                                  "MaxClients 20\n"
                                                  "Allow 127.0.0.1\n"
                                                  "ViaProxyName \"%2\"\n")
                                       .arg(port)
                                       .arg(viaName())
                                   + (m_upstream ? QStringLiteral("Upstream http 127.0.0.1:%1\n").arg(m_upstream)
                                                 : QString());
            QFile file(m_work.path() + QStringLiteral("/tinyproxy.conf"));
            if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
                if (error)
                    *error = file.errorString();
                return false;
            }
            file.write(config.toUtf8());
            // -d keeps it in the foreground (so its pid is ours) and logs to stdout.
            *arguments = QStringList{QStringLiteral("-d"), QStringLiteral("-c"), file.fileName()};
            return true;
        },
        &m_port, error);
}

void TinyProxyServer::stop()
{
    m_process.stop();
}
