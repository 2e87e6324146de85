// The running-process check against real processes: copies of the test
// program started from folders of their own.

#include "platformfixture.h"
#include "processinfo.h"
#include "testprocess.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const ProcessInfo *findProcess(const QList<ProcessInfo> &list, quint64 pid)
{
    for (const ProcessInfo &process : list) {
        if (process.processId == pid)
            return &process;
    }
    return nullptr;
}

// The state letter of /proc/PID/stat ('R', 'S', 'Z', ...); 0 when gone.
char processState(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray text = stat.readAll();
    const int close = text.lastIndexOf(')');
    return close >= 0 && close + 2 < text.size() ? text.at(close + 2) : 0;
}

// Waits (bounded) until the check gives the wanted answer.
bool waitForRunning(const QString &exeName, const QString &path, bool wanted)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 10000) {
        if (isProgrammRunning(exeName, path) == wanted)
            return true;
        QThread::msleep(50);
    }
    return false;
}

} // namespace

class TestProcessInfo : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_root.isValid());
        QVERIFY(QFileInfo(recorderProgram()).isExecutable());
        // Blanks and Cyrillic in the folder names: module paths in procfs carry
        // them as they are.
        const QString root = QFileInfo(m_root.path()).canonicalFilePath();
        m_folderA = root + QStringLiteral("/Папка A");
        m_folderB = root + QStringLiteral("/Папка B");
        m_appA = m_folderA + QStringLiteral("/myapp");
        m_appB = m_folderB + QStringLiteral("/myapp");
        QVERIFY(installRecorder(m_appA));
        QVERIFY(installRecorder(m_appB));
        QString error;
        QVERIFY2(m_child.start(m_appA, {QStringLiteral("--linger")}, &error, m_folderA), qPrintable(error));
        QString cwd;
        QStringList arguments;
        QVERIFY(readRecord(m_folderA, &cwd, &arguments));
        QVERIFY(waitForRunning(QStringLiteral("myapp"), m_appA, true));
    }

    void cleanupTestCase()
    {
        m_child.stop();
    }

    void processListHoldsTheChild()
    {
        const QList<ProcessInfo> list = ProcessInfo::getProcessList();
        QVERIFY(list.size() >= 2);
        const ProcessInfo *child = findProcess(list, static_cast<quint64>(m_child.pid()));
        QVERIFY(child);
        QCOMPARE(child->exeFile, QStringLiteral("myapp"));
        QCOMPARE(child->parentProcessId, static_cast<quint64>(QCoreApplication::applicationPid()));
        QVERIFY(child->threadCount >= 1);

        const ProcessInfo *self = findProcess(list, static_cast<quint64>(QCoreApplication::applicationPid()));
        QVERIFY(self);
        QCOMPARE(self->exeFile, QFileInfo(QCoreApplication::applicationFilePath()).fileName());
        // Qt Test runs this on the main thread while Qt may have helpers of its own.
        QVERIFY(self->threadCount >= 1);
    }

    void modulesStartWithTheExecutable()
    {
        ProcessInfo child;
        child.processId = static_cast<quint64>(m_child.pid());
        child.exeFile = QStringLiteral("myapp");
        const QStringList childModules = modulePaths(child);
        QVERIFY(!childModules.isEmpty());
        QCOMPARE(childModules.first(), m_appA);
        QCOMPARE(childModules.count(m_appA), 1);
        QCOMPARE(exeFilePath(child), m_appA);

        // This test links Qt, so its module list holds the Qt core library too.
        const QList<ProcessInfo> list = ProcessInfo::getProcessList();
        const ProcessInfo *self = findProcess(list, static_cast<quint64>(QCoreApplication::applicationPid()));
        QVERIFY(self);
        QStringList own = modulePaths(*self);
        QVERIFY(own.size() >= 3);
        QCOMPARE(own.first(), QFileInfo(QCoreApplication::applicationFilePath()).canonicalFilePath());
        bool hasQtCore = false;
        for (const QString &path : own)
            hasQtCore = hasQtCore || QFileInfo(path).fileName().startsWith(QLatin1String("libQt5Core.so"));
        QVERIFY(hasQtCore);
        QCOMPARE(own.removeDuplicates(), 0);

        // A name that none of the modules carries gives no path.
        ProcessInfo renamed = child;
        renamed.exeFile = QStringLiteral("MYAPP");
        QCOMPARE(exeFilePath(renamed), QString());

        ProcessInfo gone;
        gone.processId = 0x7ffffff0;
        QVERIFY(modulePaths(gone).isEmpty());
        QCOMPARE(exeFilePath(gone), QString());
    }

    void running_data()
    {
        QTest::addColumn<QString>("exeName");
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("running");

        QTest::newRow("running from its folder") << "myapp" << m_appA << true;
        QTest::newRow("same name in another folder") << "myapp" << m_appB << false;
        QTest::newRow("file name in other letter case") << "myapp" << m_folderA + QStringLiteral("/MyApp") << false;
        QTest::newRow("folder in other letter case") << "myapp" << m_appA.toUpper() << false;
        QTest::newRow("name ignores letter case") << "MYAPP" << m_appA << true;
        QTest::newRow("substring name, other program's path") << "app" << m_folderA + QStringLiteral("/app") << false;
        QTest::newRow("substring name, the running path") << "app" << m_appA << true;
        QTest::newRow("longer name than the process") << "myapp2" << m_appA << false;
        QTest::newRow("empty name, path decides") << "" << m_appA << true;
        QTest::newRow("empty name, other path") << "" << m_appB << false;
        QTest::newRow("name without path") << "myapp" << "" << false;
        QTest::newRow("path not normalised") << "myapp" << m_folderA + QStringLiteral("/../Папка A/myapp") << false;
        QTest::newRow("relative path") << "myapp" << "Папка A/myapp" << false;
    }

    void running()
    {
        QFETCH(QString, exeName);
        QFETCH(QString, path);
        QFETCH(bool, running);
        QCOMPARE(isProgrammRunning(exeName, path), running);
    }

    void stoppedProgramIsNotRunning()
    {
        TestProcess second;
        QString error;
        QFile::remove(m_folderB + QStringLiteral("/arguments.rec"));
        QVERIFY2(second.start(m_appB, {QStringLiteral("--linger")}, &error, m_folderB), qPrintable(error));
        QVERIFY(waitForRunning(QStringLiteral("myapp"), m_appB, true));
        second.stop();
        QVERIFY(waitForRunning(QStringLiteral("myapp"), m_appB, false));
        // The first copy is still there.
        QVERIFY(isProgrammRunning(QStringLiteral("myapp"), m_appA));
    }

    void replacedExecutableStillCountsAsRunning()
    {
        // An update that replaces the file of a running program leaves the
        // process running the old, unlinked file: it still blocks the update.
        const QString folder = QFileInfo(m_root.path()).canonicalFilePath() + QStringLiteral("/Папка C");
        const QString app = folder + QStringLiteral("/myapp");
        QVERIFY(installRecorder(app));
        TestProcess third;
        QString error;
        QVERIFY2(third.start(app, {QStringLiteral("--linger")}, &error, folder), qPrintable(error));
        QString cwd;
        QStringList arguments;
        QVERIFY(readRecord(folder, &cwd, &arguments));
        QVERIFY(QFile::remove(app));
        QVERIFY(isProgrammRunning(QStringLiteral("myapp"), app));
        QVERIFY(installRecorder(app));
        QVERIFY(isProgrammRunning(QStringLiteral("myapp"), app));
        third.stop();
        QVERIFY(waitForRunning(QStringLiteral("myapp"), app, false));
    }

    void uninspectableProcessHasNoModules()
    {
        // A zombie keeps its process entry but has no executable or memory map
        // left: like a process of another user, it cannot be inspected.
        const pid_t zombie = fork();
        QVERIFY(zombie >= 0);
        if (zombie == 0)
            _exit(0);
        QElapsedTimer timer;
        timer.start();
        while (processState(zombie) != 'Z' && timer.elapsed() < 10000)
            QThread::msleep(20);
        QCOMPARE(processState(zombie), 'Z');

        const QList<ProcessInfo> list = ProcessInfo::getProcessList();
        const ProcessInfo *entry = findProcess(list, static_cast<quint64>(zombie));
        const bool found = entry != nullptr;
        const QString name = found ? entry->exeFile : QString();
        const QStringList modules = found ? modulePaths(*entry) : QStringList{QStringLiteral("?")};
        const QString exePath = found ? exeFilePath(*entry) : QStringLiteral("?");
        // An empty name and an empty path match such a process: it counts as
        // running, the cautious answer when nothing can be told.
        const bool emptyMatches = isProgrammRunning(QString(), QString());
        const bool namedMatches = isProgrammRunning(name, QString());
        const bool pathMatches = isProgrammRunning(QString(), m_appB);

        int status = 0;
        QCOMPARE(waitpid(zombie, &status, 0), zombie);

        QVERIFY(found);
        // The kernel's short name of this test program (at most 15 characters).
        QCOMPARE(name, QFileInfo(QCoreApplication::applicationFilePath()).fileName().left(15));
        QVERIFY(modules.isEmpty());
        QCOMPARE(exePath, QString());
        QVERIFY(emptyMatches);
        QVERIFY(namedMatches);
        QVERIFY(!pathMatches);
    }

private:
    QTemporaryDir m_root;
    QString m_folderA;
    QString m_folderB;
    QString m_appA;
    QString m_appB;
    TestProcess m_child;
};

QTEST_GUILESS_MAIN(TestProcessInfo)
#include "tst_processinfo.moc"
