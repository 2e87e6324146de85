#include "settings.h"

#include "platform.h"

#include "edition.h"
#include "signature.h"

#include "installedprogramm.h"
#include "mirrordescription.h"
#include "projectdescription.h"
#include "transfer.h"

#include <QCoreApplication>
#include <QDate>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QMutexLocker>
#include <QSettings>
#include <QTextCodec>

#include <mutex>

namespace {

const char *const kGeneralGroup = "General";

void openIni(QSettings &ini, const QString &group)
{
    ini.setIniCodec(QTextCodec::codecForName("UTF-8"));
    // Keys without a group are stored in the [General] section. QSettings
    // would map a group literally named "General" to a section "[%General]",
    // so that name is treated as no group: both spellings reach one section.
    if (!group.isEmpty() && group != QLatin1String(kGeneralGroup))
        ini.beginGroup(group);
}

} // namespace

Settings *Settings::instance()
{
    static Settings settings;
    return &settings;
}

Settings::Settings() = default;

Settings::~Settings()
{
    clearMirrors();
    clearProjectTables();
    clearInstalledProgramms();
}

QString Settings::applicationFile()
{
    // Asked of the system once, at the first use early in start-up, and kept:
    // a hand-over may replace the executable while this process starts, and
    // Qt's own answer then comes from the command line and the search path,
    // which can name another folder or none, so that config.ini and the
    // registry would silently not be found.
    static const QString file = [] {
        const QString running = QString::fromStdWString(platform::runningExecutable());
        return running.isEmpty() ? QCoreApplication::applicationFilePath() : QDir::cleanPath(running);
    }();
    return file;
}

QString Settings::applicationDir()
{
    return QFileInfo(applicationFile()).absolutePath();
}

bool Settings::isDevelopmentInstallation()
{
    const QString dir = applicationDir();
    return dir.contains(QLatin1String("_dev")) || dir.contains(QLatin1String("_debug"));
}

QString Settings::cacheGroupName(const QString &group)
{
    return group.isEmpty() ? QString::fromLatin1(kGeneralGroup) : group;
}

bool Settings::setConfigPath(const QString &path)
{
    QMutexLocker writers(&m_mutex);
    std::unique_lock<std::shared_mutex> state(m_stateLock);
    m_configPath = path;
    m_configured = true;
    return true;
}

QString Settings::configPath() const
{
    std::shared_lock<std::shared_mutex> state(m_stateLock);
    return m_configPath;
}

bool Settings::isConfigured() const
{
    std::shared_lock<std::shared_mutex> state(m_stateLock);
    return m_configured;
}

QVariant Settings::value(const QString &group, const QString &key, const QVariant &defaultValue) const
{
    QString path;
    {
        std::shared_lock<std::shared_mutex> state(m_stateLock);
        const auto groupIt = m_cache.constFind(cacheGroupName(group));
        if (groupIt != m_cache.constEnd()) {
            const auto keyIt = groupIt->constFind(key);
            if (keyIt != groupIt->constEnd())
                return *keyIt;
        }
        path = m_configPath;
    }
    QSettings ini(path, QSettings::IniFormat);
    openIni(ini, group);
    return ini.value(key, defaultValue);
}

void Settings::setValue(const QString &group, const QString &key, const QVariant &value)
{
    QMutexLocker writers(&m_mutex);
    {
        QSettings ini(configPath(), QSettings::IniFormat);
        openIni(ini, group);
        // QSettings rewrites the whole file on any change, dropping the
        // administrator's comments and order; a value the file already holds
        // is therefore not written at all.
        if (!ini.contains(key) || ini.value(key) != value)
            ini.setValue(key, value);
    }
    std::unique_lock<std::shared_mutex> state(m_stateLock);
    m_cache[cacheGroupName(group)].insert(key, value);
}

void Settings::setRuntimeValue(const QString &group, const QString &key, const QVariant &value)
{
    QMutexLocker writers(&m_mutex);
    std::unique_lock<std::shared_mutex> state(m_stateLock);
    m_cache[group].insert(key, value);
}

// A download must never be able to wait forever on a server that stopped
// answering, so a bad value falls back to the default.
qint64 Settings::transferStallMilliseconds() const
{
    const int defaultSeconds = int(kDefaultTransferStallMilliseconds / 1000);
    bool ok = false;
    const int seconds = value(QString(), QStringLiteral("transfer_stall_timeout"), defaultSeconds).toInt(&ok);
    return ok && seconds > 0 ? qint64(seconds) * 1000 : kDefaultTransferStallMilliseconds;
}

TransferOptions Settings::transferOptions(const QString &method, qint64 maxBytes) const
{
    TransferOptions options;
    options.method = method;
    options.maxBytes = maxBytes;
    options.stallMilliseconds = transferStallMilliseconds();
    // Only a POST carries the project list; a GET reads nothing more.
    if (method.toUpper() == QLatin1String("POST"))
        options.projectIds = projects();
    return options;
}

QString Settings::logsPath() const
{
    const QString fallback = applicationDir() + QStringLiteral("/logs/");
    const QString base = isConfigured() ? value(QString(), QStringLiteral("logs_path"), fallback).toString()
                                        : fallback;
    const QString path = base + QLatin1Char('/') + QDate::currentDate().toString(QStringLiteral("yyyy_MM"));
    if (!QDir(path).exists() && !QDir().mkpath(path))
        qCritical().noquote() << QStringLiteral("can't create dir: %1").arg(path);
    return path;
}

QString Settings::installedConfigPath() const
{
    const QString fallback = applicationDir() + QStringLiteral("/installed.json");
    return isConfigured() ? value(QString(), QStringLiteral("install_config_path"), fallback).toString() : fallback;
}

QString Settings::installRoot()
{
    QDir dir(applicationDir());
    dir.cdUp();
    return dir.absolutePath();
}

bool Settings::makeBackup() const
{
    return value(QString(), QStringLiteral("make_backup"), false).toBool();
}

QList<QByteArray> Settings::trustedKeys() const
{
    // QSettings reads an unquoted value with commas as a list.
    const QVariant configured = value(QStringLiteral("security"), QStringLiteral("trusted_keys"));
    const QStringList fromConfig = configured.type() == QVariant::StringList
                                       ? configured.toStringList()
                                       : configured.toString().split(QLatin1Char(','));
    QList<QByteArray> keys;
    for (const QString &text : editionTrustedKeys() + fromConfig) {
        if (text.trimmed().isEmpty())
            continue;
        QByteArray key;
        QString error;
        if (!parsePublicKey(text.trimmed(), &key, &error)) {
            qWarning().noquote() << QStringLiteral("security/trusted_keys: ignored key: ") + error;
            continue;
        }
        if (!keys.contains(key))
            keys.append(key);
    }
    return keys;
}

bool Settings::requireSignatures() const
{
    const QVariant configured = value(QStringLiteral("security"), QStringLiteral("require_signatures"));
    return configured.isValid() ? configured.toBool() : !trustedKeys().isEmpty();
}

QString Settings::signatureStatePath() const
{
    return QFileInfo(installedConfigPath()).absolutePath() + QStringLiteral("/signed_documents.json");
}

bool Settings::selfUpdatePending() const
{
    return m_selfUpdatePending.load();
}

void Settings::setSelfUpdatePending(bool pending)
{
    m_selfUpdatePending.store(pending);
}

QList<ProjectDescription *> Settings::programmDescriptions() const
{
    return m_programmDescriptions;
}

QMap<QString, ProjectPluginPtr> Settings::allPlugins() const
{
    return m_allPlugins;
}

QList<MirrorDescription *> Settings::mirrors() const
{
    return m_mirrors;
}

QMap<QString, InstalledProgramm *> Settings::installedProgramms() const
{
    return m_installedProgramms;
}

void Settings::clearProjectTables()
{
    qDeleteAll(m_programmDescriptions);
    m_programmDescriptions.clear();
    m_allPlugins.clear();
}

void Settings::clearMirrors()
{
    qDeleteAll(m_mirrors);
    m_mirrors.clear();
}

void Settings::clearInstalledProgramms()
{
    qDeleteAll(m_installedProgramms);
    m_installedProgramms.clear();
}

bool setConfigPath(const QString &path)
{
    return Settings::instance()->setConfigPath(path);
}
