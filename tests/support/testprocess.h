#ifndef TESTPROCESS_H
#define TESTPROCESS_H

#include <QProcess>
#include <QString>
#include <QStringList>

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

// A TCP port on 127.0.0.1 that nothing listens on right now.
quint16 freeTcpPort();

// Waits until something accepts connections on 127.0.0.1:port.
bool waitForPort(quint16 port, int timeoutMs = 10000);

// The first of the given paths that exists and is executable; empty if none.
QString findExecutable(const QStringList &candidates);

#endif // TESTPROCESS_H
