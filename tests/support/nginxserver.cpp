#include "nginxserver.h"

#include "testfiles.h"

bool NginxServer::start(QString *error)
{
    const QString work = m_work.path();
    return startServer(binary(), [this, work](quint16 port, QStringList *arguments, QString *error) {
        const QString listen = QStringLiteral("listen 127.0.0.1:%1").arg(port)
                               + (m_cert.isEmpty() ? QStringLiteral(";")
                                                   : QStringLiteral(" ssl;\nssl_certificate %1;\nssl_certificate_key %2;")
                                                         .arg(m_cert, m_key));
        const QString config = QString::fromUtf8(readFile(QStringLiteral(KESTRA_SUPPORT_DIR "/nginx.conf")))
                                   .arg(work, listen, m_root.isEmpty() ? work : m_root, m_extra);
        const QString path = writeConfig(QStringLiteral("nginx.conf"), config, error);
        *arguments = QStringList{QStringLiteral("-p"), work, QStringLiteral("-c"), path};
        return !path.isEmpty();
    }, error);
}
