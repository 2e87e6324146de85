// The real binaries in a demo-like root: shortcut (run mode) starts, windowed starts through the harness and
// the administrators' command lines.
#include "filehold.h"
#include "installationlock.h"
#include "testfiles.h"
#include "testprocess.h"

#include <QDate>
#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
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

QStringList lines(const QString &path) { return QString::fromUtf8(readFile(path)).split('\n', Qt::SkipEmptyParts); }

QString dayLog(const QString &logs) { return logs + QDate::currentDate().toString("/yyyy_MM/yyyy-MM-dd'.txt'"); }

// "key=value" compares a top-level value of a JSON report; "key~text" looks for text in it, whatever it holds.
bool jsonHas(const QByteArray &document, const QString &keyValue)
{
    const bool exact = !keyValue.contains(QLatin1Char('~'));
    const QChar separator = QLatin1Char(exact ? '=' : '~');
    const QJsonValue value = QJsonDocument::fromJson(document).object().value(keyValue.section(separator, 0, 0));
    const QString wanted = keyValue.section(separator, 1);
    return exact ? value.toVariant().toString() == wanted
                 : QString::fromUtf8(QJsonDocument(QJsonArray{value}).toJson()).contains(wanted);
}

// True when the first showing of each of the comma-separated lines comes in that order.
bool inOrder(const QStringList &seen, const QString &wanted)
{
    QList<int> positions;
    for (const QString &line : wanted.split(QLatin1Char(',')))
        positions << seen.indexOf(line);
    return !positions.contains(-1)
           && std::adjacent_find(positions.begin(), positions.end(), std::greater_equal<int>()) == positions.end();
}

} // namespace

class TestStartupRuns : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        m_dir.reset(new QTemporaryDir);
        m_root = m_dir->path() + QStringLiteral("/root");
        const ProcessResult make = runProcess("bash", {kSource + "/scripts/make-demo-root.sh", kBin, m_root}, 120000);
        QVERIFY2(make.ok(), make.output.constData());
        // The harness runs start-up paths that would wait for a person.
        QVERIFY(QFile::copy(kBin + "/kestraupd_harness", up("kestraupd_harness")));
        setConfig("transfer_stall_timeout", "5");
    }

    void cleanup()
    {
        m_rootHold.release();
        // The copier runs detached after each updater exit; let it finish before the folder goes away.
        QThread::msleep(300);
        m_dir.reset();
    }

    // program: an executable of the updater's folder, "headless" (the harness without a display, as an
    // administrator's command line runs: nothing may wait for a window) or "replaced" (see runUpdater).
    // harness: what the harness answered or closed, in order. expect: see verifyExpectations.
    void starts_data()
    {
        QTest::addColumn<QString>("prepare");
        QTest::addColumn<QString>("program");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QStringList>("harness");
        QTest::addColumn<QStringList>("expect");
        const QString windowed = QStringLiteral("kestraupd_harness");
        const QString headless = QStringLiteral("headless");
        const QStringList run{"--run", "sampleapp"};
        const QStringList none;
        const QStringList window{QStringLiteral("mainwindow")};
        QTest::newRow("start while a hand-over holds the installation")
            << "handover" << kUpdater << run << 0 << none << QStringList{"installed", "launched"};
        QTest::newRow("executable replaced as the run starts")
            << QString() << "replaced" << run << 0 << none
            << QStringList{"!log:is not installed", "installed", "launched"};
        // The splash gives way to the install dialog, and no window that closed or never showed is waited for.
        QTest::newRow("splash closes as the install dialog shows")
            << QString() << windowed << run << 0 << none
            << QStringList{"windows:show splash,hide splash,hide installdialog", "installed", "launched"};
        // The splash stays until the launch.
        QTest::newRow("up-to-date start shows no install dialog")
            << "installed" << windowed << run << 0 << none
            << QStringList{"windows:show splash", "!windows:show installdialog", "installed", "launched"};
        // A read-only share: the run goes on without the lock, saying so, and the program still starts.
        QTest::newRow("install root where the lock cannot be written")
            << "read-only" << kUpdater << run << 0 << none
            << QStringList{"log:installation.lock cannot be written; going on without it", "!exists:installation.lock",
                           "installed", "launched"};
        // An administrator's config.ini (a comment, a Windows path, no level) is read, never rewritten. Only the
        // registry named on the command line knows the program, so only through it can run mode launch it.
        QTest::newRow("config.ini, registry and log folder after an up-to-date start with overrides")
            << "hand-written config" << kUpdater
            << QStringList{"--run", "sampleapp", "--logs_path", "@ROOT@/elsewhere/logs", "--install_config_path",
                           "@ROOT@/elsewhere/installed.json"}
            << 0 << none
            << QStringList{"log:updater is started, version 1.0.0.25", "is:kestraupd/installed.json={}", "installed",
                           "launched"};
        // A copier of an earlier exit still waits: no second one beside it; the next start hands the copy over.
        QTest::newRow("self-update with no second copier beside a waiting one")
            << "copier waiting" << kUpdater << run << 0 << none << QStringList{"handed over"};
        // No box blames running copies of a program that is not there.
        QTest::newRow("run for a program that is not installed shows the main window")
            << QString() << windowed << QStringList{"--run", "nosuch"} << 0 << window
            << QStringList{"!exists:nosuch", "exists:updater_temp/kestraupd"};
        QTest::newRow("run for a running program launches it without updating it")
            << "running" << windowed << run << 0
            << QStringList{QStringLiteral("messagebox\tОбновление программы не произведено из-за запущенных копий!")}
            << QStringList{"kept:sampleapp/readme.txt", "exists:updater_temp/kestraupd", "launched"};
        QTest::newRow("server that never answers ends in the main window")
            << "silent" << windowed << none << 0 << window << QStringList{"log:Warning "};
        QTest::newRow("second windowed start is refused")
            << "busy" << windowed << none << 1
            << QStringList{QStringLiteral("messagebox\tПрограмма обновления уже запущена. Дождитесь её завершения.")}
            << QStringList{"!exists:updater_temp/kestraupd"};
        // Another run keeps the installation for longer than a shortcut waits.
        QTest::newRow("run mode outwaited launches without update")
            << "installed busy" << windowed << run << 0 << none
            << QStringList{"kept:sampleapp/readme.txt", "launched",
                           "log:programm sampleapp is launched without being updated"};
        QTest::newRow("check on an outdated installation")
            << QString() << headless << QStringList{"--check", "--json"} << 3 << none
            << QStringList{"json:exit_code=3", "json:command=check", "!exists:sampleapp", "!exists:updater_temp"};
        QTest::newRow("update-all installs registered modules and updates the updater")
            << QString() << headless << QStringList{"--update-all"} << 0 << none
            << QStringList{"installed", "exists:updater_temp/kestraupd", "out:exit code 0"};
        QTest::newRow("install brings the necessary module along")
            << "empty registry" << headless << QStringList{"--install", "sampleapp,sampleapp_reports"} << 0 << none
            << QStringList{"exists:sampleapp_config/settings.ini", "exists:sampleapp_reports",
                           "registry:sampleapp_config", "registry:sampleapp_reports"};
        QTest::newRow("remove one optional module")
            << "with reports" << headless << QStringList{"--remove", "sampleapp:sampleapp_reports"} << 0 << none
            << QStringList{"!registry:sampleapp_reports", "registry:sampleapp_config", "exists:sampleapp/kestrasample"};
        QTest::newRow("remove a necessary module is refused")
            << "with reports" << headless << QStringList{"--remove", "sampleapp:sampleapp_config", "--json"} << 2
            << none << QStringList{"json:exit_code=2", "registry:sampleapp_config"};
        QTest::newRow("update-all with the updater's release incomplete hands nothing over")
            << "partial release" << headless << QStringList{"--update-all", "--json"} << 1 << none
            << QStringList{"json:exit_code=1", "exists:updater_temp/version.txt", "!exists:kestraupd/version.txt"};
        QTest::newRow("check with no readable server fails instead of reporting all current")
            << "no server" << headless << QStringList{"--check", "--json"} << 1 << none
            << QStringList{"json:exit_code=1", "json:errors~no programms could be read"};
        QTest::newRow("a second run while another holds the installation")
            << "busy" << headless << QStringList{"--update-all", "--json"} << 4 << none
            << QStringList{"json:exit_code=4", "!exists:updater_temp", "!exists:sampleapp"};
        QTest::newRow("two commands are bad usage")
            << QString() << headless << QStringList{"--check", "--update-all"} << 2 << none
            << QStringList{"!exists:updater_temp"};
    }

    void starts()
    {
        QFETCH(QString, prepare);
        QFETCH(QString, program);
        QFETCH(QStringList, args);
        QFETCH(int, exitCode);
        QFETCH(QStringList, expect);
        TestProcess open;
        QTcpServer silent;
        InstallationLock other(m_root);
        prepareRoot(prepare, open, silent);
        if (QTest::currentTestFailed())
            return;
        if (is(prepare, "read-only") && !m_rootHold.isHeld())
            QSKIP("no way to make a folder read-only here");
        // A changed file on the server that must not be touched while the program runs or the installation is held.
        QVERIFY(expect.filter("kept:").isEmpty() || writeFile(at("sampleapp/readme.txt"), "local copy\n"));
        QVERIFY(!prepare.endsWith(QLatin1String("busy")) || other.acquire(0));
        args.replaceInStrings(QStringLiteral("@ROOT@"), m_root);
        const QByteArray config = readFile(up("config.ini"));
        QFile::remove(at("harness.log"));
        QElapsedTimer timer;
        timer.start();
        const ProcessResult run = runUpdater(program, args);
        QVERIFY2(run.finished, "the start hung");
        QVERIFY2(run.exitCode == exitCode, run.output.constData());
        // The stall timeout, not the silent server, ends each transfer.
        QVERIFY(!is(prepare, "silent") || timer.elapsed() < 45000);
        QTEST(lines(at("harness.log")).filter(QRegularExpression("^(messagebox|mainwindow)")), "harness");
        verifyExpectations(expect, args, run.output);
        // Checked last: a self-update's own config.ini must not replace the settings once the copier is done.
        QCOMPARE(readFile(up("config.ini")), config);
    }

private:
    QString at(const QString &relative) const { return m_root + '/' + relative; }
    QString up(const QString &relative) const { return m_root + '/' + kUpdater + '/' + relative; }
    QString record() const { return at("sampleapp/last_run.txt"); }
    QByteArray updaterLog() const { return readFile(dayLog(up("logs"))); }
    bool waitLaunched() const
    {
        return QTest::qWaitFor([&] { return readFile(record()).endsWith("arg=--demo\n"); }, 15000);
    }
    bool isLocked() const { return !InstallationLock(m_root).acquire(0); }

    void prepareRoot(const QString &prepare, TestProcess &open, QTcpServer &silent)
    {
        if (QStringList{"installed", "installed busy", "read-only", "hand-written config", "running"}.contains(prepare))
            setUpStart();
        if (is(prepare, "handover")) { // a start while the copier holds the installation waits for it to end
            InstallationLock copier(m_root);
            QVERIFY(copier.acquire(0));
            TestProcess updater;
            QVERIFY(updater.start(up(kUpdater), {"--run", "sampleapp"}, nullptr, m_root));
            const auto waits = [&] { return updaterLog().contains("installation is busy, waiting up to"); };
            QVERIFY(QTest::qWaitFor(waits, 15000));
            QVERIFY(updater.isRunning() && !QFile::exists(at("sampleapp/kestrasample")));
            copier.release();
            QVERIFY(QTest::qWaitFor([&] { return !updater.isRunning(); }, 120000));
            QVERIFY(waitLaunched());
            QFile::remove(record());
        } else if (is(prepare, "read-only")) { // an installed root in which nothing more can be created
            QString why; // without a way to hold it the row is skipped
            QVERIFY2(!FileHold::isAvailable(m_dir->path(), &why) || m_rootHold.hold(m_root, FileHold::Contents, &why),
                     qPrintable(why));
        } else if (is(prepare, "hand-written config")) {
            QByteArray config = readFile(up("config.ini"));
            QVERIFY(config.contains("level=0\n"));
            config.replace("level=0\n", "");
            config.replace("[General]\n", "; настроено администратором\n[General]\nbackup_folder=C:\\Kestra\\backup\n");
            QVERIFY(writeFile(up("config.ini"), config));
            QVERIFY(writeFile(at("elsewhere/installed.json"), readFile(up("installed.json"))));
            QVERIFY(writeFile(up("installed.json"), "{}"));
        } else if (is(prepare, "copier waiting")) {
            publishUpdaterRelease(false);
            // A stand-in for the waiting copier, running from where the copier does.
            TestProcess waiting;
            QVERIFY(QDir().mkpath(at("updater_temp")) && QFile::copy("/bin/sleep", at("updater_temp/filerelay")));
            QVERIFY(waiting.start(at("updater_temp/filerelay"), {"60"}));
            const ProcessResult first = runUpdater(kUpdater, {"--run", "sampleapp"});
            QVERIFY2(first.ok(), first.output.constData());
            QVERIFY(updaterLog().contains("of an earlier exit still runs; it hands this copy over"));
            QVERIFY(!QTest::qWaitFor([&] { return QFile::exists(up("version.txt")); }, 3000));
            waiting.stop();
        } else if (is(prepare, "running")) {
            // The sample program started by hand, as a user keeps it open.
            QVERIFY(open.start(at("sampleapp/kestrasample"), {"--stay"}));
            QVERIFY(QTest::qWaitFor([&] { return readFile(record()).contains("arg=--stay"); }, 10000));
            // The row's start must bring the updater's own copy again while the program runs.
            QFile::remove(at("updater_temp/kestraupd"));
        } else if (is(prepare, "silent")) { // accepts connections and never answers
            QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
            const QString silentSource = QStringLiteral("http://127.0.0.1:%1/projects.xml").arg(silent.serverPort());
            setConfig("server1/source_path", silentSource);
            setConfig("transfer_stall_timeout", "2");
        } else if (is(prepare, "empty registry")) {
            QVERIFY(writeFile(up("installed.json"), "{}"));
        } else if (is(prepare, "with reports")) {
            QCOMPARE(runUpdater("headless", {"--install", "sampleapp,sampleapp_reports"}).exitCode, 0);
        } else if (is(prepare, "no server")) {
            setConfig("server1/source_path", at("nowhere/projects.xml"));
        } else if (is(prepare, "partial release")) {
            publishUpdaterRelease(true);
        }
    }

    // "exists:" a path under the root, "kept:" a file still holding "local copy", "is:path=text" a file holding
    // text alone, "out:" a text on standard output, "registry:" a text in installed.json, "json:" see jsonHas,
    // "log:" a text in the updater's log (in the folder --logs_path names, if given), "windows:" see inOrder,
    // "installed", "launched" and "handed over" see those. A leading "!" expects the opposite.
    void verifyExpectations(const QStringList &expect, const QStringList &args, const QByteArray &output)
    {
        const int logsPath = args.indexOf("--logs_path");
        const QByteArray log = readFile(dayLog(logsPath < 0 ? up("logs") : args.value(logsPath + 1)));
        for (const QString &item : expect) {
            const bool negated = item.startsWith(QLatin1Char('!'));
            const QString kind = item.mid(negated ? 1 : 0).section(':', 0, 0);
            const QString what = item.section(':', 1);
            const QString path = at(what.section('=', 0, 0));
            const bool ok = is(kind, "exists")        ? QFileInfo::exists(path)
                            : is(kind, "kept")        ? readFile(path) == "local copy\n"
                            : is(kind, "is")          ? readFile(path) == what.section('=', 1).toUtf8()
                            : is(kind, "out")         ? output.contains(what.toUtf8())
                            : is(kind, "registry")    ? readFile(up("installed.json")).contains(what.toUtf8())
                            : is(kind, "json")        ? jsonHas(output, what)
                            : is(kind, "log")         ? log.contains(what.toUtf8())
                            : is(kind, "windows")     ? inOrder(lines(at("harness.log")), what)
                            : is(kind, "installed")   ? installed()
                            : is(kind, "handed over") ? handedOver()
                                                      : is(kind, "launched") && launched();
            QVERIFY2(ok != negated, qPrintable(item + '\n' + QString::fromUtf8(output)));
        }
    }

    // The registered modules hold the demo's files and the build's program, the unregistered sampleapp_reports not.
    bool installed() const
    {
        for (const QString &module : {QStringLiteral("sampleapp"), QStringLiteral("sampleapp_config")}) {
            const QString source = kSource + "/demo/files/" + module;
            for (const QString &rel : listFilesRecursive(source))
                if (readFile(at(module + '/' + rel)) != readFile(source + '/' + rel)) // no demo file is empty
                    return false;
        }
        return readFile(at("sampleapp/kestrasample")) == readFile(kBin + "/kestrasample")
               && !QDir(at("sampleapp_reports")).exists();
    }

    // Launched detached from its folder with the registry's parameters.
    bool launched() const
    {
        return waitLaunched()
               && lines(record()) == QStringList({"cwd=" + at("sampleapp"), "arg=--settings",
                                                  "arg=" + at("sampleapp_config/settings.ini"), "arg=--demo"});
    }

    // The new copy is assembled beside the updater, and the copier, started at exit, brings it over.
    bool handedOver() const
    {
        const QByteArray notes("Версия 1.0.0.26\n");
        return readFile(at("updater_temp/release_notes.txt")) == notes
               && QTest::qWaitFor([&] { return QFile::exists(up("release_notes.txt")) && !isLocked(); }, 30000)
               && readFile(up("release_notes.txt")) == notes && readFile(up("version.txt")) == "1.0.0.26\n"
               && readFile(up("update_fileinfo.xml")) == readFile(at("updater_temp/update_fileinfo.xml"))
               && readFile(up("filerelay")) == readFile(kBin + "/filerelay");
    }

    // A start before the one the row reads: it installs, launches the program and hands the updater's copy over.
    // The program rewrites its record late, so it is cleared only once that write is seen: the row reads its own.
    void setUpStart()
    {
        const ProcessResult run = runUpdater(kUpdater, {"--run", "sampleapp"});
        QVERIFY2(run.ok(), run.output.constData());
        const auto handedOver = [&] { return QFile::exists(up("update_fileinfo.xml")) && !isLocked(); };
        QVERIFY2(QTest::qWaitFor(handedOver, 30000), "no hand-over");
        QVERIFY(waitLaunched());
        QFile::remove(record());
    }

    // A new release of the updater on the server: two more files, and a config.ini of its own that must not
    // replace the installation's settings. Without one data file, a copy assembled from it is half new.
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

    void setConfig(const QString &key, const QString &value)
    {
        QSettings ini(up("config.ini"), QSettings::IniFormat);
        ini.setValue(key, value);
        ini.sync();
        QCOMPARE(ini.status(), QSettings::NoError);
    }

    // program from the updater's folder, offscreen. "headless": the harness without a display, standard error
    // dropped so that a --json report is standard output alone. "replaced": kestraupd renamed over as it starts,
    // as the copier brings a new one: the process runs a nameless file, started by its bare name as PATH would.
    ProcessResult runUpdater(const QString &program, const QStringList &args)
    {
        const bool headless = is(program, "headless"), replaced = is(program, "replaced");
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(QLatin1String(name));
        if (!headless)
            env.insert("QT_QPA_PLATFORM", "offscreen");
        if (replaced)
            env.insert("PATH", "/usr/bin:/bin");
        env.insert("KESTRA_HARNESS_LOG", at("harness.log"));
        const QString script = replaced ? QStringLiteral("exec 3< \"$1\" && cp \"$1\" \"$1.new\" && mv -f \"$1.new\" "
                                                         "\"$1\" && shift && exec -a kestraupd /proc/self/fd/3 \"$@\"")
                                        : QStringLiteral("exec \"$@\"") + (headless ? " 2>/dev/null" : "");
        const QString exe = up(replaced ? kUpdater : headless ? QStringLiteral("kestraupd_harness") : program);
        ProcessResult result = runProcess("bash", QStringList{"-c", script, "bash", exe} + args, 180000, m_root, env);
        // The copier an administrator's run handed over to finishes before anything else looks at the
        // installation; one that never does hangs the run as surely as the updater would.
        const QByteArray copier = at("updater_temp/filerelay").toUtf8();
        const auto copierDone = [&] {
            const QStringList pids = QDir("/proc").entryList(QDir::Dirs | QDir::NoDotAndDotDot);
            return std::none_of(pids.begin(), pids.end(), [&](const QString &pid) {
                return readFile("/proc/" + pid + "/cmdline").startsWith(copier);
            });
        };
        result.finished = result.finished && (!headless || QTest::qWaitFor(copierDone, 30000));
        return result;
    }

    QScopedPointer<QTemporaryDir> m_dir;
    QString m_root;
    FileHold m_rootHold;
};

QTEST_GUILESS_MAIN(TestStartupRuns)
#include "tst_startupruns.moc"
