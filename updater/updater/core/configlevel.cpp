#include "configlevel.h"

#include "fileops.h"
#include "settings.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>

namespace {

// One plugin's schema folder: every file of the level over its plain name.
void applyToSchema(const QString &schemaPath, const QString &level, QStringList *failures)
{
    const QString suffix = QLatin1Char('_') + level;
    const QDir schema(schemaPath);
    const QFileInfoList files = schema.entryInfoList(QDir::Files | QDir::Hidden, QDir::NoSort);
    for (const QFileInfo &source : files) {
        if (!source.fileName().contains(level, Qt::CaseSensitive))
            continue;
        // Only the file name loses the level suffix: a folder above that
        // happens to hold the same text must not redirect the copy
        // somewhere else.
        QString targetName = source.fileName();
        targetName.remove(suffix, Qt::CaseSensitive);
        if (targetName.isEmpty() || targetName == source.fileName())
            continue;
        const QString target = source.absolutePath() + QLatin1Char('/') + targetName;
        const QString sourcePath = source.absoluteFilePath();

        bool copied = true;
        QString error;
        if (QFileInfo::exists(target)) {
            const QString sourceHash = calcHash(sourcePath);
            if (!sourceHash.isEmpty() && calcHash(target) == sourceHash)
                continue;
            copied = replaceLocalFile(sourcePath, target, &error);
        } else {
            copied = copyLocalFile(sourcePath, target, &error);
        }
        if (!copied) {
            qWarning().noquote() << error;
            failures->append(error);
        }
    }
}

} // namespace

bool applyConfigLevel(const QString &programmName, QStringList *failures)
{
    Settings *settings = Settings::instance();
    const QString level = settings->value(QStringLiteral("config"), QStringLiteral("level"), QStringLiteral("0"))
                              .toString();
    // Level "0" is also what a missing key means: nothing is written back,
    // since writing through QSettings would rewrite the administrator's
    // config.ini whole (comments dropped, hand-written paths re-escaped).
    if (level == QLatin1String("0") || level.isEmpty())
        return true;

    const QString root = Settings::installRoot();
    QStringList found;
    const QJsonArray programms = settings->installedConfig().value(QStringLiteral("programms")).toArray();
    for (const QJsonValue &value : programms) {
        const QJsonObject programm = value.toObject();
        const QString name = programm.value(QStringLiteral("programm_name")).toString();
        if (name.isEmpty() || (!programmName.isEmpty() && name != programmName))
            continue;
        const QJsonArray plugins = programm.value(QStringLiteral("plugins")).toArray();
        for (const QJsonValue &pluginValue : plugins) {
            const QString pluginName = pluginValue.toObject().value(QStringLiteral("plugin_name")).toString();
            applyToSchema(root + QLatin1Char('/') + pluginName + QStringLiteral("/schema"), level, &found);
        }
    }
    if (failures)
        failures->append(found);
    return found.isEmpty();
}
