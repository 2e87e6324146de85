// Linux: the process list from procfs.

#include "processlist.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
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
// last closing parenthesis. Read with plain calls into a buffer on the
// stack: the list is taken at every start, a few hundred processes long.
bool readStat(quint64 pid, ProcessEntry &entry, QString &command)
{
    char path[48];
    std::snprintf(path, sizeof path, "/proc/%llu/stat", static_cast<unsigned long long>(pid));
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    // The fields after the command take at most a few hundred bytes; the
    // command at most 64 (the kernel cuts it at 15 characters, as bytes).
    char stat[1024];
    ssize_t length = 0;
    for (;;) {
        const ssize_t got = ::read(fd, stat + length, sizeof stat - 1 - size_t(length));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        length += got;
        if (size_t(length) == sizeof stat - 1)
            break;
    }
    ::close(fd);
    if (length <= 0)
        return false;
    stat[length] = '\0';
    const char *open = std::strchr(stat, '(');
    const char *close = std::strrchr(stat, ')');
    if (!open || !close || close < open)
        return false;
    command = QString::fromUtf8(open + 1, int(close - open - 1));
    // After the command: state(0) ppid(1) ... flags(6) ... priority(15) nice(16) num_threads(17)
    const char *fields[18];
    int count = 0;
    const char *p = close + 1;
    const char *end = stat + length;
    while (count < 18) {
        while (p < end && std::isspace(static_cast<unsigned char>(*p)))
            ++p;
        if (p >= end)
            break;
        fields[count++] = p;
        while (p < end && !std::isspace(static_cast<unsigned char>(*p)))
            ++p;
    }
    if (count < 18)
        return false;
    entry.processId = pid;
    entry.parentProcessId = std::strtoull(fields[1], nullptr, 10);
    entry.flags = std::strtoull(fields[6], nullptr, 10);
    entry.priorityClassBase = std::strtoll(fields[15], nullptr, 10);
    entry.threadCount = std::strtoull(fields[17], nullptr, 10);
    return true;
}

} // namespace

bool listProcesses(std::vector<ProcessEntry> &processes)
{
    processes.clear();
    DIR *proc = ::opendir("/proc");
    if (!proc)
        return false;
    std::vector<quint64> pids;
    while (const dirent *entry = ::readdir(proc)) {
        const char *name = entry->d_name;
        if (*name < '0' || *name > '9')
            continue;
        char *rest = nullptr;
        const unsigned long long pid = std::strtoull(name, &rest, 10);
        if (rest && *rest == '\0')
            pids.push_back(quint64(pid));
    }
    ::closedir(proc);
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
