// Program launch and shortcuts on Linux: programs started for real from
// folders under the install root, shortcuts written as .desktop files into a
// home folder of the test's own, checked by desktop-file-validate and read
// back the way a desktop launcher reads them.
//
// The install root is the folder above the test's own (the build folder), so
// each test program lives in a uniquely named temporary folder there, removed
// at the end; the registry and the home folder are temporary too.

#include "commandline.h"
#include "launcher.h"
#include "platformfixture.h"
#include "settings.h"
#include "updatersetup.h"
#include "testfiles.h"
#include "testprocess.h"
#include "transfer.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <memory>

namespace {

// The string-value escapes of a desktop entry, undone.
QString unescapeValue(const QString &value, QString *error)
{
    QString out;
    for (int i = 0; i < value.size(); ++i) {
        const QChar c = value.at(i);
        if (c != QLatin1Char('\\')) {
            out.append(c);
            continue;
        }
        if (++i >= value.size()) {
            *error = QStringLiteral("dangling backslash");
            return QString();
        }
        switch (value.at(i).toLatin1()) {
        case 's': out.append(QLatin1Char(' ')); break;
        case 'n': out.append(QLatin1Char('\n')); break;
        case 't': out.append(QLatin1Char('\t')); break;
        case 'r': out.append(QLatin1Char('\r')); break;
        case '\\': out.append(QLatin1Char('\\')); break;
        default:
            *error = QStringLiteral("unknown escape \\%1").arg(value.at(i));
            return QString();
        }
    }
    return out;
}

// Splits an Exec value as a desktop launcher does: string escapes first, then
// blanks separate, double quotes group with \" \` \$ \\ escaped inside, and
// field codes: %% is a literal percent sign (any other field code is an
// error here, since the updater writes none).
QStringList splitExec(const QString &exec, QString *error)
{
    const QString text = unescapeValue(exec, error);
    if (!error->isEmpty())
        return {};
    static const QString reserved = QStringLiteral("\t\n\"'\\><~|&;$*?#()`");
    QStringList arguments;
    QString current;
    bool inArgument = false;
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == QLatin1Char(' ')) {
            if (inArgument)
                arguments.append(current);
            current.clear();
            inArgument = false;
        } else if (c == QLatin1Char('"')) {
            if (inArgument) {
                *error = QStringLiteral("quote inside an unquoted argument");
                return {};
            }
            inArgument = true;
            bool closed = false;
            for (++i; i < text.size(); ++i) {
                const QChar q = text.at(i);
                if (q == QLatin1Char('"')) {
                    closed = true;
                    break;
                }
                if (q == QLatin1Char('\\')) {
                    if (i + 1 >= text.size() || !QStringLiteral("\"`$\\").contains(text.at(i + 1))) {
                        *error = QStringLiteral("bad escape in a quoted argument");
                        return {};
                    }
                    ++i;
                    current.append(text.at(i));
                    continue;
                }
                if (q == QLatin1Char('`') || q == QLatin1Char('$')) {
                    *error = QStringLiteral("unescaped %1 in a quoted argument").arg(q);
                    return {};
                }
                current.append(q);
            }
            if (!closed) {
                *error = QStringLiteral("unterminated quote");
                return {};
            }
            if (i + 1 < text.size() && text.at(i + 1) != QLatin1Char(' ')) {
                *error = QStringLiteral("text after a closing quote");
                return {};
            }
        } else if (reserved.contains(c)) {
            *error = QStringLiteral("reserved character %1 outside quotes").arg(c);
            return {};
        } else {
            current.append(c);
            inArgument = true;
        }
    }
    if (inArgument)
        arguments.append(current);
    for (QString &argument : arguments) {
        QString expanded;
        for (int i = 0; i < argument.size(); ++i) {
            if (argument.at(i) != QLatin1Char('%')) {
                expanded.append(argument.at(i));
            } else if (i + 1 < argument.size() && argument.at(i + 1) == QLatin1Char('%')) {
                expanded.append(QLatin1Char('%'));
                ++i;
            } else {
                *error = QStringLiteral("field code in %1").arg(argument);
                return {};
            }
        }
        argument = expanded;
    }
    return arguments;
}

// The keys of the [Desktop Entry] group, values still escaped.
QMap<QString, QString> readDesktopEntry(const QString &path)
{
    QMap<QString, QString> keys;
    const QStringList lines = QString::fromUtf8(readFile(path)).split(QLatin1Char('\n'));
    bool inGroup = false;
    for (const QString &line : lines) {
        if (line.startsWith(QLatin1Char('['))) {
            inGroup = line == QLatin1String("[Desktop Entry]");
            continue;
        }
        const int equals = line.indexOf(QLatin1Char('='));
        if (inGroup && equals > 0)
            keys.insert(line.left(equals), line.mid(equals + 1));
    }
    return keys;
}

QString validatorProgram()
{
    return findExecutable({QStringLiteral("/usr/bin/desktop-file-validate")});
}

// desktop-file-validate's verdict: empty when it accepts the file without
// errors or warnings.
QString validate(const QString &path)
{
    const ProcessResult result = runProcess(validatorProgram(), {path}, 30000);
    const QString output = QString::fromUtf8(result.output);
    if (!result.ok() || output.contains(QLatin1String("error:")) || output.contains(QLatin1String("warning:")))
        return output.isEmpty() ? QStringLiteral("exit code %1").arg(result.exitCode) : output;
    return QString();
}

void setEnv(const char *name, const QString &value)
{
    if (value.isNull())
        qunsetenv(name);
    else
        qputenv(name, QFile::encodeName(value));
}

QStringList toList(const std::vector<std::wstring> &items)
{
    QStringList list;
    for (const std::wstring &item : items)
        list << QString::fromStdWString(item);
    return list;
}

} // namespace

class TestLauncher : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_base.isValid());
        QVERIFY2(!validatorProgram().isEmpty(), "desktop-file-validate (desktop-file-utils) is missing");
        QVERIFY(QFileInfo(recorderProgram()).isExecutable());
        m_home = m_base.path() + QStringLiteral("/home");
        QVERIFY(QDir().mkpath(m_home));
        // Shortcuts go into this home only, never into the real one.
        setEnv("HOME", m_home);
        setEnv("XDG_CONFIG_HOME", QString());
        setEnv("XDG_DATA_HOME", QString());

        m_registry = m_base.path() + QStringLiteral("/installed.json");
        const QString config = m_base.path() + QStringLiteral("/config.ini");
        QVERIFY(writeFile(config, "[General]\ninstall_config_path=" + m_registry.toUtf8() + "\n"));
        Settings::instance()->setConfigPath(config);
        QCOMPARE(Settings::instance()->installedConfigPath(), m_registry);
        m_target = QCoreApplication::applicationFilePath();
        m_updaterIcon = Settings::applicationDir() + QStringLiteral("/def.ico");
    }

    void cleanupTestCase()
    {
        m_programmFolders.clear();
    }

    void cleanup()
    {
        setEnv("XDG_CONFIG_HOME", QString());
        setEnv("XDG_DATA_HOME", QString());
        QDir(m_home).removeRecursively();
        QDir().mkpath(m_home);
    }

    void quoting_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("force");
        QTest::addColumn<bool>("escape");
        QTest::addColumn<QString>("quoted");

        QTest::newRow("blank wraps") << "a b" << false << true << "\"a b\"";
        QTest::newRow("plain stays") << "ab" << false << true << "ab";
        QTest::newRow("line feed wraps") << "a\nb" << false << true << "\"a\nb\"";
        QTest::newRow("force wraps") << "ab" << true << true << "\"ab\"";
        QTest::newRow("inner quote doubled") << "x\"y" << false << true << "x\"\"y";
        QTest::newRow("inner quote kept without escape") << "x\"y" << false << false << "x\"y";
        QTest::newRow("quote and blank") << "say \"hi\"" << false << true << "\"say \"\"hi\"\"\"";
        QTest::newRow("leading quote wraps") << "\"hi\"" << false << true << "\"\"\"hi\"\"\"";
        QTest::newRow("leading quote without escape") << "\"hi" << false << false << "\"hi";
        QTest::newRow("empty stays empty") << "" << false << true << "";
        QTest::newRow("empty forced") << "" << true << true << "\"\"";
    }

    void quoting()
    {
        QFETCH(QString, text);
        QFETCH(bool, force);
        QFETCH(bool, escape);
        QFETCH(QString, quoted);
        const QString result = quoteArgument(text, QLatin1Char(' '), QLatin1Char('"'), force, escape);
        QCOMPARE(result, quoted);
        // What start-up reads back is the text itself.
        if (escape)
            QCOMPARE(splitArguments(result, QLatin1Char(' '), QLatin1Char('"')), QStringList{text});
    }

    void commandLineSplit_data()
    {
        // The answers of the Windows parser (CommandLineToArgvW), which
        // scripts/ci.d/40-wine.sh compares with the same splitting under wine.
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("arguments");

        QTest::newRow("blanks and tabs separate") << "  a   b\t c " << QStringList{"a", "b", "c"};
        QTest::newRow("quotes group") << "\"a b\" c" << QStringList{"a b", "c"};
        QTest::newRow("quotes inside an argument") << "--arg=\"a b\"x" << QStringList{"--arg=a bx"};
        QTest::newRow("doubled quote gives one and ends the quotes")
            << "--arg=\"a \"\"b\"\" c\"" << QStringList{"--arg=a \"b", "c"};
        QTest::newRow("backslashes alone are literal") << "a\\\\b c\\" << QStringList{"a\\\\b", "c\\"};
        QTest::newRow("odd backslashes before a quote") << "a\\\"b" << QStringList{"a\"b"};
        QTest::newRow("even backslashes before a quote") << "\"a\\\\\" b" << QStringList{"a\\", "b"};
        QTest::newRow("empty quoted argument") << "\"\" x \"\"" << QStringList{"", "x", ""};
        QTest::newRow("empty text") << "" << QStringList();
        QTest::newRow("unterminated quote") << "a \"b c" << QStringList{"a", "b c"};
    }

    void commandLineSplit()
    {
        QFETCH(QString, text);
        QFETCH(QStringList, arguments);
        QCOMPARE(toList(commandline::split(text.toStdWString())), arguments);
    }

    void commandLineQuoting_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("text");

        QTest::newRow("plain") << QStringList{"--run", "prog"} << "--run prog";
        QTest::newRow("blank") << QStringList{"--run", "my prog"} << "--run \"my prog\"";
        QTest::newRow("empty") << QStringList{"--run", ""} << "--run \"\"";
        QTest::newRow("quote") << QStringList{"a\"b"} << "\"a\\\"b\"";
        QTest::newRow("backslash before a quote") << QStringList{"a\\\"b"} << "\"a\\\\\\\"b\"";
        QTest::newRow("trailing backslash") << QStringList{"C:\\My dir\\"} << "\"C:\\My dir\\\\\"";
        QTest::newRow("backslash without quotes") << QStringList{"C:\\dir\\"} << "C:\\dir\\";
        QTest::newRow("tab and line feed") << QStringList{"a\tb", "c\nd"} << "\"a\tb\" \"c\nd\"";
    }

    void commandLineQuoting()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, text);
        QStringList quoted;
        for (const QString &argument : arguments)
            quoted << QString::fromStdWString(commandline::quoteArgument(argument.toStdWString()));
        QCOMPARE(quoted.join(QLatin1Char(' ')), text);
        QCOMPARE(toList(commandline::split(text.toStdWString())), arguments);
    }

    void placeFolders_data()
    {
        // Environment values: null = unset, "relative" = a relative (invalid)
        // value, otherwise a folder under the test's base ("@"). In user-dirs and
        // expectations "~" is the home folder and "@" the base.
        QTest::addColumn<int>("place");
        QTest::addColumn<QString>("configHome");
        QTest::addColumn<QString>("dataHome");
        QTest::addColumn<QString>("userDirs");
        QTest::addColumn<QString>("expected");

        const QString none;
        QTest::newRow("desktop without user-dirs") << 1 << none << none << none << "~/Desktop";
        QTest::newRow("desktop from ~/.config/user-dirs.dirs")
            << 1 << none << none << "XDG_DESKTOP_DIR=\"$HOME/Рабочий стол\"\n" << "~/Рабочий стол";
        QTest::newRow("desktop from XDG_CONFIG_HOME")
            << 1 << "@/cfg" << none
            << "# written by xdg-user-dirs-update\nXDG_DOWNLOAD_DIR=\"$HOME/Downloads\"\n"
               "XDG_DESKTOP_DIR=\"@/desk top\"\n"
            << "@/desk top";
        QTest::newRow("desktop with escaped quote") << 1 << none << none << "XDG_DESKTOP_DIR=\"$HOME/a \\\"b\\\"\"\n"
                                                    << "~/a \"b\"";
        QTest::newRow("desktop set to home falls back") << 1 << none << none << "XDG_DESKTOP_DIR=\"$HOME/\"\n"
                                                        << "~/Desktop";
        QTest::newRow("relative desktop falls back") << 1 << none << none << "XDG_DESKTOP_DIR=\"Desktop2\"\n"
                                                     << "~/Desktop";
        QTest::newRow("unquoted desktop falls back") << 1 << none << none << "XDG_DESKTOP_DIR=$HOME/D\n" << "~/Desktop";
        QTest::newRow("relative XDG_CONFIG_HOME ignored")
            << 1 << "relative" << none << "XDG_DESKTOP_DIR=\"$HOME/Стол\"\n" << "~/Стол";
        QTest::newRow("quick launch under XDG_DATA_HOME") << 2 << none << "@/data" << none << "@/data/applications";
        QTest::newRow("quick launch under ~/.local/share")
            << 2 << none << none << none << "~/.local/share/applications";
        QTest::newRow("menu under XDG_DATA_HOME") << 3 << none << "@/data" << none
                                                  << "@/data/applications/Корвант-Мед";
        QTest::newRow("menu under ~/.local/share") << 3 << none << none << none
                                                   << "~/.local/share/applications/Корвант-Мед";
        QTest::newRow("relative XDG_DATA_HOME ignored") << 3 << none << "relative" << none
                                                        << "~/.local/share/applications/Корвант-Мед";
    }

    void placeFolders()
    {
        QFETCH(int, place);
        QFETCH(QString, configHome);
        QFETCH(QString, dataHome);
        QFETCH(QString, userDirs);
        QFETCH(QString, expected);
        auto resolve = [this](QString text) {
            if (text.startsWith(QLatin1Char('~')))
                text = m_home + text.mid(1);
            return text.replace(QLatin1Char('@'), m_base.path());
        };
        auto envValue = [&resolve](const QString &value) {
            return value.isNull() || value == QLatin1String("relative") ? value : resolve(value);
        };
        setEnv("XDG_CONFIG_HOME", envValue(configHome));
        setEnv("XDG_DATA_HOME", envValue(dataHome));
        const QString configFolder = configHome.startsWith(QLatin1Char('@')) ? resolve(configHome)
                                                                             : m_home + QStringLiteral("/.config");
        QFile::remove(configFolder + QStringLiteral("/user-dirs.dirs"));
        if (!userDirs.isNull())
            QVERIFY(writeFile(configFolder + QStringLiteral("/user-dirs.dirs"), resolve(userDirs).toUtf8()));

        QCOMPARE(linkPlaceFolder(static_cast<LinkPlace>(place)), resolve(expected));
        if (place >= 1 && place <= 3) {
            // The shortcut lands there, the folder made on the way.
            QVERIFY(createLink(QStringLiteral("Ярлык"), QStringLiteral("updater"), QString(), static_cast<LinkPlace>(place),
                               QString()));
            QVERIFY(QFileInfo(resolve(expected) + QStringLiteral("/Ярлык.desktop")).isFile());
        }
    }

    void roundTrip_data()
    {
        QTest::addColumn<QString>("programmName");
        QTest::addColumn<QStringList>("parameters");

        QTest::newRow("plain name, no parameters") << "prog" << QStringList();
        QTest::newRow("parameters with blanks") << "prog" << QStringList{"--config_path", "/data/my folder"};
        QTest::newRow("Windows folder with a blank and a trailing backslash")
            << "prog" << QStringList{"--config_path", "C:\\Program Files\\x\\"};
        QTest::newRow("quotes doubled") << "prog" << QStringList{"say \"hi\"", "x\"y", "\"quoted\""};
        QTest::newRow("name with a blank") << "my prog" << QStringList{"-a"};
        QTest::newRow("name with a blank, no parameters") << "my prog" << QStringList();
        QTest::newRow("empty parameter in the middle") << "prog" << QStringList{"a", "", "b"};
        QTest::newRow("shell and field characters")
            << "prog"
            << QStringList{"$HOME", "`id`", "100%", "%f", "back\\slash", "semi;colon", "a'b", "~/x", "#x", "*?"};
        QTest::newRow("Cyrillic") << "Программа" << QStringList{"--путь", "/data/Мои файлы/x"};
        QTest::newRow("line feed and tab") << "prog" << QStringList{"line1\nline2", "a\tb"};
        QTest::newRow("updater itself") << "updater" << QStringList{"-a", "b c"};
        QTest::newRow("empty name") << "" << QStringList{"-a"};
    }

    void roundTrip()
    {
        QFETCH(QString, programmName);
        QFETCH(QStringList, parameters);
        // The parameters text as the main window builds it.
        QStringList quoted;
        for (const QString &parameter : parameters)
            quoted << quoteArgument(parameter, QLatin1Char(' '), QLatin1Char('"'), false, true);
        const QString parameterText = quoted.join(QLatin1Char(' '));
        const QString displayName = QStringLiteral("Запуск %1").arg(QString::fromLatin1(QTest::currentDataTag()).left(20).trimmed());
        QVERIFY(createProgrammLink(displayName, programmName, QString(), parameterText, LinkPlace::Desktop));

        const QString file = m_home + QStringLiteral("/Desktop/") + displayName + QStringLiteral(".desktop");
        QVERIFY(QFileInfo(file).isFile());
        QVERIFY(!QFileInfo::exists(m_home + QStringLiteral("/Desktop/") + displayName + QStringLiteral(".lnk")));
        const QString verdict = validate(file);
        QVERIFY2(verdict.isEmpty(), qPrintable(verdict + QStringLiteral("\n") + QString::fromUtf8(readFile(file))));
        QVERIFY(QFileInfo(file).permissions() & QFileDevice::ExeOwner);

        const QMap<QString, QString> entry = readDesktopEntry(file);
        QCOMPARE(entry.value(QStringLiteral("Type")), QStringLiteral("Application"));
        QCOMPARE(entry.value(QStringLiteral("Terminal")), QStringLiteral("false"));
        QString error;
        QCOMPARE(unescapeValue(entry.value(QStringLiteral("Name")), &error), displayName);
        QString exec = entry.value(QStringLiteral("Exec"));
        const QStringList argv = splitExec(exec, &error);
        QVERIFY2(error.isEmpty(), qPrintable(error + QStringLiteral(": ") + exec));

        QStringList expected{m_target};
        if (programmName != QLatin1String("updater")) {
            expected << QStringLiteral("--run") << programmName;
            if (!parameterText.isEmpty())
                expected << QStringLiteral("--arg=") + parameterText;
        }
        QCOMPARE(argv, expected);
        // The updater's own option parsing gets the whole name back, and start-up
        // splits the arg value into the original parameters.
        QCommandLineParser parser;
        setupUpdaterOptions(parser);
        QVERIFY2(parser.parse(argv), qPrintable(parser.errorText()));
        const bool runMode = programmName != QLatin1String("updater");
        QCOMPARE(parser.isSet(QStringLiteral("run")), runMode);
        QCOMPARE(parser.value(QStringLiteral("run")), runMode ? programmName : QString());
        QCOMPARE(parser.isSet(QStringLiteral("arg")), runMode && !parameters.isEmpty());
        if (parser.isSet(QStringLiteral("arg")))
            QCOMPARE(splitArguments(parser.value(QStringLiteral("arg")), QLatin1Char(' '), QLatin1Char('"')),
                     parameters);
        QCOMPARE(parser.positionalArguments(), QStringList());
    }

    void iconChoice_data()
    {
        QTest::addColumn<QString>("iconFile");
        QTest::addColumn<QStringList>("present"); // "def", "custom" (iconFile), "updater", "edition"
        QTest::addColumn<QString>("chosen");      // same words, or "target"

        QTest::newRow("program's def.ico first") << "custom.ico" << QStringList{"def", "custom", "updater"} << "def";
        QTest::newRow("given icon next") << "custom.ico" << QStringList{"custom", "updater"} << "custom";
        QTest::newRow("updater's def.ico next") << "custom.ico" << QStringList{"updater"} << "updater";
        QTest::newRow("the updater itself last") << "custom.ico" << QStringList() << "target";
        QTest::newRow("empty icon name is no icon") << "" << QStringList() << "target";
        QTest::newRow("a folder is no icon") << "sub" << QStringList() << "target";
        // Desktop launchers cannot show an executable: the edition's image
        // beside the updater stands in for a program without an icon.
        QTest::newRow("executable is no icon, the edition's image is")
            << "viewer" << QStringList{"custom", "edition"} << "edition";
        QTest::newRow("updater's def.ico before the edition's image")
            << "viewer" << QStringList{"custom", "updater", "edition"} << "updater";
        QTest::newRow("executable without an edition image gives the updater itself")
            << "viewer" << QStringList{"custom"} << "target";
    }

    void iconChoice()
    {
        QFETCH(QString, iconFile);
        QFETCH(QStringList, present);
        QFETCH(QString, chosen);
        const QString folder = newProgrammFolder();
        QVERIFY(!folder.isEmpty());
        QVERIFY(QDir().mkpath(folder + QStringLiteral("/sub")));
        const QMap<QString, QString> paths{
            {QStringLiteral("def"), folder + QStringLiteral("/def.ico")},
            {QStringLiteral("custom"), folder + QLatin1Char('/') + iconFile},
            {QStringLiteral("updater"), m_updaterIcon},
            {QStringLiteral("edition"), editionIconPath()},
            {QStringLiteral("target"), m_target},
        };
        // The updater's folder is the shared bin folder: its def.ico is made
        // only when missing and removed again right after.
        // So is the edition's image.
        const bool madeUpdaterIcon = present.contains(QStringLiteral("updater")) && !QFileInfo::exists(m_updaterIcon);
        const bool madeEditionIcon =
            present.contains(QStringLiteral("edition")) && !QFileInfo::exists(editionIconPath());
        for (const QString &name : present) {
            const bool shared = name == QLatin1String("updater") || name == QLatin1String("edition");
            if (!shared || (name == QLatin1String("updater") ? madeUpdaterIcon : madeEditionIcon))
                QVERIFY(writeFile(paths.value(name), "icon"));
        }
        const bool written = createLink(QStringLiteral("Значок"), QFileInfo(folder).fileName(), iconFile, LinkPlace::Desktop,
                                        QStringLiteral("--run x"));
        if (madeUpdaterIcon)
            QFile::remove(m_updaterIcon);
        if (madeEditionIcon)
            QFile::remove(editionIconPath());
        QVERIFY(written);
        const QMap<QString, QString> entry = readDesktopEntry(m_home + QStringLiteral("/Desktop/Значок.desktop"));
        QString error;
        QCOMPARE(unescapeValue(entry.value(QStringLiteral("Icon")), &error), paths.value(chosen));
        QCOMPARE(unescapeValue(entry.value(QStringLiteral("Path")), &error), folder);
    }

    void shortcutNames_data()
    {
        QTest::addColumn<QString>("displayName");
        QTest::addColumn<QString>("fileName"); // empty: refused

        QTest::newRow("plain") << "Программа 1.2" << "Программа 1.2";
        QTest::newRow("separator stays in the folder") << "../up/x" << ".._up_x";
        QTest::newRow("backslash") << "a\\b" << "a_b";
        QTest::newRow("characters Windows refuses") << "A: b*?\"<>|" << "A_ b______";
        QTest::newRow("trailing dots and blanks") << "name. . " << "name";
        QTest::newRow("line feed") << "a\nb" << "a_b";
        QTest::newRow("only dots") << ".." << "";
        QTest::newRow("empty") << "" << "";
    }

    void shortcutNames()
    {
        QFETCH(QString, displayName);
        QFETCH(QString, fileName);
        const QString desktop = m_home + QStringLiteral("/Desktop");
        const bool written = createLink(displayName, QStringLiteral("updater"), QString(), LinkPlace::Desktop, QString());
        QCOMPARE(written, !fileName.isEmpty());
        const QStringList files = QDir(desktop).entryList(QDir::Files | QDir::Hidden);
        QCOMPARE(files, fileName.isEmpty() ? QStringList() : QStringList{fileName + QStringLiteral(".desktop")});
        // Nothing outside the desktop folder.
        QStringList outside = QDir(m_home).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
        outside.removeAll(QStringLiteral("Desktop"));
        QCOMPARE(outside, QStringList());
        if (written) {
            const QString verdict = validate(desktop + QLatin1Char('/') + files.first());
            QVERIFY2(verdict.isEmpty(), qPrintable(verdict));
        }
    }

    void unknownPlaceWritesNothing_data()
    {
        QTest::addColumn<int>("place");
        QTest::newRow("0") << 0;
        QTest::newRow("4") << 4;
        QTest::newRow("-1") << -1;
    }

    void unknownPlaceWritesNothing()
    {
        QFETCH(int, place);
        const QString name = QStringLiteral("tstlauncher-%1-%2").arg(QCoreApplication::applicationPid()).arg(place);
        // A number from outside the menu's range, as a caller converting one
        // could pass.
        const auto unknown = static_cast<LinkPlace>(place);
        QCOMPARE(linkPlaceFolder(unknown), QString());
        QVERIFY(!createProgrammLink(name, QStringLiteral("prog"), QString(), QString(), unknown));
        // Not in the root of the file system, nor anywhere relative to it.
        QVERIFY(!QFileInfo::exists(QStringLiteral("/") + name + QStringLiteral(".desktop")));
        QVERIFY(!QFileInfo::exists(QStringLiteral("/") + name + QStringLiteral(".lnk")));
        QVERIFY(!QFileInfo::exists(QDir::currentPath() + QLatin1Char('/') + name + QStringLiteral(".desktop")));
        QCOMPARE(QDir(m_home).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), QStringList());
    }

    void rewriteReplaces()
    {
        const QString file = m_home + QStringLiteral("/Desktop/Повтор.desktop");
        QVERIFY(
            createProgrammLink(QStringLiteral("Повтор"), QStringLiteral("first"), QString(), QString(), LinkPlace::Desktop));
        QVERIFY(
            createProgrammLink(QStringLiteral("Повтор"), QStringLiteral("second"), QString(), QString(), LinkPlace::Desktop));
        QString error;
        const QStringList argv = splitExec(readDesktopEntry(file).value(QStringLiteral("Exec")), &error);
        QCOMPARE(argv, (QStringList{m_target, QStringLiteral("--run"), QStringLiteral("second")}));
        QCOMPARE(QDir(m_home + QStringLiteral("/Desktop")).entryList(QDir::Files | QDir::Hidden),
                 QStringList{QStringLiteral("Повтор.desktop")});

        // A shortcut that cannot be written (its folder is a file) fails.
        QVERIFY(writeFile(m_home + QStringLiteral("/.local/share/applications"), "not a folder"));
        QVERIFY(
            !createProgrammLink(QStringLiteral("Меню"), QStringLiteral("prog"), QString(), QString(), LinkPlace::StartMenu));
    }

    void startProgramm_data()
    {
        // executeFilename may name "%OTHER%", a second program folder; in the
        // expected arguments "%ROOT%" is the install root.
        QTest::addColumn<QString>("folderPrefix");
        QTest::addColumn<bool>("registered");
        QTest::addColumn<QString>("executeFilename");
        QTest::addColumn<QString>("recorderAt"); // relative to the program folder; empty: none
        QTest::addColumn<QString>("executeParams");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("started");
        QTest::addColumn<QStringList>("expectedArguments");
        QTest::addColumn<QString>("expectedFolder"); // relative to the program folder

        const QString rec = QStringLiteral("argrecorder");
        QTest::newRow("registry parameters, double blank kept")
            << "tstlauncher-" << true << rec << rec << "-a  -b" << QStringList() << true << QStringList{"-a", "", "-b"} << ".";
        QTest::newRow("programm name with a blank") << "tst launcher Программа-" << true << rec << rec << "-a"
                                                    << QStringList() << true << QStringList{"-a"} << ".";
        QTest::newRow("placeholder expanded")
            << "tstlauncher-" << true << rec << rec << ":config:/settings.ini --x" << QStringList() << true
            << QStringList{"%ROOT%/cfgmod/settings.ini", "--x"} << ".";
        QTest::newRow("explicit arguments override the registry")
            << "tstlauncher-" << true << rec << rec << "-a -b" << QStringList{"one", "two words", ""} << true
            << QStringList{"one", "two words", ""} << ".";
        QTest::newRow("no parameters") << "tstlauncher-" << true << rec << rec << "" << QStringList() << true << QStringList() << ".";
        QTest::newRow("executable in a subfolder")
            << "tstlauncher-" << true << "bin/argrecorder" << "bin/argrecorder" << "x" << QStringList() << true << QStringList{"x"}
            << "bin";
        QTest::newRow("missing executable") << "tstlauncher-" << true << rec << "" << "" << QStringList() << false << QStringList() << "";
        QTest::newRow("without execute_filename") << "tstlauncher-" << true << "" << rec << "" << QStringList() << false << QStringList()
                                                  << "";
        QTest::newRow("executable outside the program's folder")
            << "tstlauncher-" << true << "../%OTHER%/argrecorder" << "" << "" << QStringList() << false << QStringList() << "";
        QTest::newRow("not installed") << "tstlauncher-" << false << rec << rec << "" << QStringList() << false << QStringList() << "";
    }

    void startProgramm()
    {
        QFETCH(QString, folderPrefix);
        QFETCH(bool, registered);
        QFETCH(QString, executeFilename);
        QFETCH(QString, recorderAt);
        QFETCH(QString, executeParams);
        QFETCH(QStringList, arguments);
        QFETCH(bool, started);
        QFETCH(QStringList, expectedArguments);
        QFETCH(QString, expectedFolder);

        const QString folder = newProgrammFolder(folderPrefix);
        const QString other = newProgrammFolder();
        QVERIFY(!folder.isEmpty() && !other.isEmpty());
        const QString name = QFileInfo(folder).fileName();
        executeFilename.replace(QStringLiteral("%OTHER%"), QFileInfo(other).fileName());
        if (!recorderAt.isEmpty())
            QVERIFY(installRecorder(folder + QLatin1Char('/') + recorderAt));
        // The program the escaping path points at exists and would run.
        QVERIFY(installRecorder(other + QStringLiteral("/argrecorder")));

        QJsonArray programms;
        if (registered) {
            QJsonObject programm;
            programm.insert(QStringLiteral("programm_name"), name);
            programm.insert(QStringLiteral("execute_filename"), executeFilename);
            programm.insert(QStringLiteral("execute_params"), executeParams);
            QJsonObject config;
            config.insert(QStringLiteral("plugin_name"), QStringLiteral("cfgmod"));
            config.insert(QStringLiteral("plugin_type"), QStringLiteral("config"));
            programm.insert(QStringLiteral("plugins"), QJsonArray{config});
            programms.append(programm);
        }
        writeRegistry(programms);

        QCOMPARE(::startProgramm(name, arguments), started);
        if (!started) {
            // Nothing ran, here or in the other folder.
            QThread::msleep(300);
            QVERIFY(!QFileInfo::exists(folder + QStringLiteral("/arguments.rec")));
            QVERIFY(!QFileInfo::exists(folder + QStringLiteral("/bin/arguments.rec")));
            QVERIFY(!QFileInfo::exists(other + QStringLiteral("/arguments.rec")));
            return;
        }
        const QString recorderFolder = QFileInfo(folder + QLatin1Char('/') + recorderAt).absolutePath();
        QString workingFolder;
        QStringList recorded;
        QVERIFY(readRecord(recorderFolder, &workingFolder, &recorded));
        QCOMPARE(workingFolder, QDir::cleanPath(folder + QLatin1Char('/') + expectedFolder));
        expectedArguments.replaceInStrings(QStringLiteral("%ROOT%"), Settings::installRoot());
        QCOMPARE(recorded, expectedArguments);
    }

private:
    // A fresh folder under the install root; its name is the programm name.
    QString newProgrammFolder(const QString &prefix = QStringLiteral("tstlauncher-"));
    void writeRegistry(const QJsonArray &programms);

    QTemporaryDir m_base;
    QString m_home;
    QString m_registry;
    QString m_target;
    std::vector<std::unique_ptr<QTemporaryDir>> m_programmFolders;
    QString m_updaterIcon;
};

QString TestLauncher::newProgrammFolder(const QString &prefix)
{
    auto folder = std::make_unique<QTemporaryDir>(Settings::installRoot() + QLatin1Char('/') + prefix
                                                  + QStringLiteral("XXXXXX"));
    if (!folder->isValid())
        return QString();
    const QString path = folder->path();
    m_programmFolders.push_back(std::move(folder));
    return path;
}

void TestLauncher::writeRegistry(const QJsonArray &programms)
{
    QJsonObject top;
    top.insert(QStringLiteral("programms"), programms);
    QVERIFY(writeFile(m_registry, QJsonDocument(top).toJson()));
}

QTEST_GUILESS_MAIN(TestLauncher)
#include "tst_launcher.moc"
