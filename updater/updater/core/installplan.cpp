#include "installplan.h"

#include "edition.h"
#include "installedprogramm.h"
#include "mirrordescription.h"
#include "processinfo.h"
#include "projectdescription.h"
#include "settings.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>

QList<SelectionRow> selectionRows(const QList<ProjectDescription *> &descriptions,
                                  const QMap<QString, QStringList> &installed)
{
    QList<SelectionRow> rows;
    for (const ProjectDescription *description : descriptions) {
        if (!description || !description->base())
            continue;
        SelectionRow row;
        row.name = description->base()->name();
        row.displayName = description->base()->ruName();
        row.ticked = installed.contains(row.name);
        // The updater is always part of the selection.
        row.locked = row.name == editionKey() || row.name == devEditionKey();
        row.ticked = row.ticked || row.locked;
        const QStringList installedPlugins = installed.value(row.name);
        for (const ProjectPluginPtr &module : description->modules()) {
            if (!module)
                continue;
            SelectionRow plugin;
            plugin.name = module->name();
            plugin.displayName = module->ruName();
            plugin.locked = description->isNecessary(plugin.name);
            plugin.ticked = plugin.locked || installedPlugins.contains(plugin.name, Qt::CaseSensitive);
            row.plugins.append(plugin);
        }
        rows.append(row);
    }
    return rows;
}

QMap<QString, QStringList> selectionOf(const QList<SelectionRow> &rows)
{
    QMap<QString, QStringList> result;
    for (const SelectionRow &row : rows) {
        if (!row.ticked)
            continue;
        QStringList plugins;
        for (const SelectionRow &plugin : row.plugins) {
            if (plugin.ticked)
                plugins.append(plugin.name);
        }
        result.insert(row.name, plugins);
    }
    return result;
}

SelectionChange compareSelection(const QMap<QString, QStringList> &installed,
                                 const QMap<QString, QStringList> &selection)
{
    SelectionChange change;
    for (auto it = installed.constBegin(); it != installed.constEnd(); ++it) {
        if (!selection.contains(it.key())) {
            change.programmsToRemove.append(it.key());
            continue;
        }
        const QStringList chosen = selection.value(it.key());
        for (const QString &plugin : it.value()) {
            if (!chosen.contains(plugin, Qt::CaseSensitive))
                change.pluginsToRemove[it.key()].append(plugin);
        }
    }
    return change;
}

RefreshSet collectRefreshSet()
{
    Settings *settings = Settings::instance();
    const QMap<QString, QStringList> programms = settings->installedModules(QString());
    const QMap<QString, InstalledProgramm *> records = settings->installedProgramms();
    RefreshSet set;
    for (auto it = programms.constBegin(); it != programms.constEnd(); ++it) {
        const QString &name = it.key();
        if (name == editionKey() || name == devEditionKey())
            continue;
        if (!isProgrammRunning(settings->executeFilename(name), settings->executablePath(name))) {
            set.toUpdate.insert(name, it.value());
            continue;
        }
        set.runningNames.append(name);
        const InstalledProgramm *record = records.value(name, nullptr);
        if (record)
            set.runningDisplayNames.append(record->displayName);
        else
            qWarning() << QCoreApplication::translate("MainWindow", "Не найдена установленная программа %1").arg(name);
    }
    return set;
}

QMap<QString, QStringList> mirrorUpdateSet(const MirrorDescription &mirror)
{
    QMap<QString, QStringList> toUpdate;
    for (const ProjectDescription *description : mirror.programms) {
        if (!description || !description->base())
            continue;
        QStringList modules;
        for (const ProjectPluginPtr &module : description->modules()) {
            if (module)
                modules.append(module->name());
        }
        toUpdate.insert(description->base()->name(), modules);
    }
    return toUpdate;
}

