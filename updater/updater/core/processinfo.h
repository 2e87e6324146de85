#ifndef PROCESSINFO_H
#define PROCESSINFO_H

#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>

// One running process, as the system's process list reports it. A program's
// files cannot be replaced while it runs; these answer whether it does.
struct ProcessInfo
{
    quint64 usageCount = 0;
    quint64 processId = 0;
    quint64 moduleId = 0;
    quint64 parentProcessId = 0;
    quint64 threadCount = 0;
    qint64 priorityClassBase = 0;
    quint64 flags = 0;
    // The executable's file name, without its folder.
    QString exeFile;

    // A fresh snapshot of every running process, in the system's order;
    // empty (with a critical log line) when no snapshot can be taken.
    static QList<ProcessInfo> getProcessList();
};

// Full paths of the modules loaded in the process, the executable first;
// empty for a process that cannot be inspected.
QStringList modulePaths(const ProcessInfo &process);

// Absolute path of the process's executable: the first module whose file
// name equals exeFile exactly; empty when there is none.
QString exeFilePath(const ProcessInfo &process);

// True when a process whose name contains exeName (ignoring case) runs the
// executable at exactly path (letter case counts).
bool isProgrammRunning(const QString &exeName, const QString &path);

#endif // PROCESSINFO_H
