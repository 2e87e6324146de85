// Linux: the XDG user folders for the shortcut places, and freedesktop
// .desktop files as shortcuts.

#include "platform.h"

#include "commandline.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <cerrno>
#include <unistd.h>

namespace platform {

namespace {

std::wstring toWide(const QString &text)
{
    return text.toStdWString();
}

QString fromWide(const std::wstring &text)
{
    return QString::fromStdWString(text);
}

QString homeFolder()
{
    const QString home = QFile::decodeName(qgetenv("HOME"));
    return home.isEmpty() ? QDir::homePath() : QDir::cleanPath(home);
}

// An XDG base folder from its variable; relative values are invalid and
// ignored, as the base-directory rules ask.
QString xdgBase(const char *variable, const QString &fallbackUnderHome)
{
    const QString value = QFile::decodeName(qgetenv(variable));
    if (!value.isEmpty() && QDir::isAbsolutePath(value))
        return QDir::cleanPath(value);
    return homeFolder() + QLatin1Char('/') + fallbackUnderHome;
}

// XDG_DESKTOP_DIR from user-dirs.dirs: a line XDG_DESKTOP_DIR="$HOME/..." or
// ="/absolute/path", with \" and \\ escapes inside the quotes.
QString desktopFolder()
{
    const QString home = homeFolder();
    const QString fallback = home + QStringLiteral("/Desktop");
    QFile file(xdgBase("XDG_CONFIG_HOME", QStringLiteral(".config")) + QStringLiteral("/user-dirs.dirs"));
    if (!file.open(QIODevice::ReadOnly))
        return fallback;
    QString found;
    // The file is a few lines long; a bounded read keeps a stray huge file harmless.
    const QList<QByteArray> lines = file.read(1 << 20).split('\n');
    for (const QByteArray &rawLine : lines) {
        const QByteArray line = rawLine.trimmed();
        if (!line.startsWith("XDG_DESKTOP_DIR"))
            continue;
        const int equals = line.indexOf('=');
        if (equals < 0 || line.left(equals).trimmed() != "XDG_DESKTOP_DIR")
            continue;
        const QByteArray value = line.mid(equals + 1).trimmed();
        if (value.size() < 2 || !value.startsWith('"') || !value.endsWith('"'))
            continue;
        QByteArray path;
        for (int i = 1; i < value.size() - 1; ++i) {
            if (value.at(i) == '\\' && i + 1 < value.size() - 1)
                ++i;
            path.append(value.at(i));
        }
        QString decoded = QString::fromUtf8(path);
        if (decoded == QLatin1String("$HOME") || decoded.startsWith(QLatin1String("$HOME/")))
            decoded = home + decoded.mid(5);
        else if (!decoded.startsWith(QLatin1Char('/')))
            continue;
        found = QDir::cleanPath(decoded); // the last valid line wins, as in xdg-user-dir
    }
    // A desktop set to the home folder itself means "no desktop folder";
    // shortcuts then go to the customary ~/Desktop rather than into $HOME.
    if (found.isEmpty() || found == home)
        return fallback;
    return found;
}

QString applicationsFolder()
{
    return xdgBase("XDG_DATA_HOME", QStringLiteral(".local/share")) + QStringLiteral("/applications");
}

// --- the shortcut's command line ---

// Characters that make an Exec argument need quotes.
bool needsExecQuotes(const QString &argument)
{
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    if (argument.isEmpty())
        return true;
    for (const QChar c : argument) {
        if (reserved.contains(c) || c.unicode() < 0x20 || c.unicode() == 0x7f)
            return true;
    }
    return false;
}

QString quoteExecArgument(const QString &argument)
{
    if (!needsExecQuotes(argument))
        return argument;
    QString quoted = QStringLiteral("\"");
    for (const QChar c : argument) {
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') || c == QLatin1Char('\\'))
            quoted.append(QLatin1Char('\\'));
        quoted.append(c);
    }
    quoted.append(QLatin1Char('"'));
    return quoted;
}

// The escapes of a string value: backslash, line feed, tab, carriage return,
// and a leading blank.
QString escapeValue(const QString &value)
{
    QString escaped;
    escaped.reserve(value.size() + 8);
    for (int i = 0; i < value.size(); ++i) {
        const QChar c = value.at(i);
        if (c == QLatin1Char('\\'))
            escaped.append(QLatin1String("\\\\"));
        else if (c == QLatin1Char('\n'))
            escaped.append(QLatin1String("\\n"));
        else if (c == QLatin1Char('\t'))
            escaped.append(QLatin1String("\\t"));
        else if (c == QLatin1Char('\r'))
            escaped.append(QLatin1String("\\r"));
        else if (c == QLatin1Char(' ') && i == 0)
            escaped.append(QLatin1String("\\s"));
        else
            escaped.append(c);
    }
    return escaped;
}

// The arguments text is split by the Windows rules it was written with, and
// each argument quoted for the desktop launcher.
QString execLine(const QString &target, const std::wstring &arguments)
{
    QStringList parts{quoteExecArgument(target)};
    const std::vector<std::wstring> split = commandline::split(arguments);
    for (const std::wstring &argument : split)
        parts.append(quoteExecArgument(fromWide(argument)));
    // Field codes start with '%'; a literal one is written twice.
    return escapeValue(parts.join(QLatin1Char(' '))).replace(QLatin1Char('%'), QLatin1String("%%"));
}

} // namespace

std::wstring userFolder(UserFolder folder)
{
    switch (folder) {
    case UserFolder::Desktop:
        return toWide(desktopFolder());
    case UserFolder::QuickLaunch:
        // No freedesktop place is a quick-launch bar; the top of the menu
        // folder is where docks, panels and application search pick launchers
        // from.
        return toWide(applicationsFolder());
    case UserFolder::ProgramsMenu:
        return toWide(applicationsFolder());
    }
    return std::wstring();
}

std::wstring shortcutFilePath(const std::wstring &path)
{
    QString file = fromWide(path);
    if (file.endsWith(QLatin1String(".lnk"), Qt::CaseInsensitive))
        file.chop(4);
    if (!file.endsWith(QLatin1String(".desktop")))
        file.append(QLatin1String(".desktop"));
    return toWide(file);
}

bool canBeShortcutIcon(const std::wstring &path)
{
    // What the freedesktop icon loaders read; .ico through gdk-pixbuf and Qt.
    static const QStringList images{QStringLiteral("png"), QStringLiteral("svg"), QStringLiteral("svgz"),
                                    QStringLiteral("xpm"), QStringLiteral("ico")};
    return images.contains(QFileInfo(fromWide(path)).suffix().toLower());
}

bool writeShortcut(const std::wstring &path, const Shortcut &shortcut, std::wstring *error)
{
    auto fail = [error](const QString &why) {
        if (error)
            *error = toWide(why);
        return false;
    };
    if (shortcut.target.empty())
        return fail(QStringLiteral("shortcut without a target"));
    const QString file = fromWide(shortcutFilePath(path));
    const QString name = QFileInfo(file).completeBaseName();

    // Hotkey, icon index and show command have no counterpart in a desktop
    // entry; the launcher decides how the window opens.
    QString entry = QStringLiteral("[Desktop Entry]\nType=Application\nVersion=1.0\n");
    entry += QStringLiteral("Name=") + escapeValue(name) + QLatin1Char('\n');
    entry += QStringLiteral("Exec=") + execLine(fromWide(shortcut.target), shortcut.arguments)
             + QLatin1Char('\n');
    if (!shortcut.workingDirectory.empty())
        entry += QStringLiteral("Path=") + escapeValue(fromWide(shortcut.workingDirectory)) + QLatin1Char('\n');
    if (!shortcut.iconPath.empty())
        entry += QStringLiteral("Icon=") + escapeValue(fromWide(shortcut.iconPath)) + QLatin1Char('\n');
    entry += QStringLiteral("Terminal=false\n");

    // Written whole or not at all: a half-written launcher would be worse
    // than the old one.
    QSaveFile out(file);
    if (!out.open(QIODevice::WriteOnly))
        return fail(QStringLiteral("can't open %1: %2").arg(file, out.errorString()));
    out.write(entry.toUtf8());
    if (!out.commit())
        return fail(QStringLiteral("can't write %1: %2").arg(file, out.errorString()));
    // Desktops start only launchers that carry the execute bit.
    QFile::setPermissions(file, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                    | QFileDevice::ReadGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther
                                    | QFileDevice::ExeOther);
    return true;
}

std::wstring runningExecutable()
{
    return processExecutable(static_cast<std::uint64_t>(::getpid()));
}

const wchar_t *executableSuffix()
{
    return L"";
}

void attachParentConsole()
{
}

} // namespace platform
