#pragma once

#include "testfiles.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QSharedPointer>
#include <QStringList>

class QTemporaryDir;

// An element of a project document the tests publish: a program (type "project") or a module, and its pack's files.
struct ModuleSpec
{
    QString name, type, guid, ruName;
    QMap<QString, bool> depends; // module name -> necessary
    QString executeFilename, executeParams;
    QStringList doNotDelete;
    QMap<QString, QByteArray> files; // relative path -> content
    QString pack;                    // pack folder below the server folder; empty: "packs/<name>"

    QString packFolder() const { return pack.isEmpty() ? QStringLiteral("packs/") + name : pack; }
};

// A little update world on real files: source trees, a folder update server with packs built by the real packwright and
// a project document, and the updater's folder with config.ini and installed.json.
class PackWorld
{
public:
    // Empty root: a fresh temporary folder, removed with the world.
    explicit PackWorld(const QString &root = QString(), const QString &updaterDir = QString());

    bool isValid() const { return !m_root.isEmpty(); }
    QString root() const { return m_root; }
    QString serverDir() const { return m_root + QStringLiteral("/server"); }
    QString treeDir(const QString &name) const { return m_root + QStringLiteral("/trees/") + name; }
    QString updaterDir() const { return m_updaterDir; }
    QString configPath() const { return m_updaterDir + QStringLiteral("/config.ini"); }
    QString registryPath() const { return m_updaterDir + QStringLiteral("/installed.json"); }

    // Writes files (relative path -> content) as the source tree treeDir(name).
    QString makeTree(const QString &name, const QMap<QString, QByteArray> &files);
    // Packs tree as module into serverDir()/packFolder with packwright.
    bool buildPack(const QString &module, const QString &tree, const QString &packFolder, QString *error = nullptr);
    // The module's files as its tree, packed into its pack folder.
    bool buildPack(const ModuleSpec &module, QString *error = nullptr)
    {
        return buildPack(module.name, makeTree(module.name, module.files), module.packFolder(), error);
    }
    // Writes serverDir()/fileName as a project document.
    bool writeProject(const QList<ModuleSpec> &modules, const QString &fileName = QStringLiteral("project.xml"));
    // Every module's pack and the project document.
    bool publish(const QList<ModuleSpec> &modules, QString *error = nullptr);

    // config.ini: one server (empty: the folder server's project.xml), the admitted guids, extraIni as is.
    bool writeConfig(const QStringList &guids, const QString &extraIni = QString(),
                     const QString &sourcePath = QString());
    QJsonObject registry() const { return QJsonDocument::fromJson(readFile(registryPath())).object(); }
    bool writeRegistry(const QJsonObject &json) { return writeFile(registryPath(), QJsonDocument(json).toJson()); }
    bool removeRegistry() { return !QFile::exists(registryPath()) || QFile::remove(registryPath()); }

    // The updater itself, a laboratory and a registry-desk program, each with necessary and optional modules.
    static QList<ModuleSpec> catalogue();
    static QStringList programmGuids(const QList<ModuleSpec> &modules);
    static ModuleSpec find(const QList<ModuleSpec> &modules, const QString &name);
    // A registry entry as the engine writes it.
    static QJsonObject programmEntry(const ModuleSpec &programm, const QList<ModuleSpec> &plugins);

protected:
    void setUpdaterDir(const QString &path) { m_updaterDir = path; }

private:
    QSharedPointer<QTemporaryDir> m_temporary;
    QString m_root;
    QString m_updaterDir;
};

// True when installed holds exactly the files of tree, plus the module's local record update_fileinfo.xml (and, when
// given, the extra names), with equal bytes.
inline bool moduleEquals(const QString &installed, const QString &tree, QString *why = nullptr,
                         const QStringList &extra = QStringList())
{
    return treesEqual(installed, tree, why, QStringList{QStringLiteral("update_fileinfo.xml")} + extra);
}

// Snapshot of every file under root (relative path -> content), skipping the given top-level names.
QMap<QString, QByteArray> snapshot(const QString &root, const QStringList &skipTopLevel = QStringList());
