#include "updaterworld.h"

#include "privateroot.h"
#include "settings.h"
#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QXmlStreamWriter>

UpdaterWorld::UpdaterWorld()
    : m_root(privateInstallRoot())
{
}

QString UpdaterWorld::updaterDir() const
{
    return Settings::applicationDir();
}

QString UpdaterWorld::serverDir() const
{
    return m_root + QStringLiteral("/server");
}

QString UpdaterWorld::configPath() const
{
    return updaterDir() + QStringLiteral("/config.ini");
}

QString UpdaterWorld::registryPath() const
{
    return updaterDir() + QStringLiteral("/installed.json");
}

QString UpdaterWorld::packwrightPath()
{
    return QStringLiteral(KESTRA_BIN_DIR "/packwright");
}

QList<ModuleSpec> UpdaterWorld::catalogue()
{
    QList<ModuleSpec> list;
    ModuleSpec updater;
    updater.name = QStringLiteral("kestraupd");
    updater.ruName = QStringLiteral("Программа обновления");
    updater.type = QStringLiteral("project");
    updater.guid = QStringLiteral("ac1dba94-cd1b-402a-9679-8390a3929fa2");
    updater.executeFilename = QStringLiteral("kestraupd");
    updater.files.insert(QStringLiteral("kestraupd"), QByteArray("updater build 2\n"));
    list.append(updater);

    ModuleSpec lab;
    lab.name = QStringLiteral("kestra_lab");
    lab.ruName = QStringLiteral("Лаборатория");
    lab.type = QStringLiteral("project");
    lab.guid = QStringLiteral("15e5bfdc-78cf-4062-82db-79841f6069b0");
    lab.executeFilename = QStringLiteral("lab");
    lab.depends.insert(QStringLiteral("lab_core"), true);
    lab.depends.insert(QStringLiteral("lab_reports"), false);
    lab.depends.insert(QStringLiteral("lab_config"), true);
    lab.files.insert(QStringLiteral("lab"), QByteArray("#!/bin/sh\nexit 0\n"));
    lab.files.insert(QStringLiteral("readme.txt"), QByteArray("Лаборатория 1.0\n"));
    list.append(lab);

    ModuleSpec labCore;
    labCore.name = QStringLiteral("lab_core");
    labCore.ruName = QStringLiteral("Ядро лаборатории");
    labCore.type = QStringLiteral("plugin");
    labCore.guid = QStringLiteral("3c2b6a1e-0d4f-4e5a-9b8c-7d6e5f4a3b21");
    labCore.files.insert(QStringLiteral("core.dll"), patternBytes(20000, 11));
    labCore.files.insert(QStringLiteral("sub/data.bin"), patternBytes(3000, 12));
    list.append(labCore);

    ModuleSpec labReports;
    labReports.name = QStringLiteral("lab_reports");
    labReports.ruName = QStringLiteral("Отчёты лаборатории");
    labReports.type = QStringLiteral("plugin");
    labReports.guid = QStringLiteral("9a8b7c6d-5e4f-4a3b-8c2d-1e0f9a8b7c6d");
    labReports.files.insert(QStringLiteral("reports.dll"), patternBytes(5000, 13));
    list.append(labReports);

    ModuleSpec labConfig;
    labConfig.name = QStringLiteral("lab_config");
    labConfig.ruName = QStringLiteral("Настройки лаборатории");
    labConfig.type = QStringLiteral("config");
    labConfig.guid = QStringLiteral("0f1e2d3c-4b5a-4968-8776-a5b4c3d2e1f0");
    labConfig.files.insert(QStringLiteral("settings.ini"), QByteArray("[lab]\nmode=1\n"));
    list.append(labConfig);

    ModuleSpec reg;
    reg.name = QStringLiteral("kestra_reg");
    reg.ruName = QStringLiteral("Регистратура");
    reg.type = QStringLiteral("project");
    reg.guid = QStringLiteral("5b4a3c2d-1e0f-4a9b-8c7d-6e5f4a3b2c1d");
    reg.executeFilename = QStringLiteral("reg");
    reg.depends.insert(QStringLiteral("reg_core"), true);
    reg.depends.insert(QStringLiteral("reg_print"), false);
    reg.files.insert(QStringLiteral("reg"), QByteArray("#!/bin/sh\nexit 0\n"));
    list.append(reg);

    ModuleSpec regCore;
    regCore.name = QStringLiteral("reg_core");
    regCore.ruName = QStringLiteral("Ядро регистратуры");
    regCore.type = QStringLiteral("plugin");
    regCore.guid = QStringLiteral("7e6d5c4b-3a29-4817-a6b5-c4d3e2f1a0b9");
    regCore.files.insert(QStringLiteral("regcore.dll"), patternBytes(8000, 14));
    list.append(regCore);

    ModuleSpec regPrint;
    regPrint.name = QStringLiteral("reg_print");
    regPrint.ruName = QStringLiteral("Печать талонов");
    regPrint.type = QStringLiteral("plugin");
    regPrint.guid = QStringLiteral("2d1c0b9a-8f7e-4d6c-9b5a-4f3e2d1c0b9a");
    regPrint.files.insert(QStringLiteral("print.dll"), patternBytes(4000, 15));
    list.append(regPrint);
    return list;
}

QStringList UpdaterWorld::programmGuids(const QList<ModuleSpec> &modules)
{
    QStringList guids;
    for (const ModuleSpec &module : modules) {
        if (module.type == QLatin1String("project"))
            guids.append(module.guid);
    }
    return guids;
}

bool UpdaterWorld::buildPack(const ModuleSpec &module, QString *error)
{
    const QString source = m_root + QStringLiteral("/sources/") + module.name;
    QDir(source).removeRecursively();
    QDir().mkpath(source);
    for (auto it = module.files.constBegin(); it != module.files.constEnd(); ++it) {
        if (!writeFile(source + QLatin1Char('/') + it.key(), it.value())) {
            if (error)
                *error = QStringLiteral("can't write ") + it.key();
            return false;
        }
    }
    const QString output = serverDir() + QStringLiteral("/packs/") + module.name;
    QProcess packwright;
    packwright.setProcessChannelMode(QProcess::MergedChannels);
    packwright.start(packwrightPath(), {QStringLiteral("-m"), module.name, QStringLiteral("-f"), source,
                                        QStringLiteral("-o"), output});
    if (!packwright.waitForFinished(30000) || packwright.exitStatus() != QProcess::NormalExit
        || packwright.exitCode() != 0) {
        if (error)
            *error = QStringLiteral("packwright failed for %1: %2 %3")
                         .arg(module.name, packwright.errorString(), QString::fromLocal8Bit(packwright.readAll()));
        packwright.kill();
        packwright.waitForFinished(5000);
        return false;
    }
    return true;
}

bool UpdaterWorld::writeProjectDocument(const QList<ModuleSpec> &modules, QString *error)
{
    QDir().mkpath(serverDir());
    QFile file(serverDir() + QStringLiteral("/project.xml"));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        if (error)
            *error = file.errorString();
        return false;
    }
    QXmlStreamWriter xml(&file);
    xml.setAutoFormatting(true);
    xml.writeStartDocument();
    xml.writeStartElement(QStringLiteral("root"));
    xml.writeStartElement(QStringLiteral("projects"));
    for (const ModuleSpec &module : modules) {
        xml.writeStartElement(QStringLiteral("project"));
        xml.writeAttribute(QStringLiteral("name"), module.name);
        xml.writeAttribute(QStringLiteral("type"), module.type);
        xml.writeAttribute(QStringLiteral("ru_name"), module.ruName);
        xml.writeAttribute(QStringLiteral("is_base"), module.type == QLatin1String("project") ? QStringLiteral("true")
                                                                                               : QStringLiteral("false"));
        xml.writeAttribute(QStringLiteral("guid"), module.guid);
        xml.writeStartElement(QStringLiteral("bin"));
        xml.writeStartElement(QStringLiteral("x86"));
        xml.writeAttribute(QStringLiteral("path"), QStringLiteral("packs/") + module.name);
        xml.writeAttribute(QStringLiteral("file_name"), QStringLiteral("update_fileinfo.xml"));
        xml.writeAttribute(QStringLiteral("date"), QStringLiteral("2026-12-01T10:00:00"));
        xml.writeAttribute(QStringLiteral("execute_filename"), module.executeFilename);
        xml.writeAttribute(QStringLiteral("execute_params"), QString());
        xml.writeEndElement();
        xml.writeEndElement();
        xml.writeStartElement(QStringLiteral("depends"));
        for (auto it = module.depends.constBegin(); it != module.depends.constEnd(); ++it) {
            xml.writeStartElement(QStringLiteral("depend"));
            xml.writeAttribute(QStringLiteral("project"), it.key());
            xml.writeAttribute(QStringLiteral("is_nessesary"), it.value() ? QStringLiteral("true")
                                                                          : QStringLiteral("false"));
            xml.writeEndElement();
        }
        xml.writeEndElement();
        xml.writeEmptyElement(QStringLiteral("do_not_delete"));
        xml.writeEndElement();
    }
    xml.writeEndElement();
    xml.writeEndElement();
    xml.writeEndDocument();
    return !xml.hasError();
}

bool UpdaterWorld::publish(const QList<ModuleSpec> &modules, QString *error)
{
    for (const ModuleSpec &module : modules) {
        if (!buildPack(module, error))
            return false;
    }
    return writeProjectDocument(modules, error);
}

ModuleSpec UpdaterWorld::find(const QList<ModuleSpec> &modules, const QString &name)
{
    for (const ModuleSpec &module : modules) {
        if (module.name == name)
            return module;
    }
    return ModuleSpec();
}

bool UpdaterWorld::writeConfig(const QStringList &projectKeys, const QString &extraIni, const QString &sourcePath)
{
    QString ini;
    ini += QStringLiteral("[General]\nupdate_servers_count=1\n\n");
    ini += QStringLiteral("[server1]\nsource_path=%1\nlocal_file_path=main.xml\nmetod=GET\n\n")
               .arg(sourcePath.isEmpty() ? serverDir() + QStringLiteral("/project.xml") : sourcePath);
    ini += QStringLiteral("[projects]\nprojects_count=%1\n").arg(projectKeys.size());
    for (int i = 0; i < projectKeys.size(); ++i)
        ini += QStringLiteral("key%1=%2\n").arg(i + 1).arg(projectKeys.at(i));
    ini += QLatin1Char('\n') + extraIni;
    return writeFile(configPath(), ini.toUtf8());
}

bool UpdaterWorld::writeRegistry(const QJsonObject &registry)
{
    return writeFile(registryPath(), QJsonDocument(registry).toJson(QJsonDocument::Indented));
}

bool UpdaterWorld::removeRegistry()
{
    return !QFileInfo::exists(registryPath()) || QFile::remove(registryPath());
}

void UpdaterWorld::load()
{
    Settings *settings = Settings::instance();
    settings->setConfigPath(configPath());
    settings->fillProjects();
    settings->fillMirrors();
    settings->loadInstalledProgramms();
}

QJsonObject UpdaterWorld::programmEntry(const ModuleSpec &programm, const QList<ModuleSpec> &plugins)
{
    QJsonObject entry;
    entry.insert(QStringLiteral("type"), programm.type);
    entry.insert(QStringLiteral("display_name"), programm.ruName);
    entry.insert(QStringLiteral("execute_filename"), programm.executeFilename);
    entry.insert(QStringLiteral("execute_params"), QString());
    entry.insert(QStringLiteral("programm_name"), programm.name);
    if (!plugins.isEmpty()) {
        QJsonArray array;
        for (const ModuleSpec &plugin : plugins) {
            QJsonObject object;
            object.insert(QStringLiteral("plugin_name"), plugin.name);
            object.insert(QStringLiteral("plugin_display_name"), plugin.ruName);
            object.insert(QStringLiteral("plugin_type"), plugin.type);
            array.append(object);
        }
        entry.insert(QStringLiteral("plugins"), array);
    }
    return entry;
}
