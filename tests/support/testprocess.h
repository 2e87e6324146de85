#pragma once

#include <QProcess>
#include <QTemporaryDir>

#include <functional>

// A QProcess whose child gets SIGTERM from the kernel when the test dies (a
// crash, a fatal assertion, a kill) instead of lingering on its port.
class OrphanSafeProcess : public QProcess
{
protected:
    void setupChildProcess() override;
};

// A server or program a test started, stopped by its pid (TERM, then KILL
// after a bounded wait) by stop() or with the object.
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

private:
    OrphanSafeProcess m_process;
    qint64 m_pid = 0;
};

// How a program run ended: by itself in time, its exit code (-1: crashed or killed), stdout and stderr merged.
struct ProcessResult
{
    bool finished = false;
    int exitCode = -1;
    QByteArray output;

    bool ok() const { return finished && exitCode == 0; }
};

// Runs program to its end, killed after timeoutMs; an empty environment is ours.
ProcessResult runProcess(const QString &program, const QStringList &arguments, int timeoutMs = 60000,
                         const QString &workingDir = QString(),
                         const QProcessEnvironment &environment = QProcessEnvironment());

// runProcess for a tool that must succeed; else false, with the command and its output in error.
bool runTool(const QString &program, const QStringList &arguments, QString *error = nullptr, int timeoutMs = 60000,
             const QString &workingDir = QString());

// A server program on 127.0.0.1 with a work folder of its own for configuration and logs.
class ServerProcess
{
public:
    quint16 port() const { return m_port; }
    void stop() { m_process.stop(); }

protected:
    // Writes the configuration for a port and fills the command line.
    using Launch = std::function<bool(quint16 port, QStringList *arguments, QString *error)>;
    // Starts binary (empty: not installed) on a free port and waits until it
    // listens; another process may take the port meanwhile, so a few ports are tried.
    bool startServer(const QString &binary, const Launch &launch, QString *error);
    // Writes text as the file name in the work folder; its path, or empty.
    QString writeConfig(const QString &name, const QString &text, QString *error);

    QTemporaryDir m_work;
    TestProcess m_process;
    quint16 m_port = 0;
};

// The first executable of the paths (a name without a slash: looked up in PATH); empty if none.
QString findExecutable(const QStringList &candidates);
