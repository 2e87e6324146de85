// Linux: the process list from procfs.

#include "processlist.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QStringList>

#include <algorithm>

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
        entry.exeFile = (executable.isEmpty() ? command : QFileInfo(executable).fileName()).toStdWString();
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
    modules.push_back(executable.toStdWString());
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
        modules.push_back(path.toStdWString());
    }
    return modules;
}

std::wstring processExecutable(std::uint64_t processId)
{
    return executableOf(processId).toStdWString();
}

bool pathsIgnoreCase()
{
    return false;
}

} // namespace platform
