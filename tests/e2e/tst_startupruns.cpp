#include "filehold.h"
#include "installationlock.h"
#include "nginxserver.h"
#include "testfiles.h"
#include "testprocess.h"

#include <QCoreApplication>
#include <QDate>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

namespace {

const QString kUpdater = QStringLiteral("kestraupd");

bool waitFor(const std::function<bool()> &condition, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        if (condition())
            return true;
        QThread::msleep(100);
        // Lets QProcess notice the end of a child started by the test.
        QCoreApplication::processEvents();
    }
    return condition();
}

QString sourceDir()
{
    return QStringLiteral(KESTRA_SOURCE_DIR);
}

QString binDir()
{
    return QStringLiteral(KESTRA_BIN_DIR);
}

// config.ini as key=value pairs: the updater may rewrite the file (it writes
// the configuration level back), which reorders it without changing it.
QMap<QString, QString> iniValues(const QString &path)
{
    QSettings ini(path, QSettings::IniFormat);
    QMap<QString, QString> values;
    for (const QString &key : ini.allKeys())
        values.insert(key, ini.value(key).toString());
    return values;
}

} // namespace

class TestStartupRuns : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        m_dir = new QTemporaryDir;
        m_root = m_dir->path() + QStringLiteral("/root");
        QString error;
        QVERIFY2(makeRoot(&error), qPrintable(error));
    }

    void cleanup()
    {
        m_rootHold.release();
        // The copier runs detached after each updater exit; let it finish before
        // the folder goes away.
        QThread::msleep(300);
        delete m_nginx;
        m_nginx = nullptr;
        delete m_dir;
        m_dir = nullptr;
    }

    void runModeInstallsAndLaunches_data()
    {
        QTest::addColumn<bool>("http");
        QTest::addColumn<QString>("situation");
        QTest::newRow("folder server") << false << "alone";
        QTest::newRow("nginx server") << true << "alone";
        // Each start finds the copier of the one before still at work.
        QTest::newRow("ten starts back to back") << false << "ten";
        QTest::newRow("start while a hand-over holds the installation") << false << "handover";
        // As when the copier renames a new kestraupd over the one starting.
        QTest::newRow("executable replaced as the run starts") << false << "replaced";
        // The splash gives way to the install dialog as it appears, and no
        // window that closed or is never shown is waited for.
        QTest::newRow("splash closes as the install dialog shows") << false << "splash";
        // Nothing can be created in the install root (a read-only share): the
        // run goes on without the installation lock, saying so, and the
        // program still starts.
        QTest::newRow("install root where the lock cannot be written") << false << "readonly";
        // An administrator's config.ini (a comment, a Windows path, no level)
        // is read, never rewritten, by starts that have nothing to change.
        QTest::newRow("config.ini as written after two up-to-date starts") << false << "config";
    }

    void runModeInstallsAndLaunches()
    {
        QFETCH(bool, http);
        QFETCH(QString, situation);
        if (http)
            QVERIFY(serveOverHttp());
        if (situation == QLatin1String("ten"))
            startTenTimes();
        else if (situation == QLatin1String("handover"))
            startDuringHandOver();
        else if (situation == QLatin1String("replaced"))
            startReplaced();
        else if (situation == QLatin1String("readonly"))
            holdRoot();
        QByteArray config;
        if (situation == QLatin1String("config"))
            startWithHandWrittenConfig(&config);
        if (situation == QLatin1String("readonly") && !m_rootHold.isHeld() && !QTest::currentTestFailed())
            QSKIP("no way to make a folder read-only here");
        if (QTest::currentTestFailed())
            return;
        const bool observed = situation == QLatin1String("splash");
        const ProcessResult run = runUpdater(observed ? QStringLiteral("kestraupd_harness") : kUpdater, {"--run", "sampleapp"});
        QVERIFY2(run.finished, run.output.constData());
        QCOMPARE(run.exitCode, 0);
        if (observed) {
            const QStringList windows = windowLog();
            const int splashHidden = windows.indexOf(QStringLiteral("hide splash"));
            QVERIFY2(splashHidden > 0 && splashHidden < windows.indexOf(QStringLiteral("hide installdialog")),
                     qPrintable(windows.join(QLatin1Char(','))));
            QVERIFY(harnessLog().isEmpty());
        }
        if (situation == QLatin1String("config"))
            QCOMPARE(readFile(updaterDir() + QStringLiteral("/config.ini")), config);
        if (situation == QLatin1String("readonly")) {
            QVERIFY(updaterLog().contains("installation.lock cannot be written; going on without it"));
            QVERIFY(!QFileInfo::exists(InstallationLock::filePath(m_root)));
        }

        QString why;
        QVERIFY2(installedEqualsSource(QStringLiteral("sampleapp"), sourceDir() + QStringLiteral("/demo/files/sampleapp"), &why),
                 qPrintable(why));
        QVERIFY2(installedEqualsSource(QStringLiteral("sampleapp_config"),
                                       sourceDir() + QStringLiteral("/demo/files/sampleapp_config"), &why),
                 qPrintable(why));
        QCOMPARE(readFile(m_root + QStringLiteral("/sampleapp/kestrasample")), readFile(binDir() + QStringLiteral("/kestrasample")));
        // Only registered modules are brought up to date.
        QVERIFY(!QDir(m_root + QStringLiteral("/sampleapp_reports")).exists());

        // Launched detached from its folder with the registry's parameters.
        const QString record = m_root + QStringLiteral("/sampleapp/last_run.txt");
        QVERIFY(waitFor([&] { return QFile::exists(record) && readFile(record).endsWith("arg=--demo\n"); }, 15000));
        const QStringList lines = QString::fromUtf8(readFile(record)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(lines, (QStringList{QStringLiteral("cwd=") + m_root + QStringLiteral("/sampleapp"), QStringLiteral("arg=--settings"),
                                     QStringLiteral("arg=") + m_root + QStringLiteral("/sampleapp_config/settings.ini"),
                                     QStringLiteral("arg=--demo")}));
    }

    void selfUpdateReachesTheUpdatersFolder_data()
    {
        QTest::addColumn<QString>("course");
        QTest::newRow("complete release") << "complete";
        // One data file of the release is missing on the server: the copy in
        // updater_temp is half new and must not reach the updater's folder.
        QTest::newRow("release with a data file missing") << "partial";
        // The updater was killed before its copier ran: the next start finds
        // updater_temp current and must still hand it over.
        QTest::newRow("missed hand-over repaired at the next start") << "missed";
        // A copier of an earlier exit still waits: the exit starts no second
        // one beside it, and the next start hands the copy over.
        QTest::newRow("no second copier beside a waiting one") << "waiting";
    }

    void selfUpdateReachesTheUpdatersFolder()
    {
        QFETCH(QString, course);
        publishUpdaterRelease(course == QLatin1String("partial"));
        if (QTest::currentTestFailed())
            return;

        const auto configBefore = iniValues(updaterDir() + QStringLiteral("/config.ini"));
        const QString notes = updaterDir() + QStringLiteral("/release_notes.txt");
        const QString version = updaterDir() + QStringLiteral("/version.txt");
        if (course == QLatin1String("missed")) {
            const ProcessResult first = runUpdater(kUpdater, {"--run", "sampleapp"});
            QVERIFY2(first.ok(), first.output.constData());
            QVERIFY2(waitFor([&] { return QFile::exists(notes) && !isLocked(); }, 30000), "no first hand-over");
            // What the updater's folder looks like when the copier never ran.
            for (const QString &name : {notes, version, updaterDir() + QStringLiteral("/update_fileinfo.xml")})
                QVERIFY(QFile::remove(name));
        }
        // A stand-in for the waiting copier, running from where the copier does.
        TestProcess waiting;
        if (course == QLatin1String("waiting")) {
            const QString copier = m_root + QStringLiteral("/updater_temp/filerelay");
            QVERIFY(QDir().mkpath(m_root + QStringLiteral("/updater_temp")));
            QVERIFY(QFile::copy(QStringLiteral("/bin/sleep"), copier));
            QString why;
            QVERIFY2(waiting.start(copier, {QStringLiteral("60")}, &why), qPrintable(why));
        }
        const ProcessResult run = runUpdater(kUpdater, {"--run", "sampleapp"});
        QVERIFY2(run.finished, run.output.constData());
        QCOMPARE(run.exitCode, 0);
        if (course == QLatin1String("waiting")) {
            QVERIFY(updaterLog().contains("of an earlier exit still runs; it hands this copy over"));
            QVERIFY(!waitFor([&] { return QFile::exists(version); }, 3000));
            waiting.stop();
            const ProcessResult next = runUpdater(kUpdater, {"--run", "sampleapp"});
            QVERIFY2(next.ok(), next.output.constData());
        }

        if (course == QLatin1String("partial")) {
            // The new file that did arrive waits in updater_temp; nothing of the
            // release reaches the updater, which stays wholly old.
            QCOMPARE(readFile(m_root + QStringLiteral("/updater_temp/version.txt")), QByteArray("1.0.0.26\n"));
            QVERIFY(!waitFor([&] { return QFile::exists(version); }, 5000));
            QVERIFY(!QFile::exists(notes));
            return;
        }
        // The new copy is assembled beside the updater...
        QCOMPARE(readFile(m_root + QStringLiteral("/updater_temp/release_notes.txt")), QByteArray("Версия 1.0.0.26\n"));
        // ...and the copier, started at exit, brings it over.
        QVERIFY2(waitFor([&] { return QFile::exists(notes) && !isLocked(); }, 30000),
                 "the copier did not deliver the new files");
        QCOMPARE(readFile(notes), QByteArray("Версия 1.0.0.26\n"));
        QCOMPARE(readFile(version), QByteArray("1.0.0.26\n"));
        QCOMPARE(readFile(updaterDir() + QStringLiteral("/update_fileinfo.xml")),
                 readFile(m_root + QStringLiteral("/updater_temp/update_fileinfo.xml")));
        QCOMPARE(iniValues(updaterDir() + QStringLiteral("/config.ini")), configBefore);
        QCOMPARE(readFile(updaterDir() + QStringLiteral("/filerelay")),
                 readFile(binDir() + QStringLiteral("/filerelay")));
    }

    void runForAProgramThatIsNotInstalled()
    {
        const ProcessResult run = runUpdater("kestraupd_harness", {"--run", "nosuch"});
        QVERIFY2(run.finished, run.output.constData());
        QCOMPARE(run.exitCode, 0);
        // Nothing to launch: the main window is shown instead, and no box blames
        // running copies of a program that is not there.
        QCOMPARE(harnessLog(), QStringList{QStringLiteral("mainwindow")});
        QVERIFY(!QDir(m_root + QStringLiteral("/nosuch")).exists());
        // The updater still updated itself.
        QVERIFY(QFile::exists(m_root + QStringLiteral("/updater_temp/kestraupd")));
    }

    void runForARunningProgram()
    {
        ProcessResult first = runUpdater(kUpdater, {"--run", "sampleapp"});
        QVERIFY(first.finished);
        const QString record = m_root + QStringLiteral("/sampleapp/last_run.txt");
        QVERIFY(waitFor([&] { return QFile::exists(record); }, 15000));

        TestProcess open;
        QVERIFY(open.start(m_root + QStringLiteral("/sampleapp/kestrasample"), {QStringLiteral("--stay")}));
        QVERIFY(waitFor([&] { return readFile(record).contains("arg=--stay"); }, 10000));
        // A changed file on the server that must not be touched while the program runs.
        QVERIFY(writeFile(m_root + QStringLiteral("/sampleapp/readme.txt"), "local copy\n"));
        QFile::remove(m_root + QStringLiteral("/updater_temp/kestraupd"));

        const ProcessResult run = runUpdater("kestraupd_harness", {"--run", "sampleapp"});
        QVERIFY2(run.finished, run.output.constData());
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(harnessLog(), QStringList{QStringLiteral("messagebox\tОбновление программы не произведено из-за запущенных копий!")});
        QCOMPARE(readFile(m_root + QStringLiteral("/sampleapp/readme.txt")), QByteArray("local copy\n"));
        // The updater still updated itself and still launched the program.
        QVERIFY(QFile::exists(m_root + QStringLiteral("/updater_temp/kestraupd")));
        QVERIFY(waitFor([&] { return readFile(record).endsWith("arg=--demo\n"); }, 15000));
        open.stop();
    }

    void argWithoutRunHasNoEffect()
    {
        const ProcessResult run = runUpdater("kestraupd_harness", {"--arg", "--demo"});
        QVERIFY2(run.finished, run.output.constData());
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(harnessLog(), QStringList{QStringLiteral("mainwindow")});
        QVERIFY(!QFile::exists(m_root + QStringLiteral("/sampleapp/last_run.txt")));
    }

    void pathOverridesStayInThisProcess()
    {
        // The default registry knows nothing; the one named on the command line
        // registers the sample program, so only it can make run mode install it.
        const QString registry = m_root + QStringLiteral("/elsewhere/installed.json");
        QVERIFY(writeFile(registry, readFile(updaterDir() + QStringLiteral("/installed.json"))));
        QVERIFY(writeFile(updaterDir() + QStringLiteral("/installed.json"), "{}"));
        const QString logs = m_root + QStringLiteral("/elsewhere/logs");
        const auto configBefore = iniValues(updaterDir() + QStringLiteral("/config.ini"));

        const ProcessResult run = runUpdater(kUpdater, {"--run", "sampleapp", "--logs_path", logs,
                                              "--install_config_path", registry});
        QVERIFY2(run.finished, run.output.constData());
        QCOMPARE(run.exitCode, 0);
        QVERIFY(QFile::exists(m_root + QStringLiteral("/sampleapp/kestrasample")));
        const QString logFile = logs + QLatin1Char('/') + QDate::currentDate().toString(QStringLiteral("yyyy_MM")) + QLatin1Char('/')
                                + QDate::currentDate().toString(Qt::ISODate) + QStringLiteral(".txt");
        QVERIFY2(readFile(logFile).contains("updater is started, version 1.0.0.25"), qPrintable(logFile));
        QCOMPARE(iniValues(updaterDir() + QStringLiteral("/config.ini")), configBefore);
        QCOMPARE(readFile(updaterDir() + QStringLiteral("/installed.json")), QByteArray("{}"));
    }

    void hiddenServerFailsGracefully()
    {
        // A server that accepts connections and never answers.
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
        setConfig(QStringLiteral("source_path"), QStringLiteral("http://127.0.0.1:%1/projects.xml").arg(silent.serverPort()));
        setConfig(QStringLiteral("transfer_stall_timeout"), QStringLiteral("2"));

        QElapsedTimer timer;
        timer.start();
        const ProcessResult run = runUpdater("kestraupd_harness", {}, 60000);
        QVERIFY2(run.finished, "start-up hung on a silent server");
        QCOMPARE(run.exitCode, 0);
        QVERIFY(timer.elapsed() < 45000);
        QCOMPARE(harnessLog(), QStringList{QStringLiteral("mainwindow")});
        const QString logFile = updaterDir() + QStringLiteral("/logs/")
            + QDate::currentDate().toString(QStringLiteral("yyyy_MM")) + QLatin1Char('/')
            + QDate::currentDate().toString(Qt::ISODate) + QStringLiteral(".txt");
        QVERIFY(readFile(logFile).contains("Warning "));
    }

    // The administrators' runs, each without a display: nothing may wait for
    // a window. Expectations: "exists:" / "missing:" a path under the root,
    // "out:" a text on standard output, "registry:" / "!registry:" a text in
    // installed.json, "json:" a key=value of the --json report's top level.
    void commandLineRuns_data()
    {
        QTest::addColumn<QString>("prepare");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QStringList>("expect");
        QTest::newRow("check on an outdated installation")
            << QString() << QStringList{"--check", "--json"} << 3
            << QStringList{"json:exit_code=3", "json:command=check", "missing:sampleapp", "missing:updater_temp"};
        QTest::newRow("check on a current installation")
            << "update" << QStringList{"--check", "--json"} << 0 << QStringList{"json:exit_code=0"};
        QTest::newRow("update-all installs registered modules and updates the updater")
            << QString() << QStringList{"--update-all"} << 0
            << QStringList{"exists:sampleapp/kestrasample", "exists:sampleapp_config/settings.ini",
                           "missing:sampleapp_reports", "exists:updater_temp/kestraupd", "out:exit code 0"};
        QTest::newRow("update-all skips a running program")
            << "running" << QStringList{"--update-all"} << 0
            << QStringList{"out:sampleapp is running and will not be updated", "exists:updater_temp/kestraupd"};
        QTest::newRow("install brings the necessary module along")
            << "empty registry" << QStringList{"--install", "sampleapp,sampleapp_reports"} << 0
            << QStringList{"exists:sampleapp_config/settings.ini", "exists:sampleapp_reports",
                           "registry:sampleapp_config", "registry:sampleapp_reports"};
        QTest::newRow("remove one optional module")
            << "with reports" << QStringList{"--remove", "sampleapp:sampleapp_reports"} << 0
            << QStringList{"!registry:sampleapp_reports", "registry:sampleapp_config", "exists:sampleapp/kestrasample"};
        QTest::newRow("remove a necessary module is refused")
            << "update" << QStringList{"--remove", "sampleapp:sampleapp_config", "--json"} << 2
            << QStringList{"json:exit_code=2", "registry:sampleapp_config"};
        QTest::newRow("remove a program")
            << "update" << QStringList{"--remove", "sampleapp"} << 0
            << QStringList{"!registry:sampleapp", "missing:sampleapp/kestrasample"};
        QTest::newRow("update-all with the updater's release incomplete hands nothing over")
            << "partial release" << QStringList{"--update-all", "--json"} << 1
            << QStringList{"json:exit_code=1", "exists:updater_temp/version.txt", "missing:kestraupd/version.txt"};
        QTest::newRow("corrupted data file fails and names it")
            << "corrupt" << QStringList{"--update-all", "--json"} << 1
            << QStringList{"json:exit_code=1", "json:errors~readme.txt"};
        QTest::newRow("check with no readable server fails instead of reporting all current")
            << "no server" << QStringList{"--check", "--json"} << 1
            << QStringList{"json:exit_code=1", "json:errors~no programms could be read"};
        QTest::newRow("a second run while another holds the installation")
            << "busy" << QStringList{"--update-all", "--json"} << 4
            << QStringList{"json:exit_code=4", "missing:updater_temp", "missing:sampleapp"};
        QTest::newRow("two commands are bad usage")
            << QString() << QStringList{"--check", "--update-all"} << 2 << QStringList{"missing:updater_temp"};
        QTest::newRow("a command with run mode is bad usage")
            << QString() << QStringList{"--check", "--run", "sampleapp"} << 2 << QStringList{};
        QTest::newRow("an unknown programm is bad usage")
            << QString() << QStringList{"--install", "nosuch"} << 2 << QStringList{"missing:updater_temp"};
    }

    void commandLineRuns()
    {
        QFETCH(QString, prepare);
        QFETCH(QStringList, args);
        QFETCH(int, exitCode);
        QFETCH(QStringList, expect);
        TestProcess open;
        if (prepare == QLatin1String("empty registry"))
            QVERIFY(writeFile(updaterDir() + QStringLiteral("/installed.json"), "{}"));
        if (prepare == QLatin1String("with reports"))
            QCOMPARE(runHeadless({"--install", "sampleapp,sampleapp_reports"}).exitCode, 0);
        if (prepare == QLatin1String("update") || prepare == QLatin1String("running"))
            QCOMPARE(runHeadless({"--update-all"}).exitCode, 0);
        if (prepare == QLatin1String("running")) {
            const QString record = m_root + QStringLiteral("/sampleapp/last_run.txt");
            QVERIFY(open.start(m_root + QStringLiteral("/sampleapp/kestrasample"), {QStringLiteral("--stay")}));
            QVERIFY(waitFor([&] { return readFile(record).contains("arg=--stay"); }, 10000));
            QVERIFY(writeFile(m_root + QStringLiteral("/sampleapp/readme.txt"), "local copy\n"));
            expect << "out:exit code 0";
        }
        InstallationLock other(m_root);
        if (prepare == QLatin1String("busy"))
            QVERIFY(other.acquire(0));
        if (prepare == QLatin1String("no server"))
            setConfig(QStringLiteral("source_path"), m_root + QStringLiteral("/nowhere/projects.xml"));
        if (prepare == QLatin1String("partial release"))
            publishUpdaterRelease(true);
        if (prepare == QLatin1String("corrupt"))
            QVERIFY(writeFile(m_root + QStringLiteral("/server/packs/sampleapp/sampleapp/readme.txt"), "tampered\n"));
        QFile::remove(m_root + QStringLiteral("/harness.log"));

        const ProcessResult run = runHeadless(args);
        QVERIFY2(run.finished, "a command-line run blocked");
        QVERIFY2(run.exitCode == exitCode, run.output.constData());
        if (args.contains(QStringLiteral("--json")))
            QVERIFY2(jsonValid(run.output), run.output.constData());
        const QByteArray registry = readFile(updaterDir() + QStringLiteral("/installed.json"));
        for (const QString &item : expect) {
            const QString what = item.section(QLatin1Char(':'), 1);
            bool ok = true;
            if (item.startsWith(QLatin1String("exists:")))
                ok = QFileInfo::exists(m_root + QLatin1Char('/') + what);
            else if (item.startsWith(QLatin1String("missing:")))
                ok = !QFileInfo::exists(m_root + QLatin1Char('/') + what);
            else if (item.startsWith(QLatin1String("out:")))
                ok = run.output.contains(what.toUtf8());
            else if (item.startsWith(QLatin1String("registry:")))
                ok = registry.contains(what.toUtf8());
            else if (item.startsWith(QLatin1String("!registry:")))
                ok = !registry.contains(what.toUtf8());
            else if (item.startsWith(QLatin1String("json:")))
                ok = jsonHas(run.output, what);
            QVERIFY2(ok, qPrintable(item + QStringLiteral("\n") + QString::fromUtf8(run.output)));
        }
        if (prepare == QLatin1String("running")) {
            QCOMPARE(readFile(m_root + QStringLiteral("/sampleapp/readme.txt")), QByteArray("local copy\n"));
            open.stop();
        }
        // No window was ever shown: the harness would have recorded it.
        QVERIFY(!QFile::exists(m_root + QStringLiteral("/harness.log")));
    }

    void secondWindowedStartIsRefused()
    {
        InstallationLock other(m_root);
        QVERIFY(other.acquire(0));
        const ProcessResult run = runUpdater("kestraupd_harness", {}, 60000);
        QVERIFY2(run.finished, run.output.constData());
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(harnessLog(),
                 QStringList{QStringLiteral("messagebox\tПрограмма обновления уже запущена. Дождитесь её завершения.")});
        QVERIFY(!QFile::exists(m_root + QStringLiteral("/updater_temp/kestraupd")));
    }

    void runModeOutwaitedLaunchesWithoutUpdate()
    {
        const ProcessResult first = runUpdater(kUpdater, {"--run", "sampleapp"});
        QVERIFY2(first.ok(), first.output.constData());
        const QString delivered = updaterDir() + QStringLiteral("/update_fileinfo.xml");
        QVERIFY(waitFor([&] { return QFile::exists(delivered) && !isLocked(); }, 30000));
        const QString readme = m_root + QStringLiteral("/sampleapp/readme.txt");
        QVERIFY(writeFile(readme, "local copy\n"));
        const QString record = m_root + QStringLiteral("/sampleapp/last_run.txt");
        QFile::remove(record);

        // Another run keeps the installation for longer than a shortcut waits.
        InstallationLock other(m_root);
        QVERIFY(other.acquire(0));
        const ProcessResult run = runUpdater(kUpdater, {"--run", "sampleapp"}, 150000);
        QVERIFY2(run.ok(), run.output.constData());
        QVERIFY(waitFor([&] { return readFile(record).endsWith("arg=--demo\n"); }, 15000));
        QCOMPARE(readFile(readme), QByteArray("local copy\n"));
        QVERIFY(updaterLog().contains("programm sampleapp is launched without being updated"));
    }

private:
    void startTenTimes();
    void startDuringHandOver();
    void startReplaced();
    void holdRoot();
    void publishUpdaterRelease(bool withDataFileMissing);
    void startWithHandWrittenConfig(QByteArray *config);
    bool isLocked() const;
    QByteArray updaterLog() const;
    static QString packData(const QString &packDir, const QString &fileName);
    bool makeRoot(QString *error);
    bool serveOverHttp();
    void setConfig(const QString &line, const QString &value);
    ProcessResult runUpdater(const QString &program, const QStringList &args, int timeoutMs = 180000);
    QString updaterDir() const { return m_root + QLatin1Char('/') + kUpdater; }
    QStringList harnessLog() const;
    // The harness's record of the splash and the install dialogs coming and going.
    QStringList windowLog() const;
    // The harness (which records any window) without a display.
    ProcessResult runHeadless(const QStringList &args);
    static bool jsonValid(const QByteArray &document);
    static bool jsonHas(const QByteArray &document, const QString &keyValue);
    bool installedEqualsSource(const QString &module, const QString &source, QString *why) const;

    QTemporaryDir *m_dir = nullptr;
    QString m_root;
    NginxServer *m_nginx = nullptr;
    FileHold m_rootHold;
};

// Ten shortcut starts, each right after the one before ended: every one
// must read its settings and registry and launch the program.
void TestStartupRuns::startTenTimes()
{
    const QString record = m_root + QStringLiteral("/sampleapp/last_run.txt");
    for (int i = 0; i < 10; ++i) {
        QFile::remove(record);
        const ProcessResult run = runUpdater(kUpdater, {"--run", "sampleapp"}, 120000);
        QVERIFY2(run.ok(), run.output.constData());
        QVERIFY2(waitFor([&] { return readFile(record).endsWith("arg=--demo\n"); }, 15000),
                 qPrintable(QStringLiteral("start %1 did not launch the program").arg(i + 1)));
    }
    QVERIFY(!updaterLog().contains("is not installed"));
}

// A start while the copier holds the installation waits for it to end.
void TestStartupRuns::startDuringHandOver()
{
    InstallationLock copier(m_root);
    QVERIFY(copier.acquire(0));
    TestProcess updater;
    QString why;
    QVERIFY2(updater.start(updaterDir() + QLatin1Char('/') + kUpdater, {"--run", "sampleapp"}, &why, m_root),
             qPrintable(why));
    QVERIFY(waitFor([&] { return updaterLog().contains("installation is busy, waiting up to"); }, 15000));
    QVERIFY(updater.isRunning());
    QVERIFY(!QFile::exists(m_root + QStringLiteral("/sampleapp/kestrasample")));
    copier.release();
    QVERIFY(waitFor([&] { return !updater.isRunning(); }, 120000));
    updater.stop();
}

// The executable is renamed over while the run starts: the process runs a
// file that no longer has a name, started by its bare name as a search-path
// lookup would.
void TestStartupRuns::startReplaced()
{
    const QString exe = updaterDir() + QLatin1Char('/') + kUpdater;
    const QString script = QStringLiteral("exec 3< \"$1\" && cp \"$1\" \"$1.new\" && mv -f \"$1.new\" \"$1\" "
                                          "&& exec -a kestraupd /proc/self/fd/3 --run sampleapp");
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("PATH", "/usr/bin:/bin");
    const ProcessResult run = runProcess(QStringLiteral("bash"), {"-c", script, "bash", exe}, 180000, m_root, env);
    QVERIFY2(run.ok(), run.output.constData());
    QVERIFY2(!updaterLog().contains("is not installed"), updaterLog().constData());
    QVERIFY(QFile::exists(m_root + QStringLiteral("/sampleapp/kestrasample")));
}

// A new release of the updater on the server: two more files, and a
// config.ini of its own that must not replace the installation's settings.
// Without one data file, a copy assembled from it is half new.
void TestStartupRuns::publishUpdaterRelease(bool withDataFileMissing)
{
    QTemporaryDir release;
    QVERIFY(QFile::copy(binDir() + QStringLiteral("/kestraupd"), release.filePath(QStringLiteral("kestraupd"))));
    QVERIFY(QFile::copy(binDir() + QStringLiteral("/filerelay"), release.filePath(QStringLiteral("filerelay"))));
    QVERIFY(writeFile(release.filePath(QStringLiteral("release_notes.txt")), "Версия 1.0.0.26\n"));
    QVERIFY(writeFile(release.filePath(QStringLiteral("version.txt")), "1.0.0.26\n"));
    QVERIFY(writeFile(release.filePath(QStringLiteral("config.ini")), "[General]\nupdate_servers_count=0\n"));
    const QString packDir = m_root + "/server/packs/" + kUpdater;
    const ProcessResult pack = runProcess(binDir() + QStringLiteral("/packwright"),
                                          {"-m", kUpdater, "-f", release.path(), "-o", packDir, "-k",
                                           m_root + QStringLiteral("/publisher/demo.key")});
    QVERIFY2(pack.ok(), pack.output.constData());
    if (withDataFileMissing)
        QVERIFY(QFile::remove(packDir + QLatin1Char('/') + packData(packDir, QStringLiteral("release_notes.txt"))));
}

// An installed root in which nothing more can be created.
void TestStartupRuns::holdRoot()
{
    const ProcessResult first = runUpdater(kUpdater, {"--run", "sampleapp"});
    QVERIFY2(first.ok(), first.output.constData());
    const QString delivered = updaterDir() + QStringLiteral("/update_fileinfo.xml");
    QVERIFY(waitFor([&] { return QFile::exists(delivered) && !isLocked(); }, 30000));
    QString why;
    if (!FileHold::isAvailable(m_dir->path(), &why)) {
        qWarning() << why;
        return;
    }
    QVERIFY2(m_rootHold.hold(m_root, FileHold::Contents, &why), qPrintable(why));
}

// Brings the installation up to date, then gives it a config.ini as an
// administrator writes one and starts once more; config gets its bytes.
void TestStartupRuns::startWithHandWrittenConfig(QByteArray *config)
{
    const QString delivered = updaterDir() + QStringLiteral("/update_fileinfo.xml");
    const ProcessResult first = runUpdater(kUpdater, {"--run", "sampleapp"});
    QVERIFY2(first.ok(), first.output.constData());
    QVERIFY(waitFor([&] { return QFile::exists(delivered) && !isLocked(); }, 30000));
    const QString path = updaterDir() + QStringLiteral("/config.ini");
    *config = readFile(path);
    QVERIFY(config->contains("level=0\n"));
    config->replace("level=0\n", "");
    config->replace("[General]\n", "; настроено администратором\n[General]\nbackup_folder=C:\\Kestra\\backup\n");
    QVERIFY(writeFile(path, *config));
    const ProcessResult second = runUpdater(kUpdater, {"--run", "sampleapp"});
    QVERIFY2(second.ok(), second.output.constData());
    QVERIFY(waitFor([&] { return !isLocked(); }, 30000));
}

bool TestStartupRuns::isLocked() const
{
    InstallationLock probe(m_root);
    return !probe.acquire(0);
}

QByteArray TestStartupRuns::updaterLog() const
{
    return readFile(updaterDir() + QStringLiteral("/logs/") + QDate::currentDate().toString(QStringLiteral("yyyy_MM"))
                    + QLatin1Char('/') + QDate::currentDate().toString(Qt::ISODate) + QStringLiteral(".txt"));
}

// The data file of one entry in a pack's file-information document.
QString TestStartupRuns::packData(const QString &packDir, const QString &fileName)
{
    const QString document = QString::fromUtf8(readFile(packDir + QStringLiteral("/update_fileinfo.xml")));
    const QRegularExpression entry(QStringLiteral("filename=\"") + QRegularExpression::escape(fileName)
                                   + QStringLiteral("\"[^>]*>.*?<data><!\\[CDATA\\[([^\\]]*)\\]\\]></data>"),
                                   QRegularExpression::DotMatchesEverythingOption);
    return entry.match(document).captured(1);
}

bool TestStartupRuns::makeRoot(QString *error)
{
    const ProcessResult make = runProcess(
        QStringLiteral("bash"), {sourceDir() + QStringLiteral("/scripts/make-demo-root.sh"), binDir(), m_root}, 120000);
    if (!make.ok()) {
        *error = QString::fromLocal8Bit(make.output);
        return false;
    }
    // The harness runs start-up paths that would wait for a person.
    const QString harness = updaterDir() + QStringLiteral("/kestraupd_harness");
    if (!QFile::copy(binDir() + QStringLiteral("/kestraupd_harness"), harness)) {
        *error = QStringLiteral("can't copy the harness");
        return false;
    }
    QFile::setPermissions(harness, QFile::permissions(harness) | QFileDevice::ExeOwner);
    setConfig(QStringLiteral("transfer_stall_timeout"), QStringLiteral("5"));
    return true;
}

void TestStartupRuns::setConfig(const QString &key, const QString &value)
{
    const QString path = updaterDir() + QStringLiteral("/config.ini");
    QString text = QString::fromUtf8(readFile(path));
    const QRegularExpression existing(QStringLiteral("(?m)^") + QRegularExpression::escape(key) + QStringLiteral("=.*$"));
    if (text.contains(existing))
        text.replace(existing, key + QLatin1Char('=') + value);
    else
        text.replace(QStringLiteral("[General]\n"), QStringLiteral("[General]\n") + key + QLatin1Char('=') + value + QLatin1Char('\n'));
    QVERIFY(writeFile(path, text.toUtf8()));
}

bool TestStartupRuns::serveOverHttp()
{
    m_nginx = new NginxServer;
    m_nginx->setRoot(m_root + QStringLiteral("/server"));
    QString error;
    if (!m_nginx->start(&error)) {
        qWarning() << error;
        return false;
    }
    setConfig(QStringLiteral("source_path"), m_nginx->baseUrl() + QStringLiteral("/projects.xml"));
    return true;
}

ProcessResult TestStartupRuns::runUpdater(const QString &program, const QStringList &args, int timeoutMs)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("KESTRA_HARNESS_LOG", m_root + "/harness.log");
    env.insert("KESTRA_HARNESS_WINDOWS", m_root + "/windows.log");
    return runProcess(updaterDir() + QLatin1Char('/') + program, args, timeoutMs, m_root, env);
}

ProcessResult TestStartupRuns::runHeadless(const QStringList &args)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    env.remove("QT_QPA_PLATFORM");
    env.insert("KESTRA_HARNESS_LOG", m_root + "/harness.log");
    // Standard error is merged into the output; with --json the report is
    // therefore read from standard output alone, by a second process below.
    QProcess process;
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(m_root);
    ProcessResult result;
    process.start(updaterDir() + QStringLiteral("/kestraupd_harness"), args);
    result.finished = process.waitForStarted(10000) && process.waitForFinished(180000);
    if (!result.finished) {
        process.kill();
        process.waitForFinished(5000);
    }
    result.exitCode = process.exitCode();
    result.output = process.readAllStandardOutput();
    // The copier the run handed over to finishes before anything else looks
    // at the installation.
    const QByteArray copier = (m_root + QStringLiteral("/updater_temp/filerelay")).toUtf8();
    waitFor([&] {
        for (const QString &pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            if (readFile(QStringLiteral("/proc/") + pid + QStringLiteral("/cmdline")).startsWith(copier))
                return false;
        }
        return true;
    }, 30000);
    return result;
}

bool TestStartupRuns::jsonValid(const QByteArray &document)
{
    QProcess python;
    python.start(QStringLiteral("python3"), {QStringLiteral("-c"), QStringLiteral("import json,sys; json.load(sys.stdin)")});
    python.write(document);
    python.closeWriteChannel();
    return python.waitForFinished(30000) && python.exitStatus() == QProcess::NormalExit && python.exitCode() == 0;
}

bool TestStartupRuns::jsonHas(const QByteArray &document, const QString &keyValue)
{
    // key=value compares a top-level value; key~text looks for text in it.
    const bool contains = keyValue.contains(QLatin1Char('~'));
    const QString key = keyValue.section(contains ? QLatin1Char('~') : QLatin1Char('='), 0, 0);
    const QString value = keyValue.section(contains ? QLatin1Char('~') : QLatin1Char('='), 1);
    const QString script = QStringLiteral("import json,sys; v=json.load(sys.stdin)[sys.argv[1]]; "
                                          "t=json.dumps(v, ensure_ascii=False) if sys.argv[3]=='1' else str(v); "
                                          "sys.exit(0 if (sys.argv[2] in t if sys.argv[3]=='1' else t==sys.argv[2]) else 1)");
    QProcess python;
    python.start(QStringLiteral("python3"), {QStringLiteral("-c"), script, key, value, contains ? QStringLiteral("1") : QStringLiteral("0")});
    python.write(document);
    python.closeWriteChannel();
    return python.waitForFinished(30000) && python.exitStatus() == QProcess::NormalExit && python.exitCode() == 0;
}

QStringList TestStartupRuns::harnessLog() const
{
    return QString::fromUtf8(readFile(m_root + QStringLiteral("/harness.log"))).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QStringList TestStartupRuns::windowLog() const
{
    return QString::fromUtf8(readFile(m_root + QStringLiteral("/windows.log"))).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

bool TestStartupRuns::installedEqualsSource(const QString &module, const QString &source, QString *why) const
{
    const QString installed = m_root + QLatin1Char('/') + module;
    for (const QString &rel : listFilesRecursive(source)) {
        if (readFile(installed + QLatin1Char('/') + rel) != readFile(source + QLatin1Char('/') + rel)
            || !QFile::exists(installed + QLatin1Char('/') + rel)) {
            *why = module + QStringLiteral(": ") + rel + QStringLiteral(" differs or is missing");
            return false;
        }
    }
    return true;
}

QTEST_GUILESS_MAIN(TestStartupRuns)
#include "tst_startupruns.moc"
