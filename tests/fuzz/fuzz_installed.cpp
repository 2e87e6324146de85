// installed.json as it may be found on a workstation: every query on it,
// and writing what was read must give back the same registry.

#include "fuzzsupport.h"
#include "installedprogramm.h"
#include "settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString path = writeScratch(QStringLiteral("installed.json"), data, size);
    static const QString copyPath = fuzzScratch()->filePath(QStringLiteral("written.json"));
    static const QString configPath = fuzzScratch()->filePath(QStringLiteral("config.ini"));
    Settings settings;
    // Until a settings file is set the store ignores path overrides.
    settings.setConfigPath(configPath);
    settings.setRuntimeValue(QStringLiteral("General"), QStringLiteral("install_config_path"), path);
    settings.loadInstalledProgramms();
    settings.loadInstalledProgramms(); // a reload frees the first table
    const QMap<QString, QStringList> modules = settings.installedModules();
    for (auto it = modules.constBegin(); it != modules.constEnd(); ++it) {
        QStringList params;
        settings.executablePath(it.key(), &params);
        settings.executeFilename(it.key());
        settings.installedModules(it.key());
    }
    if (modules.size() != settings.installedProgramms().size())
        abort(); // every named program is in both, and the updater is not yet known

    const QJsonObject read = settings.installedConfig();
    settings.setRuntimeValue(QStringLiteral("General"), QStringLiteral("install_config_path"), copyPath);
    settings.setInstalledConfig(read);
    // Compared as maps: QJsonObject's own comparison orders keys holding a
    // NUL character inconsistently and calls equal registries different.
    if (settings.installedConfig().toVariantMap() != read.toVariantMap())
        fuzzFail("registry changed on writing", QString());
    return 0;
}
