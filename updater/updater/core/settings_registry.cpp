// The installed-programs registry: installed.json and every query on it.
// Each query reads the file afresh, so what an install thread wrote is seen
// by the next query on any thread.

#include "settings.h"

#include "edition.h"
#include "filemove.h"
#include "fileops.h"
#include "installedprogramm.h"
#include "projectdescription.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QMutexLocker>

namespace {

const QString kProgramms = QStringLiteral("programms");
const QString kProgrammName = QStringLiteral("programm_name");
const QString kPlugins = QStringLiteral("plugins");
const QString kPluginName = QStringLiteral("plugin_name");
const QString kPluginType = QStringLiteral("plugin_type");
const QString kExecuteFilename = QStringLiteral("execute_filename");
const QString kExecuteParams = QStringLiteral("execute_params");

// Program objects that carry a name, in file order. Anything that is not an
// object, or has no usable "programm_name", is invisible to every reader.
QList<QJsonObject> namedProgramms(const QJsonObject &config)
{
    QList<QJsonObject> result;
    const QJsonArray programms = config.value(kProgramms).toArray();
    for (const QJsonValue &value : programms) {
        const QJsonObject programm = value.toObject();
        if (!programm.value(kProgrammName).toString().isEmpty())
            result.append(programm);
    }
    return result;
}

// The first program object with this name, or an empty object.
QJsonObject findProgramm(const QJsonObject &config, const QString &name)
{
    if (name.isEmpty())
        return QJsonObject();
    const QJsonArray programms = config.value(kProgramms).toArray();
    for (const QJsonValue &value : programms) {
        const QJsonObject programm = value.toObject();
        if (programm.value(kProgrammName).toString() == name)
            return programm;
    }
    return QJsonObject();
}

// Reads a whole file; false when it cannot be opened.
bool readBytes(const QString &path, QByteArray *bytes, QString *error = nullptr)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = file.errorString();
        return false;
    }
    *bytes = file.readAll();
    return true;
}

// A registry is damaged when its bytes are no JSON at all; a document of
// another shape reads as an empty registry, as a missing key would.
bool parseRegistry(const QByteArray &bytes, QJsonObject *config, QString *reason = nullptr)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        if (reason)
            *reason = parseError.errorString() + QStringLiteral(" offset: ") + QString::number(parseError.offset);
        return false;
    }
    *config = document.object();
    return true;
}

bool writeAtomically(const QString &path, const QByteArray &data, QString *error)
{
    // Written beside the file and moved over it in one step, as QSaveFile
    // does; but QSaveFile gives up at once when another program holds the
    // old file (a virus scanner on Windows scans installed.json right after
    // each write), where the file layer's move tries again for a moment.
    const QString staging = stagingPath(QFileInfo(path).absoluteFilePath());
    // A leftover of a killed run, or a link someone planted: the new bytes
    // go into a file of their own (NewOnly), never through a link.
    QFile::remove(staging);
    QFile file(staging);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
        *error = file.errorString();
        return false;
    }
    hideStagingFile(staging);
    const bool written = file.write(data) == data.size() && file.flush();
    file.close();
    if (!written || file.error() != QFileDevice::NoError) {
        *error = file.errorString();
        QFile::remove(staging);
        return false;
    }
    if (!moveFileOver(staging, path, error)) {
        QFile::remove(staging);
        return false;
    }
    return true;
}

// Moves a registry that no longer parses out of the way under a name of its
// own, so that no later write can destroy what it still holds. Empty when the
// bytes could not be kept.
QString keepDamaged(const QString &path, const QByteArray &bytes)
{
    const QString aside = path + QStringLiteral(".damaged-")
                          + QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-hhmmss-zzz"));
    if (QFile::rename(path, aside))
        return aside;
    QString error;
    if (writeAtomically(aside, bytes, &error))
        return aside;
    qCritical().noquote() << QStringLiteral("can't keep damaged registry ") + path + QStringLiteral(": ") + error;
    return QString();
}

} // namespace

QJsonObject Settings::installedConfig() const
{
    const QString path = installedConfigPath();
    // Open first and ask about existence only when that fails: QFile's own
    // existence test can miss a file that another thread is just renaming
    // over the old one, and a missing registry must stay silent.
    QByteArray bytes;
    QString error;
    if (!readBytes(path, &bytes, &error)) {
        if (QFileInfo::exists(path))
            qWarning() << "can't open file to read: " << path << " error: " << error;
        return QJsonObject();
    }
    QJsonObject config;
    if (parseRegistry(bytes, &config))
        return config;
    return recoverInstalledConfig(path);
}

QJsonObject Settings::recoverInstalledConfig(const QString &path) const
{
    // Under the writers' lock: a writer may just have replaced the file, and
    // two readers must not both move it aside.
    QMutexLocker writers(&m_mutex);
    QByteArray bytes;
    QJsonObject config;
    QString reason;
    if (!readBytes(path, &bytes) || parseRegistry(bytes, &config, &reason))
        return config;
    qCritical().noquote() << QStringLiteral("installed registry ") + path + QStringLiteral(" is damaged: ") + reason;
    const QString aside = keepDamaged(path, bytes);
    if (aside.isEmpty())
        return QJsonObject();
    const QString backup = path + QStringLiteral(".bak");
    QByteArray backupBytes;
    QString error;
    if (readBytes(backup, &backupBytes) && parseRegistry(backupBytes, &config)
        && writeAtomically(path, backupBytes, &error)) {
        qCritical().noquote() << QStringLiteral("installed registry restored from ") + backup
                                     + QStringLiteral(", damaged copy kept as ") + aside;
        m_registryNotice = QCoreApplication::translate("main",
                                                       "Список установленных программ %1 был повреждён и "
                                                       "восстановлен из резервной копии %2. Повреждённый "
                                                       "файл сохранён как %3.")
                               .arg(QDir::toNativeSeparators(path), QDir::toNativeSeparators(backup),
                                    QDir::toNativeSeparators(aside));
        return config;
    }
    qCritical().noquote() << QStringLiteral("installed registry has no usable backup ") + backup
                                 + QStringLiteral(", damaged copy kept as ") + aside;
    m_registryNotice = QCoreApplication::translate("main",
                                                   "Список установленных программ %1 повреждён, резервной "
                                                   "копии нет. Повреждённый файл сохранён как %2.")
                           .arg(QDir::toNativeSeparators(path), QDir::toNativeSeparators(aside));
    return QJsonObject();
}

QString Settings::takeRegistryNotice()
{
    QMutexLocker writers(&m_mutex);
    QString notice;
    notice.swap(m_registryNotice);
    return notice;
}

bool Settings::setInstalledConfig(const QJsonObject &config, QString *error)
{
    // installedConfigPath only takes the cache's read lock, never the
    // writers' mutex, so reading it here cannot deadlock.
    QMutexLocker writers(&m_mutex);
    const QString path = installedConfigPath();
    QString reason;
    auto fail = [&](const QString &what) {
        qWarning().noquote() << QStringLiteral("can't write file: ") + path + QStringLiteral(" error: ") + what;
        if (error)
            *error = what;
        return false;
    };

    // A registry marked read-only stays as it is, as a plain overwrite would.
    const QFileInfo info(path);
    if (info.exists() && (!info.isFile() || !info.isWritable()))
        return fail(QStringLiteral("the file is not writable"));

    // The registry being replaced becomes the backup when it is good; when it
    // no longer parses its bytes are moved aside first, and nothing is
    // written if they cannot be kept.
    QByteArray previous;
    if (info.exists() && readBytes(path, &previous)) {
        QJsonObject parsed;
        if (parseRegistry(previous, &parsed)) {
            if (!writeAtomically(path + QStringLiteral(".bak"), previous, &reason))
                return fail(QStringLiteral("can't keep the backup: ") + reason);
        } else if (keepDamaged(path, previous).isEmpty()) {
            return fail(QStringLiteral("the damaged registry could not be kept aside"));
        }
    }

    // The new registry is written beside the old one and renamed over it only
    // when every byte is on disk: a crash or a full disk mid-write leaves the
    // old registry, never a truncated one, and readers on other threads see
    // either the old or the new file.
    if (!writeAtomically(path, QJsonDocument(config).toJson(QJsonDocument::Indented), &reason))
        return fail(reason);
    return true;
}

void Settings::loadInstalledProgramms()
{
    clearInstalledProgramms();
    const QList<QJsonObject> programms = namedProgramms(installedConfig());
    for (const QJsonObject &object : programms) {
        auto *programm = new InstalledProgramm;
        programm->name = object.value(kProgrammName).toString();
        programm->displayName = object.value(QStringLiteral("display_name")).toString();
        programm->executeFilename = object.value(kExecuteFilename).toString();
        programm->executeParams = object.value(kExecuteParams).toString();
        programm->type = object.value(QStringLiteral("type")).toString();
        const QJsonArray plugins = object.value(kPlugins).toArray();
        for (const QJsonValue &value : plugins) {
            const QJsonObject pluginObject = value.toObject();
            const QString pluginName = pluginObject.value(kPluginName).toString();
            if (pluginName.isEmpty())
                continue;
            auto *plugin = new InstalledPlugin;
            plugin->name = pluginName;
            plugin->displayName = pluginObject.value(QStringLiteral("plugin_display_name")).toString();
            plugin->type = pluginObject.value(kPluginType).toString();
            programm->plugins.append(plugin);
        }
        // A later record of the same name replaces the earlier one, which
        // nobody else holds.
        delete m_installedProgramms.take(programm->name);
        m_installedProgramms.insert(programm->name, programm);
    }
}

QString Settings::executeFilename(const QString &programmName) const
{
    return findProgramm(installedConfig(), programmName).value(kExecuteFilename).toString();
}

QString Settings::executablePath(const QString &programmName, QStringList *params) const
{
    const QJsonObject programm = findProgramm(installedConfig(), programmName);
    if (programm.isEmpty())
        return QString();
    const QString path = installRoot() + QLatin1Char('/') + programmName + QLatin1Char('/')
                         + programm.value(kExecuteFilename).toString();
    const QString executeParams = programm.value(kExecuteParams).toString();
    if (params && !executeParams.isEmpty()) {
        const QMap<QString, QString> placeholders = configPlaceholders(programmName);
        // Single blanks separate; two in a row give an empty parameter.
        const QStringList parts = executeParams.split(QLatin1Char(' '), Qt::KeepEmptyParts);
        for (const QString &part : parts)
            params->append(expandPlaceholders(part, placeholders));
    }
    return path;
}

QMap<QString, QString> Settings::configPlaceholders(const QString &programmName) const
{
    QMap<QString, QString> placeholders;
    const QJsonObject programm = findProgramm(installedConfig(), programmName);
    const QJsonArray plugins = programm.value(kPlugins).toArray();
    for (const QJsonValue &value : plugins) {
        const QJsonObject plugin = value.toObject();
        const QString name = plugin.value(kPluginName).toString();
        // A nameless module is no folder of its own; ":config:" must not
        // turn into the install root itself.
        if (name.isEmpty() || plugin.value(kPluginType).toString() != QLatin1String("config"))
            continue;
        placeholders.insert(QStringLiteral("config"), installRoot() + QLatin1Char('/') + name);
    }
    return placeholders;
}

QString Settings::expandPlaceholders(const QString &text, const QMap<QString, QString> &placeholders)
{
    QString result = text;
    for (auto it = placeholders.constBegin(); it != placeholders.constEnd(); ++it)
        result.replace(QLatin1Char(':') + it.key() + QLatin1Char(':'), it.value());
    return result;
}

QMap<QString, QStringList> Settings::installedModules(const QString &programmName) const
{
    QMap<QString, QStringList> result;
    const QList<QJsonObject> programms = namedProgramms(installedConfig());
    for (const QJsonObject &object : programms) {
        const QString name = object.value(kProgrammName).toString();
        if (!programmName.isEmpty() && name != programmName)
            continue;
        QStringList modules; // a repeated program name starts over
        const QJsonArray plugins = object.value(kPlugins).toArray();
        for (const QJsonValue &value : plugins) {
            // A nameless module would address the install root itself.
            const QString pluginName = value.toObject().value(kPluginName).toString();
            if (!pluginName.isEmpty())
                modules.append(pluginName);
        }
        result.insert(name, modules);
    }

    // Every run also brings the updater itself up to date, even before the
    // registry knows it.
    const QString self = editionKey();
    if (!result.contains(self)) {
        for (const ProjectDescription *description : m_programmDescriptions) {
            if (description->base() && description->base()->name() == self) {
                result.insert(self, QStringList());
                break;
            }
        }
    }
    return result;
}
