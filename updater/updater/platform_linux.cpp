// Linux: procfs for the processes, the XDG user folders for the shortcut
// places, and freedesktop .desktop files as shortcuts.

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

// The kernel marks the executable or a mapped file whose directory entry is
// gone (replaced by an update while running) this way; the process still
// runs that file, so it still counts as running from the old path.
const QString kDeletedMark = QStringLiteral(" (deleted)");

QString stripDeletedMark(QString path)
{
    if (path.endsWith(kDeletedMark))
        path.chop(kDeletedMark.size());
    return path;
}

// Target of /proc/PID/exe; empty for kernel threads, zombies and processes
// this user may not inspect.
QString executableOf(quint64 pid)
{
    const QByteArray link = "/proc/" + QByteArray::number(pid) + "/exe";
    QByteArray target(4096, Qt::Uninitialized);
    // A longer path than the buffer is cut by readlink; grow a few times.
    for (int attempt = 0; attempt < 4; ++attempt) {
        const ssize_t length = ::readlink(link.constData(), target.data(), static_cast<size_t>(target.size()));
        if (length < 0)
            return QString();
        if (length < target.size()) {
            target.truncate(static_cast<int>(length));
            return stripDeletedMark(QFile::decodeName(target));
        }
        target.resize(target.size() * 4);
    }
    return QString();
}

bool readProcFile(quint64 pid, const char *name, QByteArray &content)
{
    QFile file(QStringLiteral("/proc/%1/%2").arg(pid).arg(QLatin1String(name)));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    content = file.readAll();
    return true;
}

// Fills the entry from /proc/PID/stat: "pid (comm) state ppid ..." where comm
// may itself hold blanks and parentheses, so the fields are counted from the
// last closing parenthesis.
bool readStat(quint64 pid, ProcessEntry &entry, QString &command)
{
    QByteArray stat;
    if (!readProcFile(pid, "stat", stat))
        return false;
    const int open = stat.indexOf('(');
    const int close = stat.lastIndexOf(')');
    if (open < 0 || close < open)
        return false;
    command = QString::fromUtf8(stat.mid(open + 1, close - open - 1));
    const QList<QByteArray> fields = stat.mid(close + 1).simplified().split(' ');
    // After the command: state(0) ppid(1) ... flags(6) ... priority(15) nice(16) num_threads(17)
    if (fields.size() < 18)
        return false;
    entry.processId = pid;
    entry.parentProcessId = fields.at(1).toULongLong();
    entry.flags = fields.at(6).toULongLong();
    entry.priorityClassBase = fields.at(15).toLongLong();
    entry.threadCount = fields.at(17).toULongLong();
    return true;
}

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

bool listProcesses(std::vector<ProcessEntry> &processes)
{
    processes.clear();
    QDir proc(QStringLiteral("/proc"));
    if (!proc.exists())
        return false;
    std::vector<quint64> pids;
    const QStringList names = proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &name : names) {
        bool number = false;
        const quint64 pid = name.toULongLong(&number);
        if (number)
            pids.push_back(pid);
    }
    std::sort(pids.begin(), pids.end());
    for (const quint64 pid : pids) {
        ProcessEntry entry;
        QString command;
        if (!readStat(pid, entry, command))
            continue; // ended between the listing and now
        const QString executable = executableOf(pid);
        // Without access to the executable the kernel's short command name
        // (at most 15 characters) is the best name there is.
        entry.exeFile = toWide(executable.isEmpty() ? command : QFileInfo(executable).fileName());
        processes.push_back(entry);
    }
    return true;
}

std::vector<std::wstring> listModules(std::uint64_t processId)
{
    std::vector<std::wstring> modules;
    const QString executable = executableOf(processId);
    if (executable.isEmpty())
        return modules;
    modules.push_back(toWide(executable));
    QByteArray maps;
    if (!readProcFile(processId, "maps", maps))
        return modules;
    QStringList seen{executable};
    const QList<QByteArray> lines = maps.split('\n');
    for (const QByteArray &line : lines) {
        // address perms offset device inode [path]; the path may hold blanks.
        const int slash = line.indexOf('/');
        if (slash < 0)
            continue;
        const QString path = stripDeletedMark(QFile::decodeName(line.mid(slash)));
        if (seen.contains(path))
            continue;
        seen.append(path);
        modules.push_back(toWide(path));
    }
    return modules;
}

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
    return executableOf(static_cast<quint64>(::getpid())).toStdWString();
}

const wchar_t *executableSuffix()
{
    return L"";
}

void attachParentConsole()
{
}

} // namespace platform
