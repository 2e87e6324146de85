// filerelay as the updater starts it: a copy of the real program in a temporary installation, run as a process
// over real trees.

#include "filehold.h"
#include "installationlock.h"
#include "testfiles.h"
#include "testprocess.h"

#include <QtTest> // and with it all of Qt Core

namespace {

// The tree the updater leaves in updater_temp, beside the copier itself.
bool writeUpdate(const QString &root)
{
    return writeFile(root + "/kestraupd", "new updater binary")
           && writeFile(root + "/update_fileinfo.xml", "<record of the new release/>")
           && writeFile(root + "/lib/libcore.so", patternBytes(300000, 5))
           && writeFile(root + "/lib/plugins/platform.so", "platform plugin")
           && writeFile(root + "/Отчёты/шаблон (1).xml", "<template/>") && QDir().mkpath(root + "/empty");
}

} // namespace

class TestFileRelay : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        m_dir.reset(new QTemporaryDir);
        m_root = m_dir->path();
        QVERIFY(QDir().mkpath(at("updater_temp")) && writeUpdate(at("updater_temp")));
        QVERIFY2(QFile::copy(KESTRA_BIN_DIR "/filerelay", at("updater_temp/filerelay")), "filerelay is not built");
    }

    void folders_data()
    {
        QTest::addColumn<QByteArray>("ini"); // the copier's own settings file; @ROOT@ stands for the installation
        QTest::addColumn<QString>("from");
        QTest::addColumn<QString>("to");
        QTest::addColumn<QString>("logs");
        // As the updater starts it, with absolute folders: tst_startupruns.
        QTest::newRow("default folders beside the copier") << QByteArray() << "updater_temp" << "updater"
                                                           << "updater_temp/logs";
        QTest::newRow("folders from the settings file")
            << QByteArray("[General]\nfrom_path=staged\nto_path=установлено\nlogs_path=@ROOT@/il\n")
            << "staged" << "установлено" << "il";
    }

    void folders()
    {
        QFETCH(QByteArray, ini);
        QFETCH(QString, from);
        QFETCH(QString, to);
        QFETCH(QString, logs);
        QVERIFY(writeUpdate(at(from)));
        // The updater's settings survive a self-update: a config.ini the target has, in any folder, stays. A name
        // differing in case is an ordinary file, and a read-only target is replaced all the same.
        const QStringList kept{"config.ini", "sub/config.ini"};
        const QStringList configs = kept + QStringList{"Config.INI", "new/config.ini"};
        for (const QString &name : configs)
            QVERIFY(writeFile(at(from + '/' + name), "from the update"));
        for (const QString &name : kept + QStringList{"Config.INI", "lib/libcore.so"})
            QVERIFY(writeFile(at(to + '/' + name), "user settings"));
        QVERIFY(QFile::setPermissions(at(to + "/lib/libcore.so"), QFileDevice::ReadOwner | QFileDevice::ReadGroup));
        ini.replace("@ROOT@", m_root.toUtf8());
        const QString iniPath = at("updater_temp/filerelay_config.ini");
        QVERIFY(ini.isEmpty() || writeFile(iniPath, ini));
        QCOMPARE(relay({}), 0);
        for (const QString &file : configs + QStringList{"kestraupd", "lib/libcore.so", "lib/plugins/platform.so",
                                                         "Отчёты/шаблон (1).xml"}) {
            const QByteArray expected = kept.contains(file) ? "user settings" : readFile(at(from + '/' + file));
            QCOMPARE(readFile(at(to + '/' + file)), expected);
        }
        // Nothing staged is left beside a file replaced.
        QCOMPARE(listFilesRecursive(at(to + "/lib")), QStringList({"libcore.so", "plugins/platform.so"}));
        // The source stays in place; the copier only reads its settings file.
        QVERIFY(QFileInfo(at(to + "/empty")).isDir() && QFileInfo(at(from + "/lib/plugins/platform.so")).isFile());
        QCOMPARE(readFile(iniPath), ini);
        QCOMPARE(QFileInfo::exists(at("updater")), to == QLatin1String("updater"));
        const QString log = logIn(at(logs));
        QVERIFY2(log.contains("Info ") && log.contains("file copy is started, version 1.0.0.1 ("), qPrintable(log));
    }

    void failures_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("fault");    // what the target holds before the run
        QTest::addColumn<QString>("message");  // @ROOT@ stands for the installation
        QTest::addColumn<bool>("othersArrive"); // or nothing at all is created
        QTest::newRow("missing source") << QStringList{"--from", "nowhere"} << ""
                                        << "from dir: nowhere not found in dir: @ROOT@" << false;
        // Replacing a file deletes it first: copying a folder onto itself would destroy the only copy. Nothing is
        // created inside the source before the refusal.
        QTest::newRow("target is the source") << QStringList{"--to", "updater_temp"} << ""
                                               << "can't copy folder into itself" << false;
        QTest::newRow("new folder below the source") << QStringList{"--to", "updater_temp/fresh"} << ""
                                                     << "can't copy folder into itself" << false;
        // A file where the update has a folder: that folder is skipped.
        QTest::newRow("file in the place of a folder") << QStringList() << "file" << "can't entry to dir: lib" << true;
        QTest::newRow("uncreatable subfolder") << QStringList() << "folder held"
                                               << "can't create dir: b in dir: @ROOT@/updater/a" << true;
        // Twenty passes a second apart before giving up.
        QTest::newRow("file held past every pass") << QStringList() << "file held"
                                                   << "can't replace files: libcore.so in folder: @ROOT@/updater/lib"
                                                   << true;
    }

    void failures()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, fault);
        QFETCH(QString, message);
        QFETCH(bool, othersArrive);
        QString why;
        if (fault.endsWith(QLatin1String("held")) && !FileHold::isAvailable(m_root, &why, fault == "file held"))
            QSKIP(qPrintable(QStringLiteral("entries cannot be held here: ") + why));
        const QString lib = at("updater/lib");
        FileHold hold;
        QVERIFY(fault != "file" || writeFile(lib, "a file where a folder belongs"));
        QVERIFY(fault != "folder held" || (writeFile(at("updater_temp/a/b/new.txt"), "new") && QDir().mkpath(at("updater/a"))
                                           && hold.hold(at("updater/a"), FileHold::Contents, &why)));
        QVERIFY(fault != "file held" || (writeFile(lib + "/libcore.so", "old core")
                                         && hold.hold(lib + "/libcore.so", FileHold::Entry, &why)));
        QElapsedTimer timer;
        timer.start();
        const int code = relay(arguments + QStringList{"-l", at("l")}, 90000);
        const qint64 elapsed = timer.elapsed();
        hold.release();
        QCOMPARE(code, 1);
        const QString log = logIn(at("l"));
        QVERIFY2(log.contains(QStringLiteral("Warning ")) && log.contains(message.replace("@ROOT@", m_root)),
                 qPrintable(log));
        QCOMPARE(readFile(at("updater_temp/lib/libcore.so")), patternBytes(300000, 5));
        QVERIFY(!QFileInfo::exists(at("updater_temp/fresh")));
        QCOMPARE(QFileInfo::exists(at("updater")), othersArrive);
        if (!othersArrive)
            return;
        // Everything else still arrives, but without every file the updater's folder has no record of the
        // release, so the updater hands its copy over again at its next exit.
        QCOMPARE(readFile(at("updater/Отчёты/шаблон (1).xml")), QByteArray("<template/>"));
        QCOMPARE(readFile(at("updater/kestraupd")), QByteArray("new updater binary"));
        QVERIFY(!QFileInfo::exists(at("updater/update_fileinfo.xml")));
        QVERIFY(fault != "file" || readFile(lib) == "a file where a folder belongs");
        if (fault == QLatin1String("file held")) {
            QCOMPARE(readFile(lib + "/libcore.so"), QByteArray("old core"));
            QCOMPARE(readFile(lib + "/plugins/platform.so"), QByteArray("platform plugin"));
            QVERIFY2(elapsed >= 19000, qPrintable(QString::number(elapsed)));
        }
    }

    void outwaitsTheExitingUpdater_data()
    {
        QTest::addColumn<QString>("what");
        // The updater that just exited still holds its executable a moment; another run still has the
        // installation; a crashed updater left its lock behind (taken over at once); an updater runs from the
        // updater's folder without the lock (the one exiting, or one started meanwhile) until it is stopped.
        QTest::newRow("held executable let go after 3 s") << "file";
        QTest::newRow("installation lock let go after 3 s") << "lock";
        QTest::newRow("lock of a crashed updater") << "stale";
        QTest::newRow("updater running from the target stopped after 3 s") << "process";
    }

    void outwaitsTheExitingUpdater()
    {
        QFETCH(QString, what);
        const auto is = [&what](const char *kind) { return what == QLatin1String(kind); };
        QString why;
        if (is("file") && !FileHold::isAvailable(m_root, &why, true))
            QSKIP(qPrintable(QStringLiteral("files cannot be held here: ") + why));
        const QString target = at("updater/kestraupd");
        QVERIFY(writeFile(at("updater/update_fileinfo.xml"), "<old record/>"));
        // A running updater: a copy of a small program under its name.
        QVERIFY(is("process") ? QFile::copy("/bin/sleep", target) : writeFile(target, "old updater binary"));
        const QByteArray old = readFile(target);
        FileHold hold;
        InstallationLock lock(m_root);
        TestProcess copier, updater;
        if (is("process"))
            QVERIFY2(updater.start(target, {QStringLiteral("60")}, &why), qPrintable(why));
        else if (is("file"))
            QVERIFY2(hold.hold(target, FileHold::Entry, &why), qPrintable(why));
        else if (is("lock"))
            QVERIFY(lock.acquire(0));
        else { // the lock of an updater whose process has ended
            QVERIFY2(updater.start(QStringLiteral("/bin/true"), {}, &why), qPrintable(why));
            const QByteArray ended = QByteArray::number(updater.pid());
            updater.stop();
            QVERIFY(writeFile(InstallationLock::filePath(m_root),
                              ended + "\nkestraupd\n" + QSysInfo::machineHostName().toUtf8() + "\n"));
        }
        QElapsedTimer timer;
        timer.start();
        QVERIFY2(copier.start(at("updater_temp/filerelay"), {}, &why, QDir::tempPath()), qPrintable(why));
        if (!is("stale")) {
            QThread::msleep(3000);
            QCOMPARE(readFile(target), old);
        }
        hold.release();
        lock.release();
        const qint64 updaterPid = updater.pid();
        updater.stop();
        QTRY_VERIFY_WITH_TIMEOUT(!copier.isRunning(), 60000);
        const qint64 elapsed = timer.elapsed();
        QCOMPARE(readFile(target), QByteArray("new updater binary"));
        QCOMPARE(readFile(at("updater/update_fileinfo.xml")), QByteArray("<record of the new release/>"));
        QVERIFY2(is("stale") ? elapsed < 15000 : elapsed >= 2000 && elapsed < 20000, qPrintable(QString::number(elapsed)));
        const QString log = logIn(at("updater_temp/logs"));
        QVERIFY2(!is("process") || log.contains(QStringLiteral("ms for programs running from %1/updater: %2 (pid %3)")
                                                    .arg(QDir(m_root).absolutePath(), target).arg(updaterPid)),
                 qPrintable(log));
        QVERIFY(!QFileInfo::exists(InstallationLock::filePath(m_root)));
    }

private:
    QString at(const QString &relative) const { return m_root + QLatin1Char('/') + relative; }

    // The copier in m_root/updater_temp, started from elsewhere: the folders follow the copier, not the working one.
    int relay(const QStringList &arguments, int timeoutMs = 60000)
    {
        return runProcess(at("updater_temp/filerelay"), arguments, timeoutMs, QDir::tempPath()).exitCode;
    }

    static QString logIn(const QString &logs)
    {
        const QString name = QDate::currentDate().toString("/yyyy_MM/'filerelay'yyyy-MM-dd'.txt'");
        return QString::fromLocal8Bit(readFile(logs + name));
    }

    QScopedPointer<QTemporaryDir> m_dir;
    QString m_root;
};

QTEST_GUILESS_MAIN(TestFileRelay)
#include "tst_filerelay.moc"
