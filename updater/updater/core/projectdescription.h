#ifndef PROJECTDESCRIPTION_H
#define PROJECTDESCRIPTION_H

#include <QDateTime>
#include <QList>
#include <QMap>
#include <QSharedPointer>
#include <QString>
#include <QStringList>

class QDomElement;
class QXmlStreamWriter;
class ProjectPlugin;

using ProjectPluginPtr = QSharedPointer<ProjectPlugin>;

// One child of a project element's "bin": where one update pack lies.
class PluginBinary
{
public:
    PluginBinary() = default;

    bool loadFromXml(const QDomElement &element);

    QString arch() const { return m_arch; }
    void setArch(const QString &v) { m_arch = v; }
    QString path() const { return m_path; }
    void setPath(const QString &v) { m_path = v; }
    QString fileName() const { return m_fileName; }
    void setFileName(const QString &v) { m_fileName = v; }
    QString sha1() const { return m_sha1; }
    void setSha1(const QString &v) { m_sha1 = v; }
    QDateTime date() const { return m_date; }
    void setDate(const QDateTime &v) { m_date = v; }
    QString executeFilename() const { return m_executeFilename; }
    void setExecuteFilename(const QString &v) { m_executeFilename = v; }
    QString sourceDir() const { return m_sourceDir; }
    void setSourceDir(const QString &v) { m_sourceDir = v; }
    QString executeParams() const { return m_executeParams; }
    void setExecuteParams(const QString &v) { m_executeParams = v; }

    // sourceDir + "/" + path: the folder the engine fetches the pack from.
    QString fullPath() const;

private:
    QString m_arch = QStringLiteral("x86");
    QString m_path;
    QString m_fileName;
    QString m_sha1;
    QDateTime m_date;
    QString m_executeFilename;
    QString m_sourceDir;
    QString m_executeParams;
};

// One "project" element: a program when its type is "project", else a module.
class ProjectPlugin
{
public:
    ProjectPlugin() = default;
    ~ProjectPlugin();
    ProjectPlugin(const ProjectPlugin &) = delete;
    ProjectPlugin &operator=(const ProjectPlugin &) = delete;

    bool loadFromXml(const QDomElement &element);

    // Writes the element in the form a mirror's project document uses:
    // "project" with name, type, real_path, parent, ru_name, is_base, guid;
    // then "bin" (one element per binary, tagged by its arch, attributes
    // path, file_name, sha1, date with milliseconds, execute_filename,
    // execute_params), "depends" (one "depend" per name, sorted) and
    // "do_not_delete".
    // The mirror refresh points every binary at its own copy: a non-null
    // pathOverride / fileNameOverride is written as "path" / "file_name" of
    // every binary instead of the entry's own value; null texts (the
    // defaults) keep the entries' values. An empty but non-null text writes
    // an empty attribute. withBinaries false writes an empty "bin": a
    // mirror lists an element whose files it does not hold that way.
    void writeXml(QXmlStreamWriter &writer, const QString &pathOverride = QString(),
                  const QString &fileNameOverride = QString(), bool withBinaries = true) const;

    QString name() const { return m_name; }
    void setName(const QString &v) { m_name = v; }
    QString parent() const { return m_parent; }
    void setParent(const QString &v) { m_parent = v; }
    QString type() const { return m_type; }
    void setType(const QString &v) { m_type = v; }
    QString ruName() const { return m_ruName; }
    void setRuName(const QString &v) { m_ruName = v; }
    QString realPath() const { return m_realPath; }
    void setRealPath(const QString &v) { m_realPath = v; }
    bool isBase() const { return m_isBase; }
    void setIsBase(bool v) { m_isBase = v; }
    QString guid() const { return m_guid; }
    void setGuid(const QString &v) { m_guid = v; }
    QString sourceDir() const { return m_sourceDir; }
    void setSourceDir(const QString &v) { m_sourceDir = v; }

    QList<PluginBinary *> binaries() const { return m_binaries; }
    void addBinary(PluginBinary *binary); // takes ownership

    QMap<QString, bool> depends() const { return m_depends; }
    void insertDepend(const QString &name, bool necessary) { m_depends.insert(name, necessary); }
    void clearDepends() { m_depends.clear(); }

    QStringList doNotDelete() const { return m_doNotDelete; }
    void setDoNotDelete(const QStringList &v) { m_doNotDelete = v; }

private:
    QString m_name;
    QString m_parent;
    QString m_type;
    QString m_ruName;
    QString m_realPath;
    bool m_isBase = true;
    QString m_guid;
    QList<PluginBinary *> m_binaries;
    QMap<QString, bool> m_depends;
    QStringList m_doNotDelete;
    QString m_sourceDir;
};

// One program with the modules it needs. Owns its base element; module
// elements are shared with other descriptions and with the settings' table
// of all elements, and go away with their last holder.
class ProjectDescription
{
public:
    ProjectDescription() = default;
    ~ProjectDescription();
    ProjectDescription(const ProjectDescription &) = delete;
    ProjectDescription &operator=(const ProjectDescription &) = delete;

    ProjectPluginPtr base() const { return m_base; }
    void setBase(const ProjectPluginPtr &base) { m_base = base; }

    QList<ProjectPluginPtr> modules() const { return m_modules; }
    QMap<QString, ProjectPluginPtr> allModules() const { return m_allModules; }

    QString sourceDir() const { return m_sourceDir; }
    void setSourceDir(const QString &v) { m_sourceDir = v; }
    QString serverKey() const { return m_serverKey; }
    void setServerKey(const QString &v) { m_serverKey = v; }

    bool containsDepend(const QString &name) const;
    bool isNecessary(const QString &name) const;
    void addPlugin(const ProjectPluginPtr &plugin);
    void clear();

private:
    QList<ProjectPluginPtr> m_modules;
    ProjectPluginPtr m_base;
    QMap<QString, ProjectPluginPtr> m_allModules;
    QString m_sourceDir;
    QString m_serverKey;
};

#endif // PROJECTDESCRIPTION_H
