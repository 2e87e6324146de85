#ifndef RUNNINGEXECUTABLES_H
#define RUNNINGEXECUTABLES_H

#include <QList>
#include <QSet>
#include <QString>
#include <QtGlobal>

// One running process and the full path of its executable ('/' separated).
struct RunningExecutable
{
    quint64 processId = 0;
    QString path;
};

// The processes other than this one whose executable's file name is one of
// names, with their executables' paths. Names and paths follow the system's
// letter case rules: where it ignores case, names must be given in lower
// case. Empty when no process list can be had.
QList<RunningExecutable> runningExecutables(const QSet<QString> &names);

// The letter case rule of the system's paths.
Qt::CaseSensitivity pathCaseSensitivity();

#endif // RUNNINGEXECUTABLES_H
