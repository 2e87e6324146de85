// The running-process check against real processes: copies of the system's
// sleep program started from folders of their own, and a zombie, which keeps
// its process entry but has no executable or memory map left: like a process
// of another user, it cannot be inspected.

#include "processinfo.h"
#include "testprocess.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/wait.h>
#include <unistd.h>

namespace {

// A copy of sleep at path, under a name of the test's choosing.
bool installProgram(const QString &path)
{
    QFile::remove(path);
    return QDir().mkpath(QFileInfo(path).path()) && QFile::copy(QStringLiteral("/bin/sleep"), path);
}

} // namespace

class TestProcessInfo : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_root.isValid());
        // Blanks and Cyrillic in the folder names: module paths in procfs carry
        // them as they are.
        m_base = QFileInfo(m_root.path()).canonicalFilePath() + QStringLiteral("/Папка ");
        m_appA = m_base + QStringLiteral("A/myapp");
        QVERIFY(installProgram(m_appA) && installProgram(m_base + QStringLiteral("B/myapp")));
        QVERIFY(m_child.start(m_appA, {QStringLiteral("60")}, nullptr, m_base + QLatin1Char('A')));
        QTRY_VERIFY_WITH_TIMEOUT(isProgrammRunning(QStringLiteral("myapp"), m_appA), 10000);
        m_zombie = fork();
        if (m_zombie == 0)
            _exit(0);
        siginfo_t ended = {};
        // Waits for the end without reaping: the entry stays a zombie.
        QVERIFY(m_zombie > 0 && waitid(P_PID, static_cast<id_t>(m_zombie), &ended, WEXITED | WNOWAIT) == 0);
    }

    void cleanupTestCase()
    {
        int status = 0;
        QCOMPARE(waitpid(m_zombie, &status, 0), m_zombie);
    }

    void running_data()
    {
        // replaced: the running copy's file deleted and put back. An update that
        // replaces the file of a running program leaves the process running the
        // old, unlinked file: it still blocks the update.
        QTest::addColumn<bool>("replaced");
        QTest::addColumn<QString>("exeName");
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("running");
        QTest::newRow("same name in another folder") << false << "myapp" << m_base + "B/myapp" << false;
        QTest::newRow("replaced executable still counts as running") << true << "myapp" << m_appA << true;
        // What cannot be inspected matches an empty path: the cautious answer
        // when nothing can be told.
        const QString zombieName = QFileInfo(QCoreApplication::applicationFilePath()).fileName().left(15);
        QTest::newRow("the zombie's name without path") << false << zombieName << "" << true;
    }

    void running()
    {
        QFETCH(bool, replaced);
        QFETCH(QString, exeName);
        QFETCH(QString, path);
        QFETCH(bool, running);
        QVERIFY(!replaced || (QFile::remove(path) && installProgram(path)));
        QTRY_COMPARE_WITH_TIMEOUT(isProgrammRunning(exeName, path), running, 10000);
    }

private:
    QTemporaryDir m_root;
    QString m_base, m_appA;
    TestProcess m_child;
    pid_t m_zombie = 0;
};

QTEST_GUILESS_MAIN(TestProcessInfo)
#include "tst_processinfo.moc"
