#ifndef SETTINGS_H
#define SETTINGS_H

#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QMutex>
#include <QSharedPointer>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <atomic>
#include <shared_mutex>

class ProjectDescription;
class ProjectPlugin;
struct InstalledProgramm;
struct MirrorDescription;
struct TransferOptions;

using ProjectPluginPtr = QSharedPointer<ProjectPlugin>;

// The updater's one store of configuration: config.ini with a run-time cache
// in front of it, the paths derived from it, the self-update flag and the
// tables of programs, mirrors and installed programs.
//
// Writers (setConfigPath, setValue, setRuntimeValue, setInstalledConfig) take
// the one non-recursive mutex. Readers take no part of it: the cache has a
// read-write lock of its own, so a reader on an install thread never sees a
// half-updated hash, and setInstalledConfig may read settings while it holds
// the writers' mutex.
class Settings
{
public:
    // The process-wide store. Tests may also build their own instances.
    static Settings *instance();

    Settings();
    ~Settings();
    Settings(const Settings &) = delete;
    Settings &operator=(const Settings &) = delete;

    bool setConfigPath(const QString &path);
    QString configPath() const;
    bool isConfigured() const;

    QVariant value(const QString &group, const QString &key, const QVariant &defaultValue = QVariant()) const;
    void setValue(const QString &group, const QString &key, const QVariant &value);
    void setRuntimeValue(const QString &group, const QString &key, const QVariant &value);

    // General/transfer_stall_timeout in milliseconds: how long a download
    // may receive nothing before it fails. A missing, zero or negative value
    // gives the default of 60 s.
    qint64 transferStallMilliseconds() const;
    // A transfer as this configuration makes it: the stall limit above and,
    // for a POST, the configured project GUIDs (transfer.h).
    TransferOptions transferOptions(const QString &method = QStringLiteral("GET"), qint64 maxBytes = -1) const;

    QString logsPath() const;
    QString installedConfigPath() const;
    static QString installRoot();
    bool makeBackup() const;

    // ---- trust in published documents ----
    // Raw publisher keys: those built into the edition and those of
    // [security] trusted_keys (base64, separated by commas). A key that does
    // not parse is logged and left out.
    QList<QByteArray> trustedKeys() const;
    // [security] require_signatures; by default true exactly when some key
    // is trusted, so installations keep working until their publisher signs.
    bool requireSignatures() const;
    // The state file of the signing times of accepted project documents,
    // beside the installed-programs registry.
    QString signatureStatePath() const;

    bool selfUpdatePending() const;
    void setSelfUpdatePending(bool pending);

    // ---- installed-programs registry (settings_registry.cpp) ----
    // Every query reads installed.json afresh. setInstalledConfig writes a
    // new file beside the old one and renames it over it, so a failed or
    // interrupted write leaves the old registry and readers never see a
    // half-written one. The previous good registry is kept as
    // installed.json.bak; a registry that no longer parses is moved aside
    // (installed.json.damaged-<time>) and restored from it.
    QJsonObject installedConfig() const;
    bool setInstalledConfig(const QJsonObject &config, QString *error = nullptr);
    // The Russian notice of the last registry recovery, cleared on reading.
    QString takeRegistryNotice();
    void loadInstalledProgramms();
    QString executeFilename(const QString &programmName) const;
    QString executablePath(const QString &programmName, QStringList *params = nullptr) const;
    QMap<QString, QString> configPlaceholders(const QString &programmName) const;
    static QString expandPlaceholders(const QString &text, const QMap<QString, QString> &placeholders);
    QMap<QString, QStringList> installedModules(const QString &programmName = QString()) const;

    // ---- projects, update servers and mirrors (settings_projects.cpp) ----
    QStringList projects() const;
    void setProjects(const QStringList &guids);
    // Rebuilds the descriptions and the table of all elements from the
    // servers' documents. The mirrors point into the old descriptions, so
    // they are emptied too: call fillMirrors afterwards. Every program also
    // receives the modules its modules need, whatever order the documents
    // list them in.
    void fillProjects();
    void fillMirrors();
    // The Russian error lines of the project documents the last
    // fillProjects refused (bad signature, expired, older than accepted).
    QStringList projectDocumentErrors() const;
    // The project documents the last fillProjects accepted by their
    // signature: each local copy (its envelope beside it) and the name it
    // was signed under. A mirror refresh republishes them.
    QList<QPair<QString, QString>> signedProjectDocuments() const;
    // server1's document when config.ini names none: the vendor's update host
    // with the edition's file.
    static QString defaultSourcePath();
    // Reads one project document that is already stored at localFile into
    // the tables, as fillProjects does for each server: elements get
    // baseFolder as their source folder, programs whose guid is not in
    // admitted are dropped, new programs get serverKey. False (with the
    // reason) when the file cannot be read or is not an acceptable document;
    // fillProjects then reads no further servers.
    bool readProjectDocument(const QString &localFile, const QString &serverKey, const QString &baseFolder,
                             const QStringList &admitted, QString *error = nullptr);

    // A server whose project document the last fillProjects could not use:
    // not fetched from its address or any fallback, or not readable.
    struct UnreadServer
    {
        QString group;  // "server1", ...
        QString source; // the server's own address (source_path)
        QString reason; // the last failure, as the transfer or parser gave it
    };
    // In server order; empty when every server was read. GUI thread only.
    QList<UnreadServer> unreadServers() const;
    // A server address as screens and logs show it: a URL without the
    // password that may be written into it, a path with the system's
    // separators.
    static QString displayAddress(const QString &source);

    // ---- the tables (copies of the containers; the store keeps ownership) ----
    QList<ProjectDescription *> programmDescriptions() const;
    QMap<QString, ProjectPluginPtr> allPlugins() const;
    QList<MirrorDescription *> mirrors() const;
    QMap<QString, InstalledProgramm *> installedProgramms() const;

    // The executable the updater runs from, also when it was replaced since.
    static QString applicationFile();
    // The folder the updater runs from; every relative default hangs off it.
    static QString applicationDir();
    // True when the updater's folder path contains "_dev" or "_debug".
    static bool isDevelopmentInstallation();

private:
    static QString cacheGroupName(const QString &group);
    void clearProjectTables();
    void clearMirrors();
    void clearInstalledProgramms();
    void completeDependencies();
    int listedCount(const QString &group, const QString &key, int defaultValue) const;
    // Fetches the project document source into local; with signatures
    // required, only once its envelope holds (and not older than the one
    // last accepted from stateKey), so that a refused document leaves the
    // local copy as it was.
    bool fetchProjectDocument(const QString &source, const QString &local, const QString &method,
                              const QString &stateKey, QString *error);
    // For a source without an envelope: a mirror's document, read through
    // the signed upstream documents the mirror keeps beside it. composed
    // receives the document to use.
    bool readThroughUpstream(const QString &source, const QByteArray &mirrorDocument, const QString &stateKey,
                             const QString &tempFolder, QByteArray *composed, QString *error);

    QString m_configPath;
    bool m_configured = false;
    QHash<QString, QHash<QString, QVariant>> m_cache;
    QList<ProjectDescription *> m_programmDescriptions;
    QMap<QString, ProjectPluginPtr> m_allPlugins;
    QList<MirrorDescription *> m_mirrors;
    QStringList m_projectErrors; // written by fillProjects on the GUI thread only
    QList<QPair<QString, QString>> m_signedDocuments; // likewise
    QList<UnreadServer> m_unreadServers;
    QMap<QString, InstalledProgramm *> m_installedProgramms;
    mutable QMutex m_mutex;
    mutable QString m_registryNotice; // guarded by m_mutex
    QJsonObject recoverInstalledConfig(const QString &path) const;
    std::atomic<bool> m_selfUpdatePending{false};

    // Guards m_cache, m_configPath and m_configured for readers. A standard
    // shared mutex rather than QReadWriteLock so that thread checkers see it.
    mutable std::shared_mutex m_stateLock;
};

// Forwards to the singleton.
bool setConfigPath(const QString &path);

#endif // SETTINGS_H
