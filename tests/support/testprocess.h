#ifndef TESTPROCESS_H
#define TESTPROCESS_H

#include <QProcess>
#include <QString>
#include <QStringList>

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
    ~TestProcess();
    TestProcess(const TestProcess &) = delete;
    TestProcess &operator=(const TestProcess &) = delete;

    bool start(const QString &program, const QStringList &arguments, QString *error = nullptr,
               const QString &workingDir = QString());
    void stop();
    bool isRunning() const;
    qint64 pid() const { return m_pid; }
    QByteArray output(); // what it printed so far (stdout and stderr merged)

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

// Prepares one attempt to start a server on the given port: writes its
// configuration if it has one and fills the command line.
using ServerLaunch = std::function<bool(quint16 port, QStringList *arguments, QString *error)>;

// Starts program as a server on a free port of 127.0.0.1 and waits until it
// listens. Another process may take the port between the choice and the
// start, so a few attempts are made, each on a new port.
bool startServerOnFreePort(TestProcess &process, const QString &program, const ServerLaunch &launch, quint16 *port,
                           QString *error);

// A TCP port on 127.0.0.1 that nothing listens on right now.
quint16 freeTcpPort();

// Waits until something accepts connections on 127.0.0.1:port.
bool waitForPort(quint16 port, int timeoutMs = 10000);

// The first of the given paths that exists and is executable; empty if none.
QString findExecutable(const QStringList &candidates);

#endif // TESTPROCESS_H
