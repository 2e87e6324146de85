#include "installthread.h"

#include "edition.h"
#include "projectdescription.h"
#include "settings.h"

#include <QDebug>
#include <QDir>
#include <QJsonArray>
#include <QJsonObject>

namespace {

// Of the builds published under the updater's own name a workstation takes
// only the one for its architecture and flavour.
bool passesBuildFilter(const ProjectPlugin &programm, const QString &architecture)
{
    const bool development = Settings::isDevelopmentInstallation();
    const QString ownName = development ? devEditionKey() : editionKey();
    if (programm.name() != ownName)
        return true;
    if (architecture == QLatin1String("x64"))
        return programm.guid() == (development ? devUpdaterGuid() : updaterGuid());
    if (architecture == QLatin1String("x32"))
        return programm.guid() == (development ? kUpdaterGuid32Dev : kUpdaterGuid32Release);
    return true;
}

QJsonObject registeredPlugin(const QJsonArray &plugins, const QString &name)
{
    for (const QJsonValue &value : plugins) {
        const QJsonObject plugin = value.toObject();
        if (plugin.value(QStringLiteral("plugin_name")).toString() == name)
            return plugin;
    }
    return QJsonObject();
}

} // namespace

void InstallThread::updateProgramms()
{
    updatedPlugins.clear();
    Settings *settings = Settings::instance();
    const QString architecture =
        settings->value(QStringLiteral("config"), QStringLiteral("version"), QStringLiteral("x64")).toString();

    int mirrored = 0;
    const QList<ProjectDescription *> descriptions = settings->programmDescriptions();
    for (const ProjectDescription *description : descriptions) {
        if (isInterruptionRequested()) {
            m_stopped = true;
            return; // no mirror document after an interrupted pass
        }
        const ProjectPluginPtr base = description->base();
        if (!base || !m_programmsToUpdate.contains(base->name()))
            continue;
        if (!passesBuildFilter(*base, architecture))
            continue;
        const QStringList selected = m_programmsToUpdate.value(base->name());
        if (!updatePlugin(base))
            continue;
        ++mirrored;

        QJsonObject config = settings->installedConfig();
        QJsonArray programms = config.value(QStringLiteral("programms")).toArray();
        int index = -1;
        for (int i = 0; i < programms.size(); ++i) {
            if (programms.at(i).toObject().value(QStringLiteral("programm_name")).toString() == base->name()) {
                index = i;
                break;
            }
        }

        const QList<PluginBinary *> binaries = base->binaries();
        QJsonObject entry;
        entry.insert(QStringLiteral("type"), base->type());
        entry.insert(QStringLiteral("display_name"), base->ruName());
        entry.insert(QStringLiteral("execute_filename"),
                     binaries.isEmpty() ? QString() : binaries.first()->executeFilename());
        entry.insert(QStringLiteral("execute_params"),
                     binaries.isEmpty() ? QString() : binaries.first()->executeParams());
        entry.insert(QStringLiteral("programm_name"), base->name());
        const QJsonArray registered = index >= 0
                                          ? programms.at(index).toObject().value(QStringLiteral("plugins")).toArray()
                                          : QJsonArray();
        QJsonArray plugins;
        bool cut = false;
        const QList<ProjectPluginPtr> modules = description->modules();
        for (const ProjectPluginPtr &module : modules) {
            if (!module || !selected.contains(module->name()))
                continue;
            if (!updatePlugin(module)) {
                // A module that a cancel kept from its update is still
                // installed as it was: its registration stays. One that was
                // being installed for the first time is not listed.
                if (isInterruptionRequested()) {
                    cut = true;
                    const QJsonObject old = registeredPlugin(registered, module->name());
                    if (!old.isEmpty())
                        plugins.append(old);
                }
                continue;
            }
            QJsonObject plugin;
            plugin.insert(QStringLiteral("plugin_name"), module->name());
            plugin.insert(QStringLiteral("plugin_display_name"), module->ruName());
            plugin.insert(QStringLiteral("plugin_type"), module->type());
            plugins.append(plugin);
        }
        if (!plugins.isEmpty())
            entry.insert(QStringLiteral("plugins"), plugins);

        if (m_changeConfig) {
            if (index >= 0)
                programms.replace(index, entry);
            else
                programms.append(entry);
            config.insert(QStringLiteral("programms"), programms);
            // An update the registry does not record is no finished update.
            QString reason;
            if (!settings->setInstalledConfig(config, &reason)) {
                emit error(tr("Не удалось записать список установленных программ %1 (%2)")
                               .arg(QDir::toNativeSeparators(settings->installedConfigPath()), reason));
                continue;
            }
        }
        if (!cut)
            emit message(tr("Программа %1 обновлена").arg(base->ruName()));
    }
    if (m_isMirror && mirrorDocumentDue(mirrored))
        writeMirrorDocument();
}

void InstallThread::reportCutModule(const PluginPtr &plugin, bool firstInstall)
{
    if (firstInstall)
        emit error(tr("Установка модуля %1 прервана, модуль не установлен").arg(plugin->ruName()));
    else
        emit error(tr("Обновление модуля %1 прервано, обновлены не все файлы").arg(plugin->ruName()));
}

void InstallThread::reportStop()
{
    // Everything selected that this pass did not bring up to date.
    const QMap<QString, ProjectPluginPtr> all = Settings::instance()->allPlugins();
    QStringList untouched;
    auto note = [&](const QString &name) {
        if (updatedPlugins.contains(name))
            return;
        const ProjectPluginPtr plugin = all.value(name);
        const QString shown = plugin && !plugin->ruName().isEmpty() ? plugin->ruName() : name;
        if (!untouched.contains(shown))
            untouched.append(shown);
    };
    for (auto it = m_programmsToUpdate.constBegin(); it != m_programmsToUpdate.constEnd(); ++it) {
        note(it.key());
        for (const QString &module : it.value())
            note(module);
    }
    qWarning().noquote() << QStringLiteral("run stopped on request; not finished: ")
                                + untouched.join(QStringLiteral(", "));
    if (untouched.isEmpty())
        emit error(tr("Обновление остановлено пользователем"));
    else
        emit error(tr("Обновление остановлено пользователем, не завершено: %1")
                       .arg(untouched.join(QStringLiteral(", "))));
}
