#include "runningexecutables.h"

#include "processlist.h"

#include <QCoreApplication>
#include <QDir>

Qt::CaseSensitivity pathCaseSensitivity()
{
    return platform::pathsIgnoreCase() ? Qt::CaseInsensitive : Qt::CaseSensitive;
}

QList<RunningExecutable> runningExecutables(const QSet<QString> &names)
{
    const bool ignoreCase = platform::pathsIgnoreCase();
    const auto self = static_cast<std::uint64_t>(QCoreApplication::applicationPid());
    std::vector<platform::ProcessEntry> processes;
    platform::listProcesses(processes);
    QList<RunningExecutable> found;
    for (const platform::ProcessEntry &process : processes) {
        const QString name = QString::fromStdWString(process.exeFile);
        // The name narrows the search cheaply; only matching processes are
        // asked for their executable's path.
        if (process.processId == self || !names.contains(ignoreCase ? name.toLower() : name))
            continue;
        const QString path =
            QDir::fromNativeSeparators(QString::fromStdWString(platform::processExecutable(process.processId)));
        if (!path.isEmpty())
            found.append({process.processId, path});
    }
    return found;
}
