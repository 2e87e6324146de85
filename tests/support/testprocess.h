#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>

// A QProcess whose child ends with the test: if the test dies (a crash, a
// fatal assertion, a kill), the server it started gets SIGTERM from the kernel
// instead of lingering on its port.
class OrphanSafeProcess : public QProcess
{
protected:
    void setupChildProcess() override;
};

// A helper server or program started by a test. It is stopped by its pid
// (TERM, then KILL after a bounded wait) when stop() runs or the object dies.
class TestProcess
{
public:
    TestProcess() = default;
    ~TestProcess() { stop(); }
    Q_DISABLE_COPY(TestProcess)

    bool start(const QString &program, const QStringList &arguments, QString *error = nullptr,
               const QString &workingDir = QString());
    void stop();
    bool isRunning() const { return m_process.state() != QProcess::NotRunning; }
    qint64 pid() const { return m_pid; }
    QByteArray output() { return m_process.readAll(); } // stdout and stderr merged, since the last call

private:
    OrphanSafeProcess m_process;
    qint64 m_pid = 0;
};

// What a program run to its end left: whether it ended by itself within the
// time given, its exit code (-1 when it crashed or was killed) and what it
// printed (stdout and stderr merged).
struct ProcessResult
{
    bool finished = false;
    int exitCode = -1;
    QByteArray output;

    bool ok() const { return finished && exitCode == 0; }
};

// Runs program to its end; one still running after timeoutMs is killed.
// An empty environment is this process's own.
ProcessResult runProcess(const QString &program, const QStringList &arguments, int timeoutMs = 60000,
                         const QString &workingDir = QString(),
                         const QProcessEnvironment &environment = QProcessEnvironment());

// runProcess for a helper tool that must succeed: false, with the command
// line and what the tool printed in error, when it does not.
bool runTool(const QString &program, const QStringList &arguments, QString *error = nullptr, int timeoutMs = 60000,
             const QString &workingDir = QString());

// A server program on 127.0.0.1 (nginx, tinyproxy, pyftpdlib) with a work
// folder of its own for configuration and logs.
class ServerProcess
{
public:
    quint16 port() const { return m_port; }
    void stop() { m_process.stop(); }

protected:
    // Writes the configuration for a port (if the server has one) and fills
    // its command line.
    using Launch = std::function<bool(quint16 port, QStringList *arguments, QString *error)>;
    // Starts binary (empty: not installed) on a free port and waits until it
    // listens. Another process may take the port between the choice and the
    // start, so a few attempts are made, each on a new port.
    bool startServer(const QString &binary, const Launch &launch, QString *error);
    // Writes text as the file name in the work folder; its path, or empty.
    QString writeConfig(const QString &name, const QString &text, QString *error);

    QTemporaryDir m_work;
    TestProcess m_process;
    quint16 m_port = 0;
};

// A TCP port on 127.0.0.1 that nothing listens on right now.
quint16 freeTcpPort();

// The first of the given paths that exists and is executable (a name without
// a slash is looked up in PATH); empty if none.
QString findExecutable(const QStringList &candidates);
