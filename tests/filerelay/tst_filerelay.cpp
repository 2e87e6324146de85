// filerelay as the updater starts it: a copy of the real program placed in a
// temporary installation, run as a process over real trees.

#include "filehold.h"
#include "filesettings.h"
#include "installationlock.h"
#include "testfiles.h"
#include "testprocess.h"

#include <QDate>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <functional>

namespace {

// The tree the updater leaves in updater_temp, beside the copier itself.
void writeUpdate(const QString &root)
{
    writeFile(root + QStringLiteral("/kestraupd"), "new updater binary");
    writeFile(root + QStringLiteral("/update_fileinfo.xml"), "<record of the new release/>");
    writeFile(root + QStringLiteral("/lib/libcore.so"), patternBytes(300000, 5));
    writeFile(root + QStringLiteral("/lib/plugins/platform.so"), "platform plugin");
    writeFile(root + QStringLiteral("/Отчёты/шаблон (1).xml"), "<template/>");
    QDir().mkpath(root + QStringLiteral("/empty"));
}

} // namespace

class TestFileRelay : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        m_built = QStringLiteral(KESTRA_BIN_DIR "/filerelay");
        QVERIFY2(QFileInfo(m_built).isExecutable(), "filerelay is not built");
    }

    void init()
    {
        m_dir.reset(new QTemporaryDir);
        QVERIFY(m_dir->isValid());
        m_root = m_dir->path();
        m_logs = m_dir->filePath(QStringLiteral("logs"));
        QVERIFY(QDir().mkpath(m_root + QStringLiteral("/updater_temp")));
        QVERIFY(QFile::copy(m_built, m_root + QStringLiteral("/updater_temp/filerelay")));
        writeUpdate(m_root + QStringLiteral("/updater_temp"));
    }

    void settingsLookup_data()
    {
        QTest::addColumn<QString>("ini");
        QTest::addColumn<QString>("runtimeGroup");
        QTest::addColumn<QString>("runtimeValue");
        QTest::addColumn<QString>("group");
        QTest::addColumn<QString>("expected");
        const QString ini = QStringLiteral("[General]\nfrom_path=from file\n[paths]\nfrom_path=from group\n");
        QTest::newRow("default without file") << QString() << QString() << QString() << "General" << "default";
        QTest::newRow("file section General") << ini << QString() << QString() << "General" << "from file";
        QTest::newRow("empty group means General") << ini << QString() << QString() << "" << "from file";
        QTest::newRow("other group") << ini << QString() << QString() << "paths" << "from group";
        QTest::newRow("runtime value beats the file") << ini << "General" << "from command line" << "General"
                                                      << "from command line";
        QTest::newRow("runtime value of another group ignored") << ini << "paths" << "x" << "General" << "from file";
        QTest::newRow("key missing in file gives default")
            << QStringLiteral("[General]\nto_path=t\n") << QString() << QString() << "General" << "default";
        QTest::newRow("utf-8 value") << QStringLiteral("[General]\nfrom_path=обновление\n") << QString() << QString()
                                     << "General" << "обновление";
    }

    void settingsLookup()
    {
        QFETCH(QString, ini);
        QFETCH(QString, runtimeGroup);
        QFETCH(QString, runtimeValue);
        QFETCH(QString, group);
        const QString path = m_dir->filePath(QStringLiteral("filerelay_config.ini"));
        if (!ini.isNull())
            QVERIFY(writeFile(path, ini.toUtf8()));
        FileSettings settings;
        QVERIFY(!settings.isConfigured());
        settings.setConfigPath(path);
        QVERIFY(settings.isConfigured());
        if (!runtimeGroup.isEmpty())
            settings.setRuntimeValue(runtimeGroup, QStringLiteral("from_path"), runtimeValue);
        QTEST(settings.value(group, QStringLiteral("from_path"), QStringLiteral("default")).toString(), "expected");
        // The copier only reads its settings file.
        if (!ini.isNull())
            QCOMPARE(QString::fromUtf8(readFile(path)), ini);
        else
            QVERIFY(!QFileInfo::exists(path));
    }

    void defaultFoldersBesideTheCopier()
    {
        const QString source = m_root + QStringLiteral("/updater_temp");
        QCOMPARE(relay({}), 0);

        // X/updater did not exist: it is created and receives the whole tree.
        const QString target = m_root + QStringLiteral("/updater");
        for (const QString &file : {QStringLiteral("kestraupd"), QStringLiteral("lib/libcore.so"),
                                    QStringLiteral("lib/plugins/platform.so"), QStringLiteral("Отчёты/шаблон (1).xml")})
            QCOMPARE(readFile(target + QLatin1Char('/') + file), readFile(source + QLatin1Char('/') + file));
        QVERIFY(QFileInfo(target + QStringLiteral("/empty")).isDir());
        // The source stays in place.
        QVERIFY(QFileInfo(source + QStringLiteral("/lib/plugins/platform.so")).isFile());
        // Default log folder: beside the copier, logs/<yyyy_MM>/filerelay<date>.txt.
        const QString log = logIn(source + QStringLiteral("/logs"));
        QVERIFY2(log.contains(QStringLiteral("Info "))
                     && log.contains(QStringLiteral("file copy is started, version 1.0.0.1 (")),
                 qPrintable(log));
    }

    void absoluteFolders()
    {
        // As the updater starts it: absolute source and target, the copier
        // somewhere else entirely.
        const QString from = m_dir->filePath(QStringLiteral("downloads/new"));
        const QString to = m_dir->filePath(QStringLiteral("programs/updater"));
        writeUpdate(from);
        QVERIFY(writeFile(to + QStringLiteral("/kestraupd"), "old updater binary"));
        QVERIFY(writeFile(to + QStringLiteral("/keep.dat"), "not in the update"));
        QCOMPARE(relay({"--from_path", from, "--to_path", to, "-l", m_logs}), 0);
        QCOMPARE(readFile(to + QStringLiteral("/kestraupd")), QByteArray("new updater binary"));
        QCOMPARE(readFile(to + QStringLiteral("/lib/libcore.so")), patternBytes(300000, 5));
        QCOMPARE(readFile(to + QStringLiteral("/keep.dat")), QByteArray("not in the update"));
        QVERIFY(!QFileInfo::exists(m_root + QStringLiteral("/updater")));
        QVERIFY(logIn(m_logs).contains(QStringLiteral("file copy is started, version 1.0.0.1")));
        QVERIFY(!QFileInfo::exists(m_root + QStringLiteral("/updater_temp/logs")));
    }

    void foldersFromSettingsFile()
    {
        writeUpdate(m_root + QStringLiteral("/staged"));
        QVERIFY(writeFile(m_root + QStringLiteral("/updater_temp/filerelay_config.ini"),
                          "[General]\nfrom_path=staged\nto_path=installed\nlogs_path="
                              + m_dir->filePath("ini-logs").toUtf8() + "\n"));
        QCOMPARE(relay({}), 0);
        QCOMPARE(readFile(m_root + QStringLiteral("/installed/kestraupd")), QByteArray("new updater binary"));
        QVERIFY(logIn(m_dir->filePath(QStringLiteral("ini-logs"))).contains(QStringLiteral("file copy is started")));

        // A command-line value beats the file; another settings file via -c.
        QVERIFY(writeFile(m_dir->filePath(QStringLiteral("other.ini")), "[General]\nfrom_path=updater_temp\n"));
        QCOMPARE(relay({"-c", m_dir->filePath(QStringLiteral("other.ini")), "--to", "second"}), 0);
        QVERIFY(QFileInfo(m_root + QStringLiteral("/second/filerelay")).isFile());
        QVERIFY(QFileInfo(m_root + QStringLiteral("/second/filerelay_config.ini")).isFile());
    }

    void configFiles_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("targetHasIt");
        QTest::addColumn<bool>("kept");
        QTest::newRow("config.ini present is kept") << "config.ini" << true << true;
        QTest::newRow("config.ini missing is copied") << "config.ini" << false << false;
        QTest::newRow("my_config.ini.bak present is kept") << "my_config.ini.bak" << true << true;
        QTest::newRow("my_config.ini.bak missing is copied") << "my_config.ini.bak" << false << false;
        QTest::newRow("Config.INI is an ordinary file") << "Config.INI" << true << false;
        QTest::newRow("config.ini in a subfolder is kept") << "sub/config.ini" << true << true;
    }

    void configFiles()
    {
        QFETCH(QString, name);
        QFETCH(bool, targetHasIt);
        QFETCH(bool, kept);
        QVERIFY(writeFile(m_root + QStringLiteral("/updater_temp/") + name, "from the update"));
        QVERIFY(QDir().mkpath(m_root + QStringLiteral("/updater")));
        if (targetHasIt)
            QVERIFY(writeFile(m_root + QStringLiteral("/updater/") + name, "user settings"));
        QCOMPARE(relay({}), 0);
        QCOMPARE(readFile(m_root + QStringLiteral("/updater/") + name),
                 kept ? QByteArray("user settings") : QByteArray("from the update"));
        QCOMPARE(readFile(m_root + QStringLiteral("/updater/kestraupd")), QByteArray("new updater binary"));
    }

    void readOnlyTargetReplaced()
    {
        const QString target = m_root + QStringLiteral("/updater/lib/libcore.so");
        QVERIFY(writeFile(target, "old"));
        QVERIFY(QFile::setPermissions(target, QFileDevice::ReadOwner | QFileDevice::ReadGroup));
        QCOMPARE(relay({}), 0);
        QCOMPARE(readFile(target), patternBytes(300000, 5));
    }

    void missingSource()
    {
        QCOMPARE(relay({"--from", "nowhere", "-l", m_logs}), 1);
        QVERIFY2(logIn(m_logs).contains(QStringLiteral("Warning ")) && logIn(m_logs).contains(
                     QStringLiteral("from dir: nowhere not found in dir: ") + QDir(m_root).absolutePath()),
                 qPrintable(logIn(m_logs)));
        QVERIFY(!QFileInfo::exists(m_root + QStringLiteral("/updater")));
    }

    void targetInsideSource_data()
    {
        QTest::addColumn<QString>("to");
        QTest::newRow("target is the source") << "updater_temp";
        QTest::newRow("target below the source") << "updater_temp/lib";
        // Nothing is created inside the source before the refusal.
        QTest::newRow("new folder below the source") << "updater_temp/fresh";
    }

    void targetInsideSource()
    {
        // Replacing a file deletes it first: copying a folder onto itself would
        // destroy the only copy.
        QFETCH(QString, to);
        QCOMPARE(relay({"--to", to, "-l", m_logs}, 30000), 1);
        QCOMPARE(readFile(m_root + QStringLiteral("/updater_temp/kestraupd")), QByteArray("new updater binary"));
        QCOMPARE(readFile(m_root + QStringLiteral("/updater_temp/lib/libcore.so")), patternBytes(300000, 5));
        QVERIFY(!QFileInfo::exists(m_root + QStringLiteral("/updater_temp/lib/lib")));
        QVERIFY(!QFileInfo::exists(m_root + QStringLiteral("/updater_temp/fresh")));
        QVERIFY(logIn(m_logs).contains(QStringLiteral("can't copy folder into itself")));
    }

    void blockedSubfolder()
    {
        // A file in the target where the update has a folder: that folder is
        // skipped and reported, the others still arrive.
        QVERIFY(writeFile(m_root + QStringLiteral("/updater/lib"), "a file where a folder belongs"));
        QCOMPARE(relay({QStringLiteral("-l"), m_logs}), 1);
        QVERIFY2(logIn(m_logs).contains(QStringLiteral("can't entry to dir: lib")), qPrintable(logIn(m_logs)));
        QCOMPARE(readFile(m_root + QStringLiteral("/updater/lib")), QByteArray("a file where a folder belongs"));
        QCOMPARE(readFile(m_root + QStringLiteral("/updater/Отчёты/шаблон (1).xml")), QByteArray("<template/>"));
        QCOMPARE(readFile(m_root + QStringLiteral("/updater/kestraupd")), QByteArray("new updater binary"));
    }

    void uncreatableSubfolder()
    {
        QString why;
        if (!FileHold::isAvailable(m_root, &why))
            QSKIP(qPrintable(QStringLiteral("folders cannot be held here: ") + why));
        QVERIFY(writeFile(m_root + QStringLiteral("/updater_temp/a/b/new.txt"), "new"));
        QVERIFY(QDir().mkpath(m_root + QStringLiteral("/updater/a")));
        FileHold hold;
        QVERIFY2(hold.hold(m_root + QStringLiteral("/updater/a"), FileHold::Contents, &why), qPrintable(why));
        const int code = relay({QStringLiteral("-l"), m_logs});
        hold.release();
        QCOMPARE(code, 1);
        QVERIFY2(logIn(m_logs).contains(QStringLiteral("can't create dir: b in dir: ")
                                      + QDir(m_root + QStringLiteral("/updater/a")).absolutePath()),
                 qPrintable(logIn(m_logs)));
        QVERIFY(QFileInfo(m_root + QStringLiteral("/updater/filerelay")).isFile());
    }

    void outwaitsTheExitingUpdater_data()
    {
        QTest::addColumn<QString>("what");
        // The updater that just exited still holds its executable a moment.
        QTest::newRow("held executable let go after 3 s") << "file";
        // Another updater run still has the installation.
        QTest::newRow("installation lock let go after 3 s") << "lock";
        // A crashed updater left its lock behind: taken over at once.
        QTest::newRow("lock of a crashed updater") << "stale";
        // An updater runs from the updater's folder without the lock (the
        // one exiting, or one started meanwhile) until it is stopped.
        QTest::newRow("updater running from the target stopped after 3 s") << "process";
    }

    void outwaitsTheExitingUpdater()
    {
        QFETCH(QString, what);
        QString why;
        if (what == QLatin1String("file") && !FileHold::isAvailable(m_dir->path(), &why))
            QSKIP(qPrintable(QStringLiteral("files cannot be held here: ") + why));
        const QString target = m_root + QStringLiteral("/updater/kestraupd");
        // A running updater: a copy of a small program under its name.
        const QByteArray old = what == QLatin1String("process") ? readFile(QStringLiteral("/bin/sleep"))
                                                               : QByteArray("old updater binary");
        QVERIFY(!old.isEmpty() && writeFile(target, old));
        QVERIFY(QFile::setPermissions(target, QFile::permissions(target) | QFile::ExeOwner));
        QVERIFY(writeFile(m_root + QStringLiteral("/updater/update_fileinfo.xml"), "<old record/>"));
        FileHold hold;
        InstallationLock lock(m_root);
        TestProcess copier;
        TestProcess updater;
        if (what == QLatin1String("process"))
            QVERIFY2(updater.start(target, {QStringLiteral("60")}, &why), qPrintable(why));
        else if (what == QLatin1String("file"))
            QVERIFY2(hold.hold(target, FileHold::Entry, &why), qPrintable(why));
        else if (what == QLatin1String("lock"))
            QVERIFY(lock.acquire(0));
        else
            QVERIFY(writeFile(InstallationLock::filePath(m_root), QByteArray::number(deadPid()) + "\nkestraupd\n"
                                                                      + QSysInfo::machineHostName().toUtf8() + "\n"));
        QElapsedTimer timer;
        timer.start();
        QVERIFY2(copier.start(m_root + QStringLiteral("/updater_temp/filerelay"), {}, &why, QDir::tempPath()),
                 qPrintable(why));
        QThread::msleep(what == QLatin1String("stale") ? 0 : 3000);
        if (what != QLatin1String("stale"))
            QCOMPARE(readFile(target), old);
        hold.release();
        lock.release();
        const qint64 updaterPid = updater.pid();
        updater.stop();
        QVERIFY(waitFor([&] { return !copier.isRunning(); }, 60000));
        const qint64 elapsed = timer.elapsed();
        QCOMPARE(readFile(target), QByteArray("new updater binary"));
        QCOMPARE(readFile(m_root + QStringLiteral("/updater/update_fileinfo.xml")),
                 QByteArray("<record of the new release/>"));
        QVERIFY2(what == QLatin1String("stale") ? elapsed < 15000 : elapsed >= 2000 && elapsed < 20000,
                 qPrintable(QString::number(elapsed)));
        if (what == QLatin1String("process")) {
            const QString log = logIn(m_root + QStringLiteral("/updater_temp/logs"));
            QVERIFY2(log.contains(QStringLiteral("ms for programs running from ") + QDir(m_root).absolutePath()
                                  + QStringLiteral("/updater: ") + target + QStringLiteral(" (pid %1)").arg(updaterPid)),
                     qPrintable(log));
        }
        QVERIFY(!QFileInfo::exists(InstallationLock::filePath(m_root)));
    }

    void lastingHoldIsReported()
    {
        QString why;
        if (!FileHold::isAvailable(m_dir->path(), &why))
            QSKIP(qPrintable(QStringLiteral("files cannot be held here: ") + why));
        const QString targetLib = m_root + QStringLiteral("/updater/lib");
        QVERIFY(writeFile(targetLib + QStringLiteral("/libcore.so"), "old core"));
        FileHold hold;
        QVERIFY2(hold.hold(targetLib + QStringLiteral("/libcore.so"), FileHold::Entry, &why), qPrintable(why));
        QElapsedTimer timer;
        timer.start();
        const int code = relay({QStringLiteral("-l"), m_logs}, 90000);
        const qint64 elapsed = timer.elapsed();
        hold.release();
        QCOMPARE(code, 1);
        QCOMPARE(readFile(targetLib + QStringLiteral("/libcore.so")), QByteArray("old core"));
        // Without every file, the updater's folder has no record of the release,
        // so the updater hands its copy over again at its next exit.
        QVERIFY(!QFileInfo::exists(m_root + QStringLiteral("/updater/update_fileinfo.xml")));
        // Twenty passes a second apart before giving up.
        QVERIFY2(elapsed >= 19000, qPrintable(QString::number(elapsed)));
        const QString log = logIn(m_logs);
        QVERIFY2(log.contains(QStringLiteral("Warning "))
                     && log.contains(QStringLiteral("can't replace files: libcore.so in folder: ")
                                     + QDir(targetLib).absolutePath()),
                 qPrintable(log));
        // Everything else still arrived, below the held file's folder too.
        QCOMPARE(readFile(m_root + QStringLiteral("/updater/kestraupd")), QByteArray("new updater binary"));
        QCOMPARE(readFile(targetLib + QStringLiteral("/plugins/platform.so")), QByteArray("platform plugin"));
        QCOMPARE(readFile(m_root + QStringLiteral("/updater/Отчёты/шаблон (1).xml")), QByteArray("<template/>"));
    }

private:
    static bool waitFor(const std::function<bool()> &condition, int timeoutMs)
    {
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < timeoutMs && !condition()) {
            QThread::msleep(100);
            QCoreApplication::processEvents();
        }
        return condition();
    }

    // The id of a process that has ended.
    static qint64 deadPid()
    {
        QProcess done;
        done.start(QStringLiteral("/bin/true"), QStringList());
        const qint64 pid = done.processId();
        done.waitForFinished(10000);
        return pid;
    }

    // The copier in m_root/updater_temp, started from elsewhere: the folders
    // must follow the copier, not the working folder.
    int relay(const QStringList &arguments, int timeoutMs = 60000)
    {
        return runProcess(m_root + QStringLiteral("/updater_temp/filerelay"), arguments, timeoutMs, QDir::tempPath())
            .exitCode;
    }

    static QString logIn(const QString &logsBase);

    QString m_built;
    // Each test's installation: m_root/updater_temp holds the copier and the
    // update; m_logs is a log folder for -l.
    QScopedPointer<QTemporaryDir> m_dir;
    QString m_root;
    QString m_logs;
};

QString TestFileRelay::logIn(const QString &logsBase)
{
    const QDate today = QDate::currentDate();
    return QString::fromLocal8Bit(readFile(logsBase + QLatin1Char('/') + today.toString(QStringLiteral("yyyy_MM"))
                                           + QStringLiteral("/filerelay") + today.toString(Qt::ISODate)
                                           + QStringLiteral(".txt")));
}

QTEST_GUILESS_MAIN(TestFileRelay)
#include "tst_filerelay.moc"
