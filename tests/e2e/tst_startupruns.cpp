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

bool is(const QString &value, const char *text) { return value == QLatin1String(text); }

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

QStringList lines(const QString &path) { return QString::fromUtf8(readFile(path)).split('\n', Qt::SkipEmptyParts); }

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
        const ProcessResult make = runProcess("bash", {kSource + "/scripts/make-demo-root.sh", kBin, m_root}, 120000);
        QVERIFY2(make.ok(), make.output.constData());
        // The harness runs start-up paths that would wait for a person.
        QVERIFY(QFile::copy(kBin + "/kestraupd_harness", up("kestraupd_harness")));
        QFile::setPermissions(up("kestraupd_harness"), QFile::permissions(up("kestraupd_harness")) | QFileDevice::ExeOwner);
        setConfig("transfer_stall_timeout", "5");
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
        if (is(situation, "handover"))
            startDuringHandOver();
        else if (is(situation, "replaced"))
            startReplaced();
        else if (is(situation, "readonly"))
            holdRoot();
        else if (is(situation, "config"))
            startWithHandWrittenConfig(&config);
        else if (is(situation, "current"))
            startOnce();
        if (QTest::currentTestFailed())
            return;
        if (is(situation, "readonly") && !m_rootHold.isHeld())
            QSKIP("no way to make a folder read-only here");
        QStringList args{"--run", "sampleapp"};
        const QString elsewhere = at("elsewhere");
        const auto configBefore = iniValues(up("config.ini"));
        if (is(situation, "overrides")) {
            QVERIFY(writeFile(elsewhere + "/installed.json", readFile(up("installed.json"))));
            QVERIFY(writeFile(up("installed.json"), "{}"));
            args << "--logs_path" << elsewhere + "/logs" << "--install_config_path" << elsewhere + "/installed.json";
        }
        const bool observed = is(situation, "splash") || is(situation, "current");
        const ProcessResult run = runUpdater(observed ? "kestraupd_harness" : kUpdater, args);
        QVERIFY2(run.ok(), run.output.constData());
        if (is(situation, "overrides")) {
            QVERIFY(readFile(dayLog(elsewhere + "/logs")).contains("updater is started, version 1.0.0.25"));
            QCOMPARE(iniValues(up("config.ini")), configBefore);
            QCOMPARE(readFile(up("installed.json")), QByteArray("{}"));
        } else if (is(situation, "current")) {
            const QStringList windows = lines(at("windows.log"));
            QVERIFY2(windows.contains("show splash") && !windows.contains("show installdialog"),
                     qPrintable(windows.join(',')));
            QVERIFY(harnessLog().isEmpty());
        } else if (is(situation, "splash")) {
            const QStringList windows = lines(at("windows.log"));
            const int splashHidden = windows.indexOf("hide splash");
            QVERIFY2(splashHidden > 0 && splashHidden < windows.indexOf("hide installdialog"), qPrintable(windows.join(',')));
            QVERIFY(harnessLog().isEmpty());
        } else if (is(situation, "config")) {
            QCOMPARE(readFile(up("config.ini")), config);
        } else if (is(situation, "readonly")) {
            QVERIFY(updaterLog().contains("installation.lock cannot be written; going on without it"));
            QVERIFY(!QFileInfo::exists(InstallationLock::filePath(m_root)));
        }
        for (const QString &module : {QStringLiteral("sampleapp"), QStringLiteral("sampleapp_config")}) {
            const QString source = kSource + "/demo/files/" + module;
            for (const QString &rel : listFilesRecursive(source))
                QVERIFY2(QFile::exists(at(module + '/' + rel)) && readFile(at(module + '/' + rel)) == readFile(source + '/' + rel),
                         qPrintable(module + '/' + rel));
        }
        QCOMPARE(readFile(at("sampleapp/kestrasample")), readFile(kBin + "/kestrasample"));
        // Only registered modules are brought up to date.
        QVERIFY(!QDir(at("sampleapp_reports")).exists());
        // Launched detached from its folder with the registry's parameters.
        QVERIFY(waitLaunched());
        QCOMPARE(lines(record()), QStringList({"cwd=" + at("sampleapp"), "arg=--settings",
                                               "arg=" + at("sampleapp_config/settings.ini"), "arg=--demo"}));
    }

    void selfUpdateReachesTheUpdatersFolder_data()
    {
        QTest::addColumn<QString>("course");
        QTest::newRow("complete release") << "complete";
        // A copier of an earlier exit still waits: the exit starts no second
        // one beside it, and the next start hands the copy over.
        QTest::newRow("no second copier beside a waiting one") << "waiting";
    }

    void selfUpdateReachesTheUpdatersFolder()
    {
        QFETCH(QString, course);
        publishUpdaterRelease(false);
        if (QTest::currentTestFailed())
            return;
        const auto configBefore = iniValues(up("config.ini"));
        // A stand-in for the waiting copier, running from where the copier does.
        TestProcess waiting;
        if (is(course, "waiting")) {
            QVERIFY(QDir().mkpath(at("updater_temp")) && QFile::copy("/bin/sleep", at("updater_temp/filerelay")));
            QVERIFY(waiting.start(at("updater_temp/filerelay"), {"60"}));
        }
        const ProcessResult run = runUpdater(kUpdater, {"--run", "sampleapp"});
        QVERIFY2(run.ok(), run.output.constData());
        if (is(course, "waiting")) {
            QVERIFY(updaterLog().contains("of an earlier exit still runs; it hands this copy over"));
            QVERIFY(!waitFor([&] { return QFile::exists(up("version.txt")); }, 3000));
            waiting.stop();
            const ProcessResult next = runUpdater(kUpdater, {"--run", "sampleapp"});
            QVERIFY2(next.ok(), next.output.constData());
        }
        // The new copy is assembled beside the updater, and the copier,
        // started at exit, brings it over.
        QCOMPARE(readFile(at("updater_temp/release_notes.txt")), QByteArray("Версия 1.0.0.26\n"));
        QVERIFY2(waitFor([&] { return QFile::exists(up("release_notes.txt")) && !isLocked(); }, 30000),
                 "the copier delivered nothing");
        QCOMPARE(readFile(up("release_notes.txt")), QByteArray("Версия 1.0.0.26\n"));
        QCOMPARE(readFile(up("version.txt")), QByteArray("1.0.0.26\n"));
        QCOMPARE(readFile(up("update_fileinfo.xml")), readFile(at("updater_temp/update_fileinfo.xml")));
        QCOMPARE(iniValues(up("config.ini")), configBefore);
        QCOMPARE(readFile(up("filerelay")), readFile(kBin + "/filerelay"));
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
        if (is(prepare, "running")) {
            QVERIFY(runUpdater(kUpdater, {"--run", "sampleapp"}).finished);
            QVERIFY(waitFor([&] { return QFile::exists(record()); }, 15000));
            startSample(open);
            QFile::remove(at("updater_temp/kestraupd"));
        } else if (is(prepare, "installed busy")) {
            runAndHandOver();
            QFile::remove(record());
        } else if (is(prepare, "silent")) { // accepts connections and never answers
            QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
            setConfig("source_path", QStringLiteral("http://127.0.0.1:%1/projects.xml").arg(silent.serverPort()));
            setConfig("transfer_stall_timeout", "2");
        }
        // A changed file on the server that must not be touched while the
        // program runs or the installation is held.
        QVERIFY(expect.filter("kept:").isEmpty() || writeFile(at("sampleapp/readme.txt"), "local copy\n"));
        QVERIFY(!prepare.endsWith(QLatin1String("busy")) || other.acquire(0));
        QElapsedTimer timer;
        timer.start();
        const ProcessResult run = runUpdater("kestraupd_harness", args);
        QVERIFY2(run.finished, "start-up hung");
        QCOMPARE(run.exitCode, exitCode);
        QVERIFY(!is(prepare, "silent") || timer.elapsed() < 45000);
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
        QTest::newRow("update-all installs registered modules and updates the updater")
            << QString() << QStringList{"--update-all"} << 0
            << QStringList{"exists:sampleapp/kestrasample", "exists:sampleapp_config/settings.ini",
                           "missing:sampleapp_reports", "exists:updater_temp/kestraupd", "out:exit code 0"};
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
        QTest::newRow("update-all with the updater's release incomplete hands nothing over")
            << "partial release" << QStringList{"--update-all", "--json"} << 1
            << QStringList{"json:exit_code=1", "exists:updater_temp/version.txt", "missing:kestraupd/version.txt"};
        QTest::newRow("check with no readable server fails instead of reporting all current")
            << "no server" << QStringList{"--check", "--json"} << 1
            << QStringList{"json:exit_code=1", "json:errors~no programms could be read"};
        QTest::newRow("a second run while another holds the installation")
            << "busy" << QStringList{"--update-all", "--json"} << 4
            << QStringList{"json:exit_code=4", "missing:updater_temp", "missing:sampleapp"};
        QTest::newRow("two commands are bad usage")
            << QString() << QStringList{"--check", "--update-all"} << 2 << QStringList{"missing:updater_temp"};
    }

    void commandLineRuns()
    {
        QFETCH(QString, prepare);
        QFETCH(QStringList, args);
        QFETCH(int, exitCode);
        QFETCH(QStringList, expect);
        InstallationLock other(m_root);
        if (is(prepare, "empty registry"))
            QVERIFY(writeFile(up("installed.json"), "{}"));
        else if (is(prepare, "with reports"))
            QCOMPARE(runHeadless({"--install", "sampleapp,sampleapp_reports"}).exitCode, 0);
        else if (is(prepare, "update"))
            QCOMPARE(runHeadless({"--update-all"}).exitCode, 0);
        if (is(prepare, "busy")) {
            QVERIFY(other.acquire(0));
        } else if (is(prepare, "no server")) {
            setConfig("source_path", at("nowhere/projects.xml"));
        } else if (is(prepare, "partial release")) {
            publishUpdaterRelease(true);
        }
        QFile::remove(at("harness.log"));
        const ProcessResult run = runHeadless(args);
        QVERIFY2(run.finished, "a command-line run blocked");
        QVERIFY2(run.exitCode == exitCode, run.output.constData());
        QVERIFY2(!args.contains("--json") || QJsonDocument::fromJson(run.output).isObject(), run.output.constData());
        verifyExpectations(expect, run.output);
        QVERIFY(!QFile::exists(at("harness.log")));
    }

private:
    QString at(const QString &relative) const { return m_root + '/' + relative; }
    QString up(const QString &relative) const { return m_root + '/' + kUpdater + '/' + relative; }
    QString record() const { return at("sampleapp/last_run.txt"); }
    QByteArray updaterLog() const { return readFile(dayLog(up("logs"))); }
    QStringList harnessLog() const { return lines(at("harness.log")); }
    bool waitLaunched() const { return waitFor([&] { return readFile(record()).endsWith("arg=--demo\n"); }, 15000); }
    bool isLocked() const { return !InstallationLock(m_root).acquire(0); }

    // The sample program started by hand, as a user keeps it open.
    void startSample(TestProcess &open)
    {
        QVERIFY(open.start(at("sampleapp/kestrasample"), {"--stay"}));
        QVERIFY(waitFor([&] { return readFile(record()).contains("arg=--stay"); }, 10000));
    }

    // "exists:" / "missing:" a path under the root, "kept:" a file still
    // holding "local copy", "out:" a text on standard output, "registry:" /
    // "!registry:" a text in installed.json, "json:" see jsonHas, "log:" a
    // text in the updater's log, "launched": the program was started.
    void verifyExpectations(const QStringList &expect, const QByteArray &output)
    {
        const QByteArray registry = readFile(up("installed.json"));
        for (const QString &item : expect) {
            const QString kind = item.section(':', 0, 0);
            const QString what = item.section(':', 1);
            const bool ok = is(kind, "exists")      ? QFileInfo::exists(at(what))
                            : is(kind, "missing")   ? !QFileInfo::exists(at(what))
                            : is(kind, "kept")      ? readFile(at(what)) == "local copy\n"
                            : is(kind, "out")       ? output.contains(what.toUtf8())
                            : is(kind, "registry")  ? registry.contains(what.toUtf8())
                            : is(kind, "!registry") ? !registry.contains(what.toUtf8())
                            : is(kind, "json")      ? jsonHas(output, what)
                            : is(kind, "log")       ? updaterLog().contains(what.toUtf8())
                                                    : is(kind, "launched") && waitLaunched();
            QVERIFY2(ok, qPrintable(item + '\n' + QString::fromUtf8(output)));
        }
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
        QVERIFY(updater.start(up(kUpdater), {"--run", "sampleapp"}, nullptr, m_root));
        QVERIFY(waitFor([&] { return updaterLog().contains("installation is busy, waiting up to"); }, 15000));
        QVERIFY(updater.isRunning() && !QFile::exists(at("sampleapp/kestrasample")));
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
        const ProcessResult run = runProcess("bash", {"-c", script, "bash", up(kUpdater)}, 180000, m_root, env);
        QVERIFY2(run.ok(), run.output.constData());
        QVERIFY2(!updaterLog().contains("is not installed"), updaterLog().constData());
        QVERIFY(QFile::exists(at("sampleapp/kestrasample")));
    }

    // A new release of the updater on the server: two more files, and a
    // config.ini of its own that must not replace the installation's
    // settings. Without one data file, a copy assembled from it is half new.
    void publishUpdaterRelease(bool withDataFileMissing)
    {
        QTemporaryDir release;
        QVERIFY(QFile::copy(kBin + "/kestraupd", release.filePath("kestraupd")));
        QVERIFY(QFile::copy(kBin + "/filerelay", release.filePath("filerelay")));
        QVERIFY(writeFile(release.filePath("release_notes.txt"), "Версия 1.0.0.26\n"));
        QVERIFY(writeFile(release.filePath("version.txt"), "1.0.0.26\n"));
        QVERIFY(writeFile(release.filePath("config.ini"), "[General]\nupdate_servers_count=0\n"));
        const QString packDir = at("server/packs/" + kUpdater);
        const ProcessResult pack = runProcess(kBin + "/packwright", {"-m", kUpdater, "-f", release.path(), "-o", packDir,
                                                                     "-k", at("publisher/demo.key")});
        QVERIFY2(pack.ok(), pack.output.constData());
        if (!withDataFileMissing)
            return;
        // The data file of release_notes.txt, as the pack's file-information document names it.
        const QRegularExpression entry("filename=\"release_notes.txt\"[^>]*>.*?<data><!\\[CDATA\\[([^\\]]*)\\]\\]></data>",
                                       QRegularExpression::DotMatchesEverythingOption);
        const QString data = entry.match(QString::fromUtf8(readFile(packDir + "/update_fileinfo.xml"))).captured(1);
        QVERIFY(!data.isEmpty() && QFile::remove(packDir + '/' + data));
    }

    // One run that installs, after which the copier has handed over.
    void runAndHandOver()
    {
        const ProcessResult first = runUpdater(kUpdater, {"--run", "sampleapp"});
        QVERIFY2(first.ok(), first.output.constData());
        QVERIFY2(waitFor([&] { return QFile::exists(up("update_fileinfo.xml")) && !isLocked(); }, 30000), "no hand-over");
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
        *config = readFile(up("config.ini"));
        QVERIFY(config->contains("level=0\n"));
        config->replace("level=0\n", "");
        config->replace("[General]\n", "; настроено администратором\n[General]\nbackup_folder=C:\\Kestra\\backup\n");
        QVERIFY(writeFile(up("config.ini"), *config));
        // Each start launches the program, which rewrites its record: the
        // record the row reads must be the last start's, not a late write of
        // this one's.
        QFile::remove(record());
        const ProcessResult second = runUpdater(kUpdater, {"--run", "sampleapp"});
        QVERIFY2(second.ok(), second.output.constData());
        QVERIFY(waitFor([&] { return !isLocked(); }, 30000));
        QVERIFY(waitLaunched());
        QFile::remove(record());
    }

    void setConfig(const QString &key, const QString &value)
    {
        QString text = QString::fromUtf8(readFile(up("config.ini")));
        const QRegularExpression existing("(?m)^" + QRegularExpression::escape(key) + "=.*$");
        if (text.contains(existing))
            text.replace(existing, key + '=' + value);
        else
            text.replace("[General]\n", "[General]\n" + key + '=' + value + '\n');
        QVERIFY(writeFile(up("config.ini"), text.toUtf8()));
    }

    ProcessResult runUpdater(const QString &program, const QStringList &args, int timeoutMs = 180000)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("KESTRA_HARNESS_LOG", at("harness.log"));
        env.insert("KESTRA_HARNESS_WINDOWS", at("windows.log"));
        return runProcess(up(program), args, timeoutMs, m_root, env);
    }

    // The harness without a display. Standard error stays apart so that a
    // --json report is standard output alone.
    ProcessResult runHeadless(const QStringList &args)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(QLatin1String(name));
        env.insert("KESTRA_HARNESS_LOG", at("harness.log"));
        QProcess process;
        process.setProcessEnvironment(env);
        process.setWorkingDirectory(m_root);
        process.start(up("kestraupd_harness"), args);
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
        const QByteArray copier = at("updater_temp/filerelay").toUtf8();
        waitFor([&] {
            const QStringList pids = QDir("/proc").entryList(QDir::Dirs | QDir::NoDotAndDotDot);
            return std::none_of(pids.begin(), pids.end(), [&](const QString &pid) {
                return readFile("/proc/" + pid + "/cmdline").startsWith(copier);
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
