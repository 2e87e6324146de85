#include "testprocess.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <csignal>
#include <sys/types.h>
#include <signal.h>
#include <sys/prctl.h>

void OrphanSafeProcess::setupChildProcess()
{
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
}

TestProcess::~TestProcess()
{
    stop();
}

bool TestProcess::start(const QString &program, const QStringList &arguments, QString *error,
                        const QString &workingDir)
{
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    if (!workingDir.isEmpty())
        m_process.setWorkingDirectory(workingDir);
    m_process.start(program, arguments);
    if (!m_process.waitForStarted(10000)) {
        if (error)
            *error = QStringLiteral("can't start %1: %2").arg(program, m_process.errorString());
        return false;
    }
    m_pid = m_process.processId();
    return true;
}

void TestProcess::stop()
{
    if (m_pid <= 0 || m_process.state() == QProcess::NotRunning) {
        m_pid = 0;
        return;
    }
    ::kill(static_cast<pid_t>(m_pid), SIGTERM);
    if (!m_process.waitForFinished(5000)) {
        ::kill(static_cast<pid_t>(m_pid), SIGKILL);
        m_process.waitForFinished(5000);
    }
    m_pid = 0;
}

bool TestProcess::isRunning() const
{
    return m_process.state() != QProcess::NotRunning;
}

QByteArray TestProcess::output()
{
    return m_process.readAll();
}

ProcessResult runProcess(const QString &program, const QStringList &arguments, int timeoutMs,
                         const QString &workingDir, const QProcessEnvironment &environment)
{
    OrphanSafeProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    if (!workingDir.isEmpty())
        process.setWorkingDirectory(workingDir);
    if (!environment.isEmpty())
        process.setProcessEnvironment(environment);
    process.start(program, arguments);
    ProcessResult result;
    if (!process.waitForStarted(10000))
        return result;
    result.finished = process.waitForFinished(timeoutMs);
    if (!result.finished) {
        process.kill();
        process.waitForFinished(5000);
    } else if (process.exitStatus() == QProcess::NormalExit) {
        result.exitCode = process.exitCode();
    }
    result.output = process.readAll();
    return result;
}

bool runTool(const QString &program, const QStringList &arguments, QString *error, int timeoutMs,
             const QString &workingDir)
{
    const ProcessResult result = runProcess(program, arguments, timeoutMs, workingDir);
    if (!result.ok() && error)
        *error = QStringLiteral("%1 %2 failed: %3")
                     .arg(program, arguments.join(QLatin1Char(' ')), QString::fromLocal8Bit(result.output));
    return result.ok();
}

bool startServerOnFreePort(TestProcess &process, const QString &program, const ServerLaunch &launch, quint16 *port,
                           QString *error)
{
    for (int attempt = 0; attempt < 5; ++attempt) {
        *port = freeTcpPort();
        QStringList arguments;
        if (!launch(*port, &arguments, error) || !process.start(program, arguments, error))
            return false;
        if (waitForPort(*port, 10000))
            return true;
        process.stop();
    }
    if (error)
        *error = QStringLiteral("%1 did not start listening").arg(program);
    return false;
}

quint16 freeTcpPort()
{
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0))
        return 0;
    const quint16 port = server.serverPort();
    server.close();
    return port;
}

bool waitForPort(quint16 port, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port);
        if (socket.waitForConnected(500))
            return true;
        QThread::msleep(50);
    }
    return false;
}

QString findExecutable(const QStringList &candidates)
{
    for (const QString &candidate : candidates) {
        if (candidate.contains(QLatin1Char('/'))) {
            const QFileInfo info(candidate);
            if (info.isFile() && info.isExecutable())
                return candidate;
        } else {
            const QString found = QStandardPaths::findExecutable(candidate);
            if (!found.isEmpty())
                return found;
        }
    }
    return QString();
}
