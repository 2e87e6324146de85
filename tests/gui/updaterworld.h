#ifndef UPDATERWORLD_H
#define UPDATERWORLD_H

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

// One element of the project document the tests publish: a program (type
// "project") or a module, with the files of its update pack.
struct ModuleSpec
{
    QString name;
    QString ruName;
    QString type;
    QString guid;
    QString executeFilename;
    QMap<QString, bool> depends; // module name -> necessary
    QMap<QString, QByteArray> files; // relative path -> content
};

// A complete little installation for the window tests, laid out in the
// private install root of the test process: the updater's folder (with
// config.ini and installed.json), a folder update server with a project
// document and packs built by the real packwright, and room for mirrors.
class UpdaterWorld
{
public:
    UpdaterWorld();

    QString root() const { return m_root; }
    QString updaterDir() const;
    QString serverDir() const;
    QString configPath() const;
    QString registryPath() const;

    // The usual catalogue: the updater itself, a laboratory program and a
    // registry-desk program, each with necessary and optional modules.
    static QList<ModuleSpec> catalogue();
    static QStringList programmGuids(const QList<ModuleSpec> &modules);

    // Builds every module's pack with packwright and writes the project
    // document "project.xml" into the server folder.
    bool publish(const QList<ModuleSpec> &modules, QString *error = nullptr);
    bool buildPack(const ModuleSpec &module, QString *error = nullptr);
    bool writeProjectDocument(const QList<ModuleSpec> &modules, QString *error = nullptr);

    // Writes config.ini: server1 is the folder server, the given project
    // keys, and extra INI text appended as is.
    bool writeConfig(const QStringList &projectKeys, const QString &extraIni = QString(),
                     const QString &sourcePath = QString());
    bool writeRegistry(const QJsonObject &registry);
    bool removeRegistry();

    // Points the settings store at config.ini and loads projects, mirrors
    // and the installed programs, as start-up does.
    void load();

    // A registry entry as the engine writes it.
    static QJsonObject programmEntry(const ModuleSpec &programm, const QList<ModuleSpec> &plugins);

    static QString packwrightPath();
    static ModuleSpec find(const QList<ModuleSpec> &modules, const QString &name);

private:
    QString m_root;
};

#endif // UPDATERWORLD_H
