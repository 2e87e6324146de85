#include "packworld.h"

#include "testprocess.h"

#include <QDir>
#include <QJsonArray>
#include <QTemporaryDir>

#include <algorithm>

PackWorld::PackWorld(const QString &root, const QString &updaterDir)
    : m_temporary(root.isEmpty() ? new QTemporaryDir : nullptr)
    , m_root(m_temporary && m_temporary->isValid() ? m_temporary->path() : root)
    , m_updaterDir(updaterDir.isEmpty() ? m_root + QStringLiteral("/updater") : updaterDir)
{
}

QString PackWorld::makeTree(const QString &name, const QMap<QString, QByteArray> &files)
{
    const QString path = treeDir(name);
    QDir(path).removeRecursively();
    QDir().mkpath(path);
    for (auto it = files.constBegin(); it != files.constEnd(); ++it)
        writeFile(path + QLatin1Char('/') + it.key(), it.value());
    return path;
}

bool PackWorld::buildPack(const QString &module, const QString &tree, const QString &packFolder, QString *error)
{
    const QString out = serverDir() + QLatin1Char('/') + packFolder;
    QDir(out).removeRecursively();
    QDir().mkpath(out);
    return runTool(QStringLiteral(KESTRA_BIN_DIR "/packwright"), {"-m", module, "-f", tree, "-o", out}, error, 60000,
                   m_root);
}

bool PackWorld::writeProject(const QList<ModuleSpec> &modules, const QString &fileName)
{
    const auto flag = [](bool on) { return on ? QStringLiteral("true") : QStringLiteral("false"); };
    QString xml = QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<root>\n<projects>\n");
    for (const ModuleSpec &m : modules) {
        xml += QStringLiteral("<project name=\"%1\" type=\"%2\" ru_name=\"%3\" is_base=\"%4\" guid=\"%5\">\n"
                              "<bin><x64 path=\"%6\" file_name=\"update_fileinfo.xml\" sha1=\"\" date=\"2026-12-01T10:00:00.000\""
                              " execute_filename=\"%7\" execute_params=\"%8\"/></bin>\n<depends>")
                   .arg(m.name.toHtmlEscaped(), m.type.toHtmlEscaped(), (m.ruName.isEmpty() ? m.name : m.ruName).toHtmlEscaped(),
                        flag(m.type == QLatin1String("project")), m.guid.toHtmlEscaped(), m.packFolder().toHtmlEscaped(),
                        m.executeFilename.toHtmlEscaped(), m.executeParams.toHtmlEscaped());
        for (auto it = m.depends.constBegin(); it != m.depends.constEnd(); ++it)
            xml += QStringLiteral("<depend project=\"%1\" is_nessesary=\"%2\"/>").arg(it.key().toHtmlEscaped(), flag(it.value()));
        xml += QStringLiteral("</depends>\n<do_not_delete>");
        for (const QString &file : m.doNotDelete)
            xml += QStringLiteral("<file file_name=\"%1\"/>").arg(file.toHtmlEscaped());
        xml += QStringLiteral("</do_not_delete>\n</project>\n");
    }
    return writeFile(serverDir() + QLatin1Char('/') + fileName, (xml + QStringLiteral("</projects>\n</root>\n")).toUtf8());
}

bool PackWorld::publish(const QList<ModuleSpec> &modules, QString *error)
{
    if (!std::all_of(modules.begin(), modules.end(), [&](const ModuleSpec &m) { return buildPack(m, error); }))
        return false;
    if (writeProject(modules))
        return true;
    if (error)
        *error = QStringLiteral("can't write the project document");
    return false;
}

bool PackWorld::writeConfig(const QStringList &guids, const QString &extraIni, const QString &sourcePath)
{
    QString ini = QStringLiteral("[General]\nupdate_servers_count=1\nmirrors_count=0\ntransfer_stall_timeout=10\n\n");
    ini += QStringLiteral("[server1]\nsource_path=%1\nlocal_file_path=main.xml\nmetod=GET\n\n")
               .arg(sourcePath.isEmpty() ? serverDir() + QStringLiteral("/project.xml") : sourcePath);
    ini += QStringLiteral("[projects]\nprojects_count=%1\n").arg(guids.size());
    for (int i = 0; i < guids.size(); ++i)
        ini += QStringLiteral("key%1=%2\n").arg(i + 1).arg(guids.at(i));
    return writeFile(configPath(), (ini + QLatin1Char('\n') + extraIni).toUtf8());
}

QList<ModuleSpec> PackWorld::catalogue()
{
    return {
        {"kestraupd", "project", "ac1dba94-cd1b-402a-9679-8390a3929fa2", "Программа обновления", {}, "kestraupd", {},
         {}, {{"kestraupd", "updater build 2\n"}}, {}},
        {"kestra_lab", "project", "15e5bfdc-78cf-4062-82db-79841f6069b0", "Лаборатория",
         {{"lab_core", true}, {"lab_reports", false}, {"lab_config", true}}, "lab", {}, {},
         {{"lab", "#!/bin/sh\nexit 0\n"}, {"readme.txt", "Лаборатория 1.0\n"}}, {}},
        {"lab_core", "plugin", "3c2b6a1e-0d4f-4e5a-9b8c-7d6e5f4a3b21", "Ядро лаборатории", {}, {}, {}, {},
         {{"core.dll", patternBytes(20000, 11)}, {"sub/data.bin", patternBytes(3000, 12)}}, {}},
        {"lab_reports", "plugin", "9a8b7c6d-5e4f-4a3b-8c2d-1e0f9a8b7c6d", "Отчёты лаборатории", {}, {}, {}, {},
         {{"reports.dll", patternBytes(5000, 13)}}, {}},
        {"lab_config", "config", "0f1e2d3c-4b5a-4968-8776-a5b4c3d2e1f0", "Настройки лаборатории", {}, {}, {}, {},
         {{"settings.ini", "[lab]\nmode=1\n"}}, {}},
        {"kestra_reg", "project", "5b4a3c2d-1e0f-4a9b-8c7d-6e5f4a3b2c1d", "Регистратура",
         {{"reg_core", true}, {"reg_print", false}}, "reg", {}, {}, {{"reg", "#!/bin/sh\nexit 0\n"}}, {}},
        {"reg_core", "plugin", "7e6d5c4b-3a29-4817-a6b5-c4d3e2f1a0b9", "Ядро регистратуры", {}, {}, {}, {},
         {{"regcore.dll", patternBytes(8000, 14)}}, {}},
        {"reg_print", "plugin", "2d1c0b9a-8f7e-4d6c-9b5a-4f3e2d1c0b9a", "Печать талонов", {}, {}, {}, {},
         {{"print.dll", patternBytes(4000, 15)}}, {}},
    };
}

QStringList PackWorld::programmGuids(const QList<ModuleSpec> &modules)
{
    QStringList guids;
    for (const ModuleSpec &module : modules)
        if (module.type == QLatin1String("project"))
            guids.append(module.guid);
    return guids;
}

ModuleSpec PackWorld::find(const QList<ModuleSpec> &modules, const QString &name)
{
    const auto it = std::find_if(modules.begin(), modules.end(), [&](const ModuleSpec &m) { return m.name == name; });
    return it == modules.end() ? ModuleSpec() : *it;
}

QJsonObject PackWorld::programmEntry(const ModuleSpec &programm, const QList<ModuleSpec> &plugins)
{
    QJsonObject entry{{"type", programm.type}, {"display_name", programm.ruName},
                      {"execute_filename", programm.executeFilename}, {"execute_params", programm.executeParams},
                      {"programm_name", programm.name}};
    QJsonArray array;
    for (const ModuleSpec &plugin : plugins)
        array.append(QJsonObject{
            {"plugin_name", plugin.name}, {"plugin_display_name", plugin.ruName}, {"plugin_type", plugin.type}});
    if (!array.isEmpty())
        entry.insert(QStringLiteral("plugins"), array);
    return entry;
}

QMap<QString, QByteArray> snapshot(const QString &root, const QStringList &skipTopLevel)
{
    QMap<QString, QByteArray> result;
    for (const QString &rel : listFilesRecursive(root))
        if (!skipTopLevel.contains(rel.section(QLatin1Char('/'), 0, 0)))
            result.insert(rel, readFile(root + QLatin1Char('/') + rel));
    return result;
}
