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
    // Without -w the anonymous user may only read.
    return startServerOnFreePort(
        m_process, QString::fromLatin1(kPython),
        [this](quint16 port, QStringList *arguments, QString *) {
            *arguments = QStringList{"-m", "pyftpdlib", "-i", "127.0.0.1", "-p", QString::number(port), "-d", m_root};
            return true;
        },
        &m_port, error);
}

void FtpServer::stop()
{
    m_process.stop();
}
