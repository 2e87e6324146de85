#include "filesettings.h"

#include <QCoreApplication>
#include <QDate>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QSettings>

namespace {

QString defaultLogsBase()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/logs/");
}

} // namespace

FileSettings &FileSettings::instance()
{
    static FileSettings settings;
    return settings;
}

void FileSettings::setConfigPath(const QString &path)
{
    m_configPath = path;
    m_configured = true;
}

void FileSettings::setRuntimeValue(const QString &group, const QString &key, const QVariant &value)
{
    m_runtimeValues[group][key] = value;
}

QVariant FileSettings::value(const QString &group, const QString &key, const QVariant &defaultValue) const
{
    const auto groupIt = m_runtimeValues.constFind(group);
    if (groupIt != m_runtimeValues.constEnd()) {
        const auto keyIt = groupIt->constFind(key);
        if (keyIt != groupIt->constEnd())
            return *keyIt;
    }
    if (m_configPath.isEmpty() || !QFileInfo(m_configPath).isFile())
        return defaultValue;
    QSettings file(m_configPath, QSettings::IniFormat);
    file.setIniCodec("UTF-8");
    // QSettings keeps keys without a group in the INI section [General]; a
    // group literally named "General" would be looked for in "[%General]",
    // where nobody writes the copier's keys.
    const bool generalSection = group.isEmpty() || group == QLatin1String("General");
    if (!generalSection)
        file.beginGroup(group);
    return file.value(key, defaultValue);
}

QString FileSettings::fromPath() const
{
    return value(QStringLiteral("General"), QStringLiteral("from_path"), QStringLiteral("updater_temp")).toString();
}

QString FileSettings::toPath() const
{
    return value(QStringLiteral("General"), QStringLiteral("to_path"), QStringLiteral("updater")).toString();
}

QString FileSettings::logsPath() const
{
    const QString base = m_configured
                             ? value(QStringLiteral("General"), QStringLiteral("logs_path"), defaultLogsBase()).toString()
                             : defaultLogsBase();
    const QString folder = base + QLatin1Char('/') + QDate::currentDate().toString(QStringLiteral("yyyy_MM"));
    if (!QFileInfo::exists(folder) && !QDir().mkpath(folder))
        qCritical().noquote() << QStringLiteral("can't create dir: %1").arg(folder);
    return folder;
}
