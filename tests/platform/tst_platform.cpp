// The platform layer on Linux, for real: programs started from temporary folders under the install root (the build
// folder); shortcuts written into a home of the test's own, checked by desktop-file-validate and read back the way a
// desktop launcher reads them; the running-process check against copies of sleep and a zombie, whose entry has no
// executable or memory map left: like a process of another user, it cannot be inspected.

#include "launcher.h"
#include "processinfo.h"
#include "settings.h"
#include "testfiles.h"
#include "testprocess.h"
#include "transfer.h"

#include <QtTest> // and with it all of Qt Core

#include <memory>

#include <sys/wait.h>
#include <unistd.h>

namespace {

// The keys of [Desktop Entry], string escapes undone (an escaped backslash first, so that what follows stays text).
QMap<QString, QString> readDesktopEntry(const QString &path)
{
    QMap<QString, QString> keys;
    bool inGroup = false;
    for (const QString &line : QString::fromUtf8(readFile(path)).split(QLatin1Char('\n'))) {
        inGroup = line.startsWith(QLatin1Char('[')) ? line == QLatin1String("[Desktop Entry]") : inGroup;
        QStringList pieces = line.section(QLatin1Char('='), 1).split(QStringLiteral("\\\\"));
        for (QString &piece : pieces)
            piece.replace("\\s", " ").replace("\\n", "\n").replace("\\t", "\t").replace("\\r", "\r");
        if (inGroup && line.indexOf(QLatin1Char('=')) > 0)
            keys.insert(line.section(QLatin1Char('='), 0, 0), pieces.join(QLatin1Char('\\')));
    }
    return keys;
}

// NUL-terminated texts, as the recorder and printf '%s\0' write them.
QStringList nulTerminated(const QByteArray &bytes)
{
    return QString::fromUtf8(bytes.constData(), bytes.size()).split(QChar(0)).mid(0, bytes.count('\0'));
}

// The arguments a desktop launcher finds in an Exec value (escapes undone) that desktop-file-validate accepted: its
// quoting is the shell's and the validator refuses what a shell would expand, so the shell splits it. Then %% is a
// percent sign and any other field code is an error.
QStringList execArguments(const QString &exec)
{
    const ProcessResult run = runProcess(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), "printf '%s\\0' " + exec}, 30000);
    QStringList arguments = run.ok() ? nulTerminated(run.output) : QStringList{QStringLiteral("<shell failed>")};
    for (QString &argument : arguments) {
        if (QString(argument).remove(QStringLiteral("%%")).contains(QLatin1Char('%')))
            return {QStringLiteral("<field code in ") + argument + QLatin1Char('>')};
        argument.replace(QStringLiteral("%%"), QStringLiteral("%"));
    }
    return arguments;
}

// Records how it was started: its working folder and arguments, each NUL-terminated, in "arguments.rec" beside it.
const QByteArray kRecorder = "#!/bin/sh\nd=$(dirname \"$0\")\nprintf '%s\\0' \"$(pwd -P)\" \"$@\" >\"$d/rec.part\" && "
                             "mv \"$d/rec.part\" \"$d/arguments.rec\"\n";

// An executable file at path, a copy of sleep unless content says otherwise.
bool installProgram(const QString &path, const QByteArray &content = readFile(QStringLiteral("/bin/sleep")))
{
    return writeFile(path, content) && QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
}

} // namespace

class TestPlatform : public QObject
{
    Q_OBJECT

    // "~" the home folder, "@" the test's base.
    QString resolve(QString text) const
    {
        text = text.startsWith(QLatin1Char('~')) ? m_home + text.mid(1) : text;
        return text.replace(QLatin1Char('@'), m_base.path());
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_base.isValid());
        m_home = m_base.path() + QStringLiteral("/home");
        // Shortcuts go into this home only, never into the real one.
        qputenv("HOME", m_home.toUtf8());
        cleanup();
        m_registry = m_base.path() + QStringLiteral("/installed.json");
        Settings::instance()->setConfigPath(m_base.path() + QStringLiteral("/config.ini"));
        Settings::instance()->setRuntimeValue(QStringLiteral("General"), QStringLiteral("install_config_path"), m_registry);
        m_target = QCoreApplication::applicationFilePath();
        // Blanks and Cyrillic in the folder names: procfs carries module paths as they are.
        m_sleepers = QFileInfo(m_base.path()).canonicalFilePath() + QStringLiteral("/Папка ");
        m_sleeperA = m_sleepers + QStringLiteral("A/myapp");
        QVERIFY(installProgram(m_sleeperA) && installProgram(m_sleepers + "B/myapp"));
        QVERIFY(m_sleeper.start(m_sleeperA, {QStringLiteral("60")}, nullptr, m_sleepers + 'A'));
        QTRY_VERIFY_WITH_TIMEOUT(isProgrammRunning(QStringLiteral("myapp"), m_sleeperA), 10000);
        m_zombie = fork();
        if (m_zombie == 0)
            _exit(0);
        siginfo_t ended = {};
        // Waits for the end without reaping: the entry stays a zombie.
        QVERIFY(m_zombie > 0 && waitid(P_PID, static_cast<id_t>(m_zombie), &ended, WEXITED | WNOWAIT) == 0);
    }

    void cleanupTestCase()
    {
        QCOMPARE(waitpid(m_zombie, nullptr, 0), m_zombie);
    }

    void cleanup()
    {
        for (const QString &path : m_made)
            QFile::remove(path);
        m_made.clear();
        // Empty is unset, as for every desktop.
        qputenv("XDG_CONFIG_HOME", QByteArray());
        qputenv("XDG_DATA_HOME", QByteArray());
        QDir(m_home).removeRecursively();
        QVERIFY(QDir().mkpath(m_home));
    }

    void placeFolders_data()
    {
        // world: "" or XDG_DATA_HOME set, or "blocked", a file where the folder belongs. Values and expectations go
        // through resolve(); an empty expectation is an unknown place.
        QTest::addColumn<int>("place");
        QTest::addColumn<QString>("world");
        QTest::addColumn<QString>("userDirs");
        QTest::addColumn<QString>("expected");
        const QString no, menu = QStringLiteral("/applications/Корвант-Мед");
        QTest::newRow("desktop from ~/.config/user-dirs.dirs") << 1 << no << "XDG_DESKTOP_DIR=\"$HOME/Рабочий стол\"\n" << "~/Рабочий стол";
        QTest::newRow("desktop set to home falls back") << 1 << no << "XDG_DESKTOP_DIR=\"$HOME/\"\n" << "~/Desktop";
        QTest::newRow("quick launch under XDG_DATA_HOME") << 2 << "XDG_DATA_HOME=@/data" << no << "@/data/applications";
        QTest::newRow("menu folder is a file") << 3 << "blocked" << no << "~/.local/share" + menu;
        // A number from outside the menu's range, as a caller converting one could pass.
        QTest::newRow("place -1") << -1 << no << no << "";
    }

    void placeFolders()
    {
        QFETCH(int, place);
        QFETCH(QString, world);
        QFETCH(QString, userDirs);
        QFETCH(QString, expected);
        if (world.contains(QLatin1Char('=')))
            qputenv(qPrintable(world.section('=', 0, 0)), resolve(world.section('=', 1)).toUtf8());
        QVERIFY(userDirs.isNull() || writeFile(m_home + "/.config/user-dirs.dirs", resolve(userDirs).toUtf8()));
        const bool blocked = world == QLatin1String("blocked");
        QVERIFY(!blocked || writeFile(resolve(expected), "not a folder"));

        QCOMPARE(linkPlaceFolder(LinkPlace(place)), resolve(expected));
        const QString name = QStringLiteral("tstplatform-%1").arg(QCoreApplication::applicationPid());
        const bool written = createProgrammLink(name, QStringLiteral("prog"), QString(), QString(), LinkPlace(place));
        QCOMPARE(written, !expected.isEmpty() && !blocked);
        // The shortcut lands there, the folder made on the way; an unknown place
        // writes nothing anywhere, not in the root of the file system either.
        QCOMPARE(QFileInfo(resolve(expected) + QLatin1Char('/') + name + QStringLiteral(".desktop")).isFile(), written);
        if (expected.isEmpty()) {
            QVERIFY(!QFileInfo::exists("/" + name + ".desktop") && !QFileInfo::exists("/" + name + ".lnk"));
            QCOMPARE(QDir(m_home).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), QStringList());
        }
    }

    void roundTrip_data()
    {
        // displayName: the shortcut's name; fileName: its file on the desktop (empty: refused). icons: "iconFile:
        // files|present -> chosen icon" in a programm folder of the row's own (%F), with %B the updater's folder, %E
        // the edition's image and %T the updater itself.
        QTest::addColumn<QString>("programmName");
        QTest::addColumn<QStringList>("parameters");
        QTest::addColumn<QString>("displayName");
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QString>("icons");
        const QStringList none;
        auto row = [](const char *tag, const QString &programm, const QStringList &parameters,
                      const QString &icons = QStringLiteral(": -> %T")) {
            QTest::newRow(tag) << programm << parameters << "a" << "a" << icons;
        };
        auto name = [](const char *tag, const QString &displayName, const QString &fileName) {
            QTest::newRow(tag) << "prog" << QStringList() << displayName << fileName << ": -> %T";
        };
        row("quotes doubled", "prog", {"say \"hi\"", "x\"y", "\"quoted\""});
        row("shell and field characters", "prog", {"$HOME", "`id`", "100%", "%f", "back\\slash", "semi;colon", "a'b", "~/x", "#x", "*?"});
        row("line feed and tab", "prog", {"line1\nline2", "a\tb"});
        row("updater itself", "updater", {"-a", "b c"});
        name("plain name, no parameters", "Программа 1.2", "Программа 1.2");
        name("separators and characters Windows refuses in the shortcut name", "../up/A: b*?\"<>|", ".._up_A_ b______");
        name("trailing dots and blanks in the shortcut name", "name. . ", "name");
        name("shortcut name of only dots", "..", "");
        const QString folder = QStringLiteral("%FOLDER%");
        row("program's def.ico first", folder, none, "custom.ico: %F/def.ico|%F/custom.ico|%B/def.ico -> %F/def.ico");
        row("a folder is no icon", folder, none, "sub: -> %T");
        // Launchers cannot show an executable: the edition's image stands in for a program without an icon.
        row("executable is no icon, the edition's image is", folder, none, "viewer: %F/viewer|%E -> %E");
    }

    void roundTrip()
    {
        QFETCH(QString, programmName);
        QFETCH(QStringList, parameters);
        QFETCH(QString, displayName);
        QFETCH(QString, fileName);
        QFETCH(QString, icons);
        const bool ownFolder = programmName == QLatin1String("%FOLDER%");
        const QString folder = ownFolder ? newProgrammFolder() : QStringLiteral("/nonexistent");
        programmName = ownFolder ? QFileInfo(folder).fileName() : programmName;
        QVERIFY(!ownFolder || QDir().mkpath(folder + QStringLiteral("/sub")));
        auto expand = [&](QString text) {
            return text.replace(QStringLiteral("%F"), folder).replace(QStringLiteral("%B"), Settings::applicationDir())
                .replace(QStringLiteral("%E"), editionIconPath()).replace(QStringLiteral("%T"), m_target).trimmed();
        };
        // The updater's folder is the shared bin folder: its def.ico and the edition's image are made there only when
        // missing, and removed at the end.
        for (const QString &path : expand(icons.section(':', 1).section("->", 0, 0)).split('|', Qt::SkipEmptyParts)) {
            QVERIFY2(!QFileInfo::exists(path) && writeFile(path, "icon"), qPrintable(path + QStringLiteral(" is in the way")));
            m_made << path;
        }
        // The parameters text as the main window builds it.
        QStringList quoted;
        for (const QString &parameter : parameters)
            quoted << quoteArgument(parameter, QLatin1Char(' '), QLatin1Char('"'), false, true);
        const QString parameterText = quoted.join(QLatin1Char(' '));
        // Written twice: the second shortcut replaces the first.
        createProgrammLink(displayName, QStringLiteral("first"), QString(), QStringLiteral("x"), LinkPlace::Desktop);
        const bool written = createProgrammLink(displayName, programmName, icons.section(':', 0, 0), parameterText, LinkPlace::Desktop);
        QCOMPARE(written, !fileName.isEmpty());
        const QString file = QStringLiteral("Desktop/") + fileName + QStringLiteral(".desktop"), path = m_home + '/' + file;
        QCOMPARE(listFilesRecursive(m_home), written ? QStringList{file} : QStringList());
        if (!written)
            return;
        // desktop-file-validate says nothing about a file it accepts without errors or warnings.
        const ProcessResult verdict = runProcess(QStringLiteral("/usr/bin/desktop-file-validate"), {path}, 30000);
        QVERIFY2(verdict.ok() && verdict.output.isEmpty(), verdict.output + readFile(path));
        QVERIFY(QFileInfo(path).permissions() & QFileDevice::ExeOwner);
        const QMap<QString, QString> entry = readDesktopEntry(path);
        QCOMPARE(QStringList({entry.value("Terminal"), entry.value("Name"), entry.value("Icon"), entry.value("Path")}),
                 QStringList({"false", fileName, expand(icons.section("->", 1)), ownFolder ? folder : entry.value("Path")}));
        // The updater itself starts without run-mode arguments; --arg only with parameters.
        const int count = programmName == QLatin1String("updater") ? 1 : parameterText.isEmpty() ? 3 : 4;
        const QStringList expected = QStringList{m_target, "--run", programmName, "--arg=" + parameterText}.mid(0, count);
        QCOMPARE(execArguments(entry.value(QStringLiteral("Exec"))), expected);
        // Start-up splits the --arg value back into the original parameters.
        QCOMPARE(parameterText.isEmpty() ? QStringList() : splitArguments(parameterText, ' ', '"'), parameters);
    }

    void startProgramm()
    {
        // The recorder stands at argrecorder and bin/argrecorder of the programm's folder and of another one.
        const QString folder = newProgrammFolder(), other = newProgrammFolder(), name = QFileInfo(folder).fileName();
        for (const QString &path : {folder, folder + "/bin", other, other + "/bin"})
            QVERIFY(installProgram(path + QStringLiteral("/argrecorder"), kRecorder));
        auto registerProgramm = [&](const QString &executeFilename) {
            const QJsonObject programm{
                {"programm_name", name}, {"execute_filename", executeFilename}, {"execute_params", "-a -b"}};
            return writeFile(m_registry, QJsonDocument(QJsonObject{{"programms", QJsonArray{programm}}}).toJson());
        };
        QVERIFY(registerProgramm("../" + QFileInfo(other).fileName() + "/argrecorder"));
        QVERIFY(!::startProgramm(name)); // outside the programm's folder
        // Explicit arguments override the registry; the executable's subfolder is the working folder.
        QVERIFY(registerProgramm("bin/argrecorder"));
        QVERIFY(::startProgramm(name, {"one", "two words", ""}));
        const QString record = folder + QStringLiteral("/bin/arguments.rec");
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(record), 10000);
        QCOMPARE(nulTerminated(readFile(record)), QStringList({folder + "/bin", "one", "two words", ""}));
        // Meanwhile the recorder outside has not run either.
        QCOMPARE(listFilesRecursive(other), QStringList({"argrecorder", "bin/argrecorder"}));
    }

    void running_data()
    {
        // replaced: the running copy's file deleted and put back. An update that replaces the file of a running
        // program leaves the process running the old, unlinked file: it still blocks the update.
        QTest::addColumn<bool>("replaced");
        QTest::addColumn<QString>("exeName");
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("running");
        QTest::newRow("same name in another folder") << false << "myapp" << m_sleepers + "B/myapp" << false;
        QTest::newRow("replaced executable still counts as running") << true << "myapp" << m_sleeperA << true;
        // What cannot be inspected matches an empty path: the cautious answer when nothing can be told.
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
    // A fresh folder under the install root; its name, with blanks and Cyrillic, is the programm name.
    QString newProgrammFolder()
    {
        m_programmFolders.push_back(
            std::make_unique<QTemporaryDir>(Settings::installRoot() + QStringLiteral("/tst platform Программа-XXXXXX")));
        return m_programmFolders.back()->isValid() ? m_programmFolders.back()->path() : QStringLiteral("/nonexistent");
    }

    QTemporaryDir m_base;
    QString m_home, m_registry, m_target, m_sleepers, m_sleeperA;
    QStringList m_made;
    std::vector<std::unique_ptr<QTemporaryDir>> m_programmFolders;
    TestProcess m_sleeper;
    pid_t m_zombie = 0;
};

QTEST_GUILESS_MAIN(TestPlatform)
#include "tst_platform.moc"
