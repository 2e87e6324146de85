// The real binaries in a demo-like root: shortcut (run mode) starts,
// windowed starts through the harness and the administrators' command lines.
#include "filehold.h"
#include "installationlock.h"
#include "testfiles.h"
#include "testprocess.h"

#include <QCoreApplication>
#include <QDate>
#include <QDir>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <algorithm>

namespace {

const QString kUpdater = QStringLiteral("kestraupd");
const QString kSource = QStringLiteral(KESTRA_SOURCE_DIR);
const QString kBin = QStringLiteral(KESTRA_BIN_DIR);

bool waitFor(const std::function<bool()> &condition, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        if (condition())
            return true;
        QThread::msleep(100);
        QCoreApplication::processEvents(); // lets QProcess notice a child's end
    }
    return condition();
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

QStringList lines(const QString &path)
{
    return QString::fromUtf8(readFile(path)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QString dayLog(const QString &logs)
{
    const QDate today = QDate::currentDate();
    return logs + today.toString(QStringLiteral("/yyyy_MM/")) + today.toString(Qt::ISODate) + QStringLiteral(".txt");
}

// "key=value" compares a top-level value of a JSON report; "key~text" looks
// for text in it.
bool jsonHas(const QByteArray &document, const QString &keyValue)
{
    const QChar separator = keyValue.contains(QLatin1Char('~')) ? QLatin1Char('~') : QLatin1Char('=');
    const QJsonValue value = QJsonDocument::fromJson(document).object().value(keyValue.section(separator, 0, 0));
    const QString wanted = keyValue.section(separator, 1);
    if (separator == QLatin1Char('='))
        return value.toVariant().toString() == wanted;
    const QString text = value.isString() ? value.toString()
                                          : QString::fromUtf8(QJsonDocument::fromVariant(value.toVariant()).toJson());
    return text.contains(wanted);
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
        const ProcessResult make =
            runProcess(QStringLiteral("bash"), {kSource + QStringLiteral("/scripts/make-demo-root.sh"), kBin, m_root}, 120000);
        QVERIFY2(make.ok(), make.output.constData());
        // The harness runs start-up paths that would wait for a person.
        const QString harness = updaterDir() + QStringLiteral("/kestraupd_harness");
        QVERIFY(QFile::copy(kBin + QStringLiteral("/kestraupd_harness"), harness));
        QFile::setPermissions(harness, QFile::permissions(harness) | QFileDevice::ExeOwner);
        setConfig(QStringLiteral("transfer_stall_timeout"), QStringLiteral("5"));
    }

    void cleanup()
    {
        m_rootHold.release();
        // The copier runs detached after each updater exit; let it finish
        // before the folder goes away.
        QThread::msleep(300);
        delete m_dir;
        m_dir = nullptr;
    }

    void runModeInstallsAndLaunches_data()
    {
        QTest::addColumn<QString>("situation");
        QTest::newRow("folder server") << "alone";
        // Each start finds the copier of the one before still at work.
        QTest::newRow("ten starts back to back") << "ten";
        QTest::newRow("start while a hand-over holds the installation") << "handover";
        // As when the copier renames a new kestraupd over the one starting.
        QTest::newRow("executable replaced as the run starts") << "replaced";
        // The splash gives way to the install dialog as it appears, and no
        // window that closed or is never shown is waited for.
        QTest::newRow("splash closes as the install dialog shows") << "splash";
        // A shortcut start that finds the program and the updater current
        // shows no install dialog at all: the splash stays until the launch.
        QTest::newRow("up-to-date start shows no install dialog") << "current";
        // Nothing can be created in the install root (a read-only share): the
        // run goes on without the installation lock, saying so, and the
        // program still starts.
        QTest::newRow("install root where the lock cannot be written") << "readonly";
        // An administrator's config.ini (a comment, a Windows path, no level)
        // is read, never rewritten, by starts that have nothing to change.
        QTest::newRow("config.ini as written after two up-to-date starts") << "config";
        // The default registry knows nothing; the one named on the command
        // line registers the sample program, so only it can make run mode
        // install it. Neither override is written anywhere.
        QTest::newRow("registry and log folder named on the command line") << "overrides";
    }

    void runModeInstallsAndLaunches()
    {
        QFETCH(QString, situation);
        QByteArray config;
        if (situation == QLatin1String("ten"))
            startTenTimes();
        else if (situation == QLatin1String("handover"))
            startDuringHandOver();
        else if (situation == QLatin1String("replaced"))
            startReplaced();
        else if (situation == QLatin1String("readonly"))
            holdRoot();
        else if (situation == QLatin1String("config"))
            startWithHandWrittenConfig(&config);
        else if (situation == QLatin1String("current"))
            startOnce();
        if (QTest::currentTestFailed())
            return;
        if (situation == QLatin1String("readonly") && !m_rootHold.isHeld())
            QSKIP("no way to make a folder read-only here");
        QStringList args{"--run", "sampleapp"};
        const QString elsewhere = m_root + QStringLiteral("/elsewhere");
        const auto configBefore = iniValues(updaterDir() + QStringLiteral("/config.ini"));
        if (situation == QLatin1String("overrides")) {
            QVERIFY(writeFile(elsewhere + "/installed.json", readFile(updaterDir() + QStringLiteral("/installed.json"))));
            QVERIFY(writeFile(updaterDir() + QStringLiteral("/installed.json"), "{}"));
            args << "--logs_path" << elsewhere + "/logs" << "--install_config_path" << elsewhere + "/installed.json";
        }
        const bool observed = situation == QLatin1String("splash") || situation == QLatin1String("current");
        const ProcessResult run = runUpdater(observed ? QStringLiteral("kestraupd_harness") : kUpdater, args);
        QVERIFY2(run.ok(), run.output.constData());
        if (situation == QLatin1String("overrides")) {
            QVERIFY(readFile(dayLog(elsewhere + "/logs")).contains("updater is started, version 1.0.0.25"));
            QCOMPARE(iniValues(updaterDir() + QStringLiteral("/config.ini")), configBefore);
            QCOMPARE(readFile(updaterDir() + QStringLiteral("/installed.json")), QByteArray("{}"));
        }
        if (situation == QLatin1String("current")) {
            const QStringList windows = lines(m_root + QStringLiteral("/windows.log"));
            QVERIFY2(windows.contains(QStringLiteral("show splash"))
                         && !windows.contains(QStringLiteral("show installdialog")),
                     qPrintable(windows.join(QLatin1Char(','))));
            QVERIFY(harnessLog().isEmpty());
        } else if (observed) {
            const QStringList windows = lines(m_root + QStringLiteral("/windows.log"));
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
        for (const QString &module : {QStringLiteral("sampleapp"), QStringLiteral("sampleapp_config")}) {
            const QString source = kSource + QStringLiteral("/demo/files/") + module;
            for (const QString &rel : listFilesRecursive(source)) {
                const QString installed = m_root + QLatin1Char('/') + module + QLatin1Char('/') + rel;
                QVERIFY2(QFile::exists(installed) && readFile(installed) == readFile(source + QLatin1Char('/') + rel),
                         qPrintable(installed));
            }
        }
        QCOMPARE(readFile(m_root + QStringLiteral("/sampleapp/kestrasample")), readFile(kBin + QStringLiteral("/kestrasample")));
        // Only registered modules are brought up to date.
        QVERIFY(!QDir(m_root + QStringLiteral("/sampleapp_reports")).exists());
        // Launched detached from its folder with the registry's parameters.
        QVERIFY(waitLaunched());
        QCOMPARE(lines(record()), (QStringList{QStringLiteral("cwd=") + m_root + QStringLiteral("/sampleapp"),
                                               QStringLiteral("arg=--settings"),
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
            runAndHandOver();
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
            QVERIFY(waiting.start(copier, {QStringLiteral("60")}));
        }
        const ProcessResult run = runUpdater(kUpdater, {"--run", "sampleapp"});
        QVERIFY2(run.ok(), run.output.constData());
        if (course == QLatin1String("waiting")) {
            QVERIFY(updaterLog().contains("of an earlier exit still runs; it hands this copy over"));
            QVERIFY(!waitFor([&] { return QFile::exists(version); }, 3000));
            waiting.stop();
            const ProcessResult next = runUpdater(kUpdater, {"--run", "sampleapp"});
            QVERIFY2(next.ok(), next.output.constData());
        }
        if (course == QLatin1String("partial")) {
            // The new file that did arrive waits in updater_temp; nothing of
            // the release reaches the updater, which stays wholly old.
            QCOMPARE(readFile(m_root + QStringLiteral("/updater_temp/version.txt")), QByteArray("1.0.0.26\n"));
            QVERIFY(!waitFor([&] { return QFile::exists(version); }, 5000));
            QVERIFY(!QFile::exists(notes));
            return;
        }
        // The new copy is assembled beside the updater, and the copier,
        // started at exit, brings it over.
        QCOMPARE(readFile(m_root + QStringLiteral("/updater_temp/release_notes.txt")), QByteArray("Версия 1.0.0.26\n"));
        QVERIFY2(waitFor([&] { return QFile::exists(notes) && !isLocked(); }, 30000), "the copier delivered nothing");
        QCOMPARE(readFile(notes), QByteArray("Версия 1.0.0.26\n"));
        QCOMPARE(readFile(version), QByteArray("1.0.0.26\n"));
        QCOMPARE(readFile(updaterDir() + QStringLiteral("/update_fileinfo.xml")),
                 readFile(m_root + QStringLiteral("/updater_temp/update_fileinfo.xml")));
        QCOMPARE(iniValues(updaterDir() + QStringLiteral("/config.ini")), configBefore);
        QCOMPARE(readFile(updaterDir() + QStringLiteral("/filerelay")), readFile(kBin + QStringLiteral("/filerelay")));
    }

    // Starts through the harness, which records and answers every box and
    // closes the main window. expect: see verifyExpectations.
    void windowedStarts_data()
    {
        QTest::addColumn<QString>("prepare");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QStringList>("harness");
        QTest::addColumn<QStringList>("expect");
        const QStringList window{QStringLiteral("mainwindow")};
        // No box blames running copies of a program that is not there.
        QTest::newRow("run for a program that is not installed shows the main window")
            << QString() << QStringList{"--run", "nosuch"} << 0 << window
            << QStringList{"missing:nosuch", "exists:updater_temp/kestraupd"};
        QTest::newRow("run for a running program launches it without updating it")
            << "running" << QStringList{"--run", "sampleapp"} << 0
            << QStringList{QStringLiteral("messagebox\tОбновление программы не произведено из-за запущенных копий!")}
            << QStringList{"kept:sampleapp/readme.txt", "exists:updater_temp/kestraupd", "launched"};
        QTest::newRow("arg without run has no effect")
            << QString() << QStringList{"--arg", "--demo"} << 0 << window << QStringList{"missing:sampleapp/last_run.txt"};
        QTest::newRow("server that never answers ends in the main window")
            << "silent" << QStringList() << 0 << window << QStringList{"log:Warning "};
        QTest::newRow("second windowed start is refused")
            << "busy" << QStringList() << 1
            << QStringList{QStringLiteral("messagebox\tПрограмма обновления уже запущена. Дождитесь её завершения.")}
            << QStringList{"missing:updater_temp/kestraupd"};
        // Another run keeps the installation for longer than a shortcut waits.
        QTest::newRow("run mode outwaited launches without update")
            << "installed busy" << QStringList{"--run", "sampleapp"} << 0 << QStringList()
            << QStringList{"kept:sampleapp/readme.txt", "launched", "log:programm sampleapp is launched without being updated"};
    }

    void windowedStarts()
    {
        QFETCH(QString, prepare);
        QFETCH(QStringList, args);
        QFETCH(int, exitCode);
        QFETCH(QStringList, harness);
        QFETCH(QStringList, expect);
        TestProcess open;
        QTcpServer silent;
        InstallationLock other(m_root);
        if (prepare == QLatin1String("running")) {
            QVERIFY(runUpdater(kUpdater, {"--run", "sampleapp"}).finished);
            QVERIFY(waitFor([&] { return QFile::exists(record()); }, 15000));
            QVERIFY(open.start(m_root + QStringLiteral("/sampleapp/kestrasample"), {QStringLiteral("--stay")}));
            QVERIFY(waitFor([&] { return readFile(record()).contains("arg=--stay"); }, 10000));
            QFile::remove(m_root + QStringLiteral("/updater_temp/kestraupd"));
        } else if (prepare == QLatin1String("installed busy")) {
            runAndHandOver();
            QFile::remove(record());
        } else if (prepare == QLatin1String("silent")) { // accepts connections and never answers
            QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
            setConfig(QStringLiteral("source_path"), QStringLiteral("http://127.0.0.1:%1/projects.xml").arg(silent.serverPort()));
            setConfig(QStringLiteral("transfer_stall_timeout"), QStringLiteral("2"));
        }
        // A changed file on the server that must not be touched while the
        // program runs or the installation is held.
        if (!expect.filter(QStringLiteral("kept:")).isEmpty())
            QVERIFY(writeFile(m_root + QStringLiteral("/sampleapp/readme.txt"), "local copy\n"));
        if (prepare.endsWith(QLatin1String("busy")))
            QVERIFY(other.acquire(0));
        QElapsedTimer timer;
        timer.start();
        const ProcessResult run = runUpdater(QStringLiteral("kestraupd_harness"), args);
        QVERIFY2(run.finished, "start-up hung");
        QCOMPARE(run.exitCode, exitCode);
        if (prepare == QLatin1String("silent"))
            QVERIFY(timer.elapsed() < 45000);
        QCOMPARE(harnessLog(), harness);
        verifyExpectations(expect, run.output);
    }

    // The administrators' runs, each without a display: nothing may wait for
    // a window (the harness would record it).
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
            << QStringList{"out:sampleapp is running and will not be updated", "exists:updater_temp/kestraupd",
                           "out:exit code 0", "kept:sampleapp/readme.txt"};
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
        InstallationLock other(m_root);
        if (prepare == QLatin1String("empty registry"))
            QVERIFY(writeFile(updaterDir() + QStringLiteral("/installed.json"), "{}"));
        else if (prepare == QLatin1String("with reports"))
            QCOMPARE(runHeadless({"--install", "sampleapp,sampleapp_reports"}).exitCode, 0);
        else if (prepare == QLatin1String("update") || prepare == QLatin1String("running"))
            QCOMPARE(runHeadless({"--update-all"}).exitCode, 0);
        if (prepare == QLatin1String("running")) {
            QVERIFY(open.start(m_root + QStringLiteral("/sampleapp/kestrasample"), {QStringLiteral("--stay")}));
            QVERIFY(waitFor([&] { return readFile(record()).contains("arg=--stay"); }, 10000));
            QVERIFY(writeFile(m_root + QStringLiteral("/sampleapp/readme.txt"), "local copy\n"));
        } else if (prepare == QLatin1String("busy")) {
            QVERIFY(other.acquire(0));
        } else if (prepare == QLatin1String("no server")) {
            setConfig(QStringLiteral("source_path"), m_root + QStringLiteral("/nowhere/projects.xml"));
        } else if (prepare == QLatin1String("partial release")) {
            publishUpdaterRelease(true);
        } else if (prepare == QLatin1String("corrupt")) {
            QVERIFY(writeFile(m_root + QStringLiteral("/server/packs/sampleapp/sampleapp/readme.txt"), "tampered\n"));
        }
        QFile::remove(m_root + QStringLiteral("/harness.log"));
        const ProcessResult run = runHeadless(args);
        QVERIFY2(run.finished, "a command-line run blocked");
        QVERIFY2(run.exitCode == exitCode, run.output.constData());
        if (args.contains(QStringLiteral("--json")))
            QVERIFY2(QJsonDocument::fromJson(run.output).isObject(), run.output.constData());
        verifyExpectations(expect, run.output);
        QVERIFY(!QFile::exists(m_root + QStringLiteral("/harness.log")));
    }

private:
    QString updaterDir() const { return m_root + QLatin1Char('/') + kUpdater; }
    QString record() const { return m_root + QStringLiteral("/sampleapp/last_run.txt"); }
    QByteArray updaterLog() const { return readFile(dayLog(updaterDir() + QStringLiteral("/logs"))); }
    QStringList harnessLog() const { return lines(m_root + QStringLiteral("/harness.log")); }
    bool waitLaunched() const
    {
        return waitFor([&] { return readFile(record()).endsWith("arg=--demo\n"); }, 15000);
    }

    bool isLocked() const
    {
        InstallationLock probe(m_root);
        return !probe.acquire(0);
    }

    // "exists:" / "missing:" a path under the root, "kept:" a file still
    // holding "local copy", "out:" a text on standard output, "registry:" /
    // "!registry:" a text in installed.json, "json:" see jsonHas, "log:" a
    // text in the updater's log, "launched": the program was started.
    void verifyExpectations(const QStringList &expect, const QByteArray &output)
    {
        const QByteArray registry = readFile(updaterDir() + QStringLiteral("/installed.json"));
        for (const QString &item : expect) {
            const QString kind = item.section(QLatin1Char(':'), 0, 0);
            const QString what = item.section(QLatin1Char(':'), 1);
            const QString path = m_root + QLatin1Char('/') + what;
            const bool ok = kind == QLatin1String("exists")      ? QFileInfo::exists(path)
                            : kind == QLatin1String("missing")   ? !QFileInfo::exists(path)
                            : kind == QLatin1String("kept")      ? readFile(path) == "local copy\n"
                            : kind == QLatin1String("out")       ? output.contains(what.toUtf8())
                            : kind == QLatin1String("registry")  ? registry.contains(what.toUtf8())
                            : kind == QLatin1String("!registry") ? !registry.contains(what.toUtf8())
                            : kind == QLatin1String("json")      ? jsonHas(output, what)
                            : kind == QLatin1String("log")       ? updaterLog().contains(what.toUtf8())
                            : kind == QLatin1String("launched") && waitLaunched();
            QVERIFY2(ok, qPrintable(item + QLatin1Char('\n') + QString::fromUtf8(output)));
        }
    }

    // Ten shortcut starts, each right after the one before ended: every one
    // must read its settings and registry and launch the program.
    void startTenTimes()
    {
        for (int i = 0; i < 10; ++i) {
            QFile::remove(record());
            const ProcessResult run = runUpdater(kUpdater, {"--run", "sampleapp"}, 120000);
            QVERIFY2(run.ok(), run.output.constData());
            QVERIFY2(waitLaunched(), qPrintable(QStringLiteral("start %1 did not launch the program").arg(i + 1)));
        }
        QVERIFY(!updaterLog().contains("is not installed"));
    }

    // One start that installs the program and hands the updater's copy over.
    void startOnce()
    {
        const ProcessResult run = runUpdater(kUpdater, {"--run", "sampleapp"}, 120000);
        QVERIFY2(run.ok(), run.output.constData());
        QVERIFY(waitLaunched());
        QFile::remove(record());
    }

    // A start while the copier holds the installation waits for it to end.
    void startDuringHandOver()
    {
        InstallationLock copier(m_root);
        QVERIFY(copier.acquire(0));
        TestProcess updater;
        QVERIFY(updater.start(updaterDir() + QLatin1Char('/') + kUpdater, {"--run", "sampleapp"}, nullptr, m_root));
        QVERIFY(waitFor([&] { return updaterLog().contains("installation is busy, waiting up to"); }, 15000));
        QVERIFY(updater.isRunning());
        QVERIFY(!QFile::exists(m_root + QStringLiteral("/sampleapp/kestrasample")));
        copier.release();
        QVERIFY(waitFor([&] { return !updater.isRunning(); }, 120000));
    }

    // The executable is renamed over while the run starts: the process runs a
    // file that no longer has a name, started by its bare name as a
    // search-path lookup would.
    void startReplaced()
    {
        const QString script = QStringLiteral("exec 3< \"$1\" && cp \"$1\" \"$1.new\" && mv -f \"$1.new\" \"$1\" "
                                              "&& exec -a kestraupd /proc/self/fd/3 --run sampleapp");
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("PATH", "/usr/bin:/bin");
        const ProcessResult run = runProcess(QStringLiteral("bash"), {"-c", script, "bash", updaterDir() + QLatin1Char('/') + kUpdater},
                                             180000, m_root, env);
        QVERIFY2(run.ok(), run.output.constData());
        QVERIFY2(!updaterLog().contains("is not installed"), updaterLog().constData());
        QVERIFY(QFile::exists(m_root + QStringLiteral("/sampleapp/kestrasample")));
    }

    // A new release of the updater on the server: two more files, and a
    // config.ini of its own that must not replace the installation's
    // settings. Without one data file, a copy assembled from it is half new.
    void publishUpdaterRelease(bool withDataFileMissing)
    {
        QTemporaryDir release;
        QVERIFY(QFile::copy(kBin + QStringLiteral("/kestraupd"), release.filePath(QStringLiteral("kestraupd"))));
        QVERIFY(QFile::copy(kBin + QStringLiteral("/filerelay"), release.filePath(QStringLiteral("filerelay"))));
        QVERIFY(writeFile(release.filePath(QStringLiteral("release_notes.txt")), "Версия 1.0.0.26\n"));
        QVERIFY(writeFile(release.filePath(QStringLiteral("version.txt")), "1.0.0.26\n"));
        QVERIFY(writeFile(release.filePath(QStringLiteral("config.ini")), "[General]\nupdate_servers_count=0\n"));
        const QString packDir = m_root + "/server/packs/" + kUpdater;
        const ProcessResult pack = runProcess(kBin + QStringLiteral("/packwright"),
                                              {"-m", kUpdater, "-f", release.path(), "-o", packDir, "-k",
                                               m_root + QStringLiteral("/publisher/demo.key")});
        QVERIFY2(pack.ok(), pack.output.constData());
        if (!withDataFileMissing)
            return;
        // The data file of release_notes.txt, as the pack's file-information document names it.
        const QRegularExpression entry(QStringLiteral("filename=\"release_notes.txt\"[^>]*>.*?<data><!\\[CDATA\\[([^\\]]*)\\]\\]></data>"),
                                       QRegularExpression::DotMatchesEverythingOption);
        const QString data = entry.match(QString::fromUtf8(readFile(packDir + QStringLiteral("/update_fileinfo.xml")))).captured(1);
        QVERIFY(!data.isEmpty() && QFile::remove(packDir + QLatin1Char('/') + data));
    }

    // One run that installs, after which the copier has handed over.
    void runAndHandOver()
    {
        const ProcessResult first = runUpdater(kUpdater, {"--run", "sampleapp"});
        QVERIFY2(first.ok(), first.output.constData());
        const QString delivered = updaterDir() + QStringLiteral("/update_fileinfo.xml");
        QVERIFY2(waitFor([&] { return QFile::exists(delivered) && !isLocked(); }, 30000), "no hand-over");
    }

    // An installed root in which nothing more can be created.
    void holdRoot()
    {
        runAndHandOver();
        QString why;
        if (FileHold::isAvailable(m_dir->path(), &why))
            QVERIFY2(m_rootHold.hold(m_root, FileHold::Contents, &why), qPrintable(why));
        else
            qWarning() << why;
    }

    // Brings the installation up to date, then gives it a config.ini as an
    // administrator writes one and starts once more; config gets its bytes.
    void startWithHandWrittenConfig(QByteArray *config)
    {
        runAndHandOver();
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

    void setConfig(const QString &key, const QString &value)
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

    ProcessResult runUpdater(const QString &program, const QStringList &args, int timeoutMs = 180000)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("KESTRA_HARNESS_LOG", m_root + "/harness.log");
        env.insert("KESTRA_HARNESS_WINDOWS", m_root + "/windows.log");
        return runProcess(updaterDir() + QLatin1Char('/') + program, args, timeoutMs, m_root, env);
    }

    // The harness without a display. Standard error stays apart so that a
    // --json report is standard output alone.
    ProcessResult runHeadless(const QStringList &args)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(QLatin1String(name));
        env.insert("KESTRA_HARNESS_LOG", m_root + "/harness.log");
        QProcess process;
        process.setProcessEnvironment(env);
        process.setWorkingDirectory(m_root);
        process.start(updaterDir() + QStringLiteral("/kestraupd_harness"), args);
        ProcessResult result;
        result.finished = process.waitForStarted(10000) && process.waitForFinished(180000);
        if (!result.finished) {
            process.kill();
            process.waitForFinished(5000);
        }
        result.exitCode = process.exitCode();
        result.output = process.readAllStandardOutput();
        // The copier the run handed over to finishes before anything else
        // looks at the installation.
        const QByteArray copier = (m_root + QStringLiteral("/updater_temp/filerelay")).toUtf8();
        waitFor([&] {
            const QStringList pids = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
            return std::none_of(pids.begin(), pids.end(), [&](const QString &pid) {
                return readFile(QStringLiteral("/proc/") + pid + QStringLiteral("/cmdline")).startsWith(copier);
            });
        }, 30000);
        return result;
    }

    QTemporaryDir *m_dir = nullptr;
    QString m_root;
    FileHold m_rootHold;
};

QTEST_GUILESS_MAIN(TestStartupRuns)
#include "tst_startupruns.moc"
