#include "nginxserver.h"

#include <QDir>
#include <QFile>

namespace {

QString nginxBinary()
{
    return findExecutable({QStringLiteral("/usr/sbin/nginx"), QStringLiteral("nginx")});
}

} // namespace

NginxServer::NginxServer() = default;

NginxServer::~NginxServer()
{
    stop();
}

void NginxServer::setTls(const QString &certFile, const QString &keyFile)
{
    m_cert = certFile;
    m_key = keyFile;
}

bool NginxServer::isAvailable()
{
    return !nginxBinary().isEmpty();
}

QString NginxServer::baseUrl() const
{
    return QStringLiteral("%1://127.0.0.1:%2").arg(m_cert.isEmpty() ? "http" : "https").arg(m_port);
}

bool NginxServer::start(QString *error)
{
    const QString binary = nginxBinary();
    if (binary.isEmpty()) {
        if (error)
            *error = QStringLiteral("nginx is not installed");
        return false;
    }
    const QString work = m_work.path();
    return startServerOnFreePort(
        m_process, binary,
        [this, work](quint16 port, QStringList *arguments, QString *error) {
            const QString listen = m_cert.isEmpty() ? QStringLiteral("listen 127.0.0.1:%1;").arg(port)
                                                    : QStringLiteral("listen 127.0.0.1:%1 ssl;\n"
                                                                     "ssl_certificate %2;\n"
                                                                     "ssl_certificate_key %3;")
                                                          .arg(port)
                                                          .arg(m_cert, m_key);
            const QString config = QStringLiteral(
                                       "worker_processes 1;\n"
                                       "daemon off;\n"
                                       "master_process off;\n"
                                       "pid %1/nginx.pid;\n"
                                       "error_log %1/error.log warn;\n"
                                       "events { worker_connections 256; }\n"
                                       "http {\n"
                                       "  access_log off;\n"
                                       "  default_type application/octet-stream;\n"
                                       "  client_body_temp_path %1/body;\n"
                                       "  proxy_temp_path %1/proxy;\n"
                                       "  fastcgi_temp_path %1/fastcgi;\n"
                                       "  uwsgi_temp_path %1/uwsgi;\n"
                                       "  scgi_temp_path %1/scgi;\n"
                                       "  sendfile on;\n"
                                       "  keepalive_requests 100000;\n"
                                       "  server {\n"
                                       "    %2\n"
                                       "    server_name localhost;\n"
                                       "    root %3;\n"
                                       "    %4\n"
                                       "  }\n"
                                       "}\n")
                                       .arg(work, listen, m_root.isEmpty() ? work : m_root, m_extra);
            QFile file(work + QStringLiteral("/nginx.conf"));
            if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
                if (error)
                    *error = file.errorString();
                return false;
            }
            file.write(config.toUtf8());
            file.close();
            *arguments = QStringList{QStringLiteral("-p"), work, QStringLiteral("-c"), work + QStringLiteral("/nginx.conf")};
            return true;
        },
        &m_port, error);
}

void NginxServer::stop()
{
    m_process.stop();
}
