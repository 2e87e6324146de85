#ifndef INSTALLPLAN_H
#define INSTALLPLAN_H

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

class ProjectDescription;
struct MirrorDescription;

// The rules by which the install actions turn what is installed and what is
// wanted into the parameters of a run. The main window, the selection dialog
// and the command-line runs all go through these, so a scheduled update does
// exactly what the same choice in the window would do.

// One row of the selection tree: a program or one of its modules.
struct SelectionRow
{
    QString name;
    QString displayName;
    bool ticked = false;
    // Locked rows are ticked and cannot be unticked: the updater itself and
    // every necessary module.
    bool locked = false;
    QList<SelectionRow> plugins;
};

// The rows the selection dialog starts with, for every offered program in
// list order: ticked where installed, the updater and necessary modules
// locked ticked.
QList<SelectionRow> selectionRows(const QList<ProjectDescription *> &descriptions,
                                  const QMap<QString, QStringList> &installed);

// Every ticked program with its ticked plugins (a later row of the same name
// replaces an earlier one).
QMap<QString, QStringList> selectionOf(const QList<SelectionRow> &rows);

// What a selection removes compared with what is installed.
struct SelectionChange
{
    QStringList programmsToRemove;
    QMap<QString, QStringList> pluginsToRemove;
};
SelectionChange compareSelection(const QMap<QString, QStringList> &installed,
                                 const QMap<QString, QStringList> &selection);

// The refresh of everything installed: what is updated and which programs
// are skipped because they are running.
struct RefreshSet
{
    QMap<QString, QStringList> toUpdate;
    QStringList runningNames;        // programm names of skipped programs
    QStringList runningDisplayNames; // their display names, when registered
};
RefreshSet collectRefreshSet();

// A mirror's update set: each program with all of its modules.
QMap<QString, QStringList> mirrorUpdateSet(const MirrorDescription &mirror);

#endif // INSTALLPLAN_H
