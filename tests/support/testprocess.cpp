#include "testprocess.h"

#include "testfiles.h"

#include <QDeadlineTimer>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <signal.h>
#include <sys/prctl.h>

void OrphanSafeProcess::setupChildProcess()
{
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
}

namespace {

// Merged channels, in workingDir and environment when given; false when it did not start in time.
bool launch(QProcess &process, const QString &program, const QStringList &arguments, const QString &workingDir,
            const QProcessEnvironment &environment, QString *error)
{
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setWorkingDirectory(workingDir);
    if (!environment.isEmpty())
        process.setProcessEnvironment(environment);
    process.start(program, arguments);
    if (process.waitForStarted(10000))
        return true;
    if (error)
        *error = QStringLiteral("can't start %1: %2").arg(program, process.errorString());
    return false;
}

} // namespace

bool TestProcess::start(const QString &program, const QStringList &arguments, QString *error,
                        const QString &workingDir)
{
    const bool started = launch(m_process, program, arguments, workingDir, QProcessEnvironment(), error);
    m_pid = m_process.processId(); // 0 unless it runs
    return started;
}

void TestProcess::stop()
{
    if (m_pid > 0 && isRunning()) {
        ::kill(static_cast<pid_t>(m_pid), SIGTERM);
        if (!m_process.waitForFinished(5000)) {
            ::kill(static_cast<pid_t>(m_pid), SIGKILL);
            m_process.waitForFinished(5000);
        }
    }
    m_pid = 0;
}

ProcessResult runProcess(const QString &program, const QStringList &arguments, int timeoutMs,
                         const QString &workingDir, const QProcessEnvironment &environment)
{
    OrphanSafeProcess process;
    ProcessResult result;
    if (!launch(process, program, arguments, workingDir, environment, nullptr))
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

bool ServerProcess::startServer(const QString &binary, const Launch &launch, QString *error)
{
    QString why = binary.isEmpty() ? QStringLiteral("the server program is not installed") : QString();
    for (int attempt = 0; attempt < 5 && why.isEmpty(); ++attempt) {
        QTcpServer probe; // the port it was given is free once it closes
        m_port = probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
        probe.close();
        QStringList arguments;
        if (!launch(m_port, &arguments, &why) || !m_process.start(binary, arguments, &why))
            break;
        for (QDeadlineTimer deadline(10000); !deadline.hasExpired(); QThread::msleep(50)) {
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, m_port);
            if (socket.waitForConnected(500))
                return true;
        }
        m_process.stop();
    }
    if (error)
        *error = why.isEmpty() ? binary + QStringLiteral(" did not start listening") : why;
    return false;
}

QString ServerProcess::writeConfig(const QString &name, const QString &text, QString *error)
{
    const QString path = m_work.filePath(name);
    if (writeFile(path, text.toUtf8()))
        return path;
    if (error)
        *error = QStringLiteral("can't write ") + path;
    return QString();
}

QString findExecutable(const QStringList &candidates)
{
    // An absolute path is only checked for being an executable file.
    for (const QString &candidate : candidates) {
        const QString found = QStandardPaths::findExecutable(candidate);
        if (!found.isEmpty())
            return found;
    }
    return QString();
}
