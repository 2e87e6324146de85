#include "processinfo.h"

#include "platform.h"

#include <QDebug>
#include <QFileInfo>

QList<ProcessInfo> ProcessInfo::getProcessList()
{
    QList<ProcessInfo> result;
    std::vector<platform::ProcessEntry> entries;
    if (!platform::listProcesses(entries)) {
        qCritical().noquote() << QStringLiteral("CreateToolhelp32Snapshot failed!");
        return result;
    }
    result.reserve(static_cast<int>(entries.size()));
    for (const platform::ProcessEntry &entry : entries) {
        ProcessInfo info;
        info.usageCount = entry.usageCount;
        info.processId = entry.processId;
        info.moduleId = entry.moduleId;
        info.parentProcessId = entry.parentProcessId;
        info.threadCount = entry.threadCount;
        info.priorityClassBase = entry.priorityClassBase;
        info.flags = entry.flags;
        info.exeFile = QString::fromStdWString(entry.exeFile);
        result.append(info);
    }
    return result;
}

QStringList modulePaths(const ProcessInfo &process)
{
    QStringList paths;
    const std::vector<std::wstring> modules = platform::listModules(process.processId);
    paths.reserve(static_cast<int>(modules.size()));
    for (const std::wstring &module : modules)
        paths.append(QString::fromStdWString(module));
    return paths;
}

QString exeFilePath(const ProcessInfo &process)
{
    const QStringList paths = modulePaths(process);
    for (const QString &path : paths) {
        const QFileInfo info(path);
        if (info.fileName() == process.exeFile)
            return info.absoluteFilePath();
    }
    return QString();
}

bool isProgrammRunning(const QString &exeName, const QString &path)
{
    const QList<ProcessInfo> processes = ProcessInfo::getProcessList();
    for (const ProcessInfo &process : processes) {
        // The name only narrows the search; the full path decides, so a
        // program of the same name in another folder does not count.
        if (process.exeFile.indexOf(exeName, 0, Qt::CaseInsensitive) < 0)
            continue;
        if (exeFilePath(process) == path)
            return true;
    }
    return false;
}
