#include "ftpserver.h"

#include <QProcess>

namespace {

const char *const kPython = "/usr/bin/python3";

} // namespace

FtpServer::~FtpServer()
{
    stop();
}

bool FtpServer::isAvailable()
{
    if (findExecutable({QString::fromLatin1(kPython)}).isEmpty())
        return false;
    QProcess probe;
    probe.start(QString::fromLatin1(kPython), {QStringLiteral("-c"), QStringLiteral("import pyftpdlib")});
    return probe.waitForFinished(10000) && probe.exitStatus() == QProcess::NormalExit && probe.exitCode() == 0;
}

QString FtpServer::baseUrl() const
{
    return QStringLiteral("ftp://127.0.0.1:%1").arg(m_port);
}

bool FtpServer::start(QString *error)
{
    for (int attempt = 0; attempt < 5; ++attempt) {
        m_port = freeTcpPort();
        // Without -w the anonymous user may only read.
        if (!m_process.start(QString::fromLatin1(kPython),
                             {QStringLiteral("-m"), QStringLiteral("pyftpdlib"), QStringLiteral("-i"),
                              QStringLiteral("127.0.0.1"), QStringLiteral("-p"), QString::number(m_port),
                              QStringLiteral("-d"), m_root},
                             error))
            return false;
        if (waitForPort(m_port, 10000))
            return true;
        m_process.stop();
    }
    if (error)
        *error = QStringLiteral("pyftpdlib did not start listening");
    return false;
}

void FtpServer::stop()
{
    m_process.stop();
}
