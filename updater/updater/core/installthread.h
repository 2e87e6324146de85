#ifndef INSTALLTHREAD_H
#define INSTALLTHREAD_H

#include <QMap>
#include <QSharedPointer>
#include <QString>
#include <QStringList>
#include <QThread>

class ProjectPlugin;
class QDomDocument;
class QFile;
class QDomElement;
class QXmlStreamWriter;

// The worker of one installation run: removes what the user asked to remove,
// installs or updates the selected programs and modules, records them in the
// installed-programs registry and, in mirror mode, lays out a mirror folder.
// Everything it does on disk and over the network happens on this thread; it
// talks to the outside only through its four signals.
//
// Setters are called before start() and never while the thread runs.
class InstallThread : public QThread
{
    Q_OBJECT
    // The update of one module, with its own state, acting for this thread.
    friend class ModuleStep;

public:
    explicit InstallThread(QObject *parent = nullptr);
    ~InstallThread() override;

    // ---- run parameters ----
    void setProgrammsToUpdate(const QMap<QString, QStringList> &programms);
    QMap<QString, QStringList> programmsToUpdate() const;

    void setProgrammsToRemove(const QStringList &programms);
    QStringList programmsToRemove() const;

    void setPluginsToRemove(const QMap<QString, QStringList> &plugins);
    QMap<QString, QStringList> pluginsToRemove() const;

    void setChangeConfig(bool changeConfig);
    bool changeConfig() const;

    // Root of the run: the install root, or the mirror's folder. Left empty,
    // a normal run uses Settings::installRoot() and a mirror run refuses to
    // start.
    void setInstallPath(const QString &path);
    QString installPath() const;

    void setMirror(bool mirror);
    bool isMirror() const;

    void setMakeBackup(bool makeBackup);
    bool makeBackup() const;

    void setTitle(const QString &title);
    QString title() const;

    void setFoldersToRemove(const QStringList &folders);
    QStringList foldersToRemove() const;

    // Folder of a program or module: installPath + "/" + the name, the
    // updater's own program in "updater_temp", and in mirror mode the
    // element's guid.
    QString programmPath(const QString &name) const;

    // Byte count for display: "%1 б", "%1 Кб" or "%1 Mб".
    static QString sizeToString(qint64 size);

    // A file-information document is read whole (mapped, or into a DOM for
    // a mirror or a removal): one of 10,000 files takes under 3 MB, so this
    // bound leaves room for modules far larger while a hostile server
    // cannot exhaust memory or the temporary volume with it.
    static constexpr qint64 kMaxFileInfoDocumentSize = 128 * 1024 * 1024;

signals:
    void message(QString text);
    void error(QString text);
    void status(QString text);
    // nDo of nAll within the current module (KiB for updates, files for
    // removals), with a line describing the item.
    void progress(int nDo, int nAll, QString text);
    // The run has found a file to fetch, replace or delete: the first sign,
    // in each module, that it is more than a check of an installation that
    // is already current.
    void filesToChange();

protected:
    void run() override;

private:
    using PluginPtr = QSharedPointer<ProjectPlugin>;

    // removal pass and its pieces
    void removeProgramms();
    bool removePlugin(const PluginPtr &plugin);
    bool backupFolder(const QString &name);
    QStringList backupFiles(const QString &folder);
    bool fitsZipFormat(const QStringList &files, const QString &prefix, QString *reason);
    bool writeBackup(QFile *archive, const QStringList &files, const QString &prefix);

    // update pass and its pieces
    void updateProgramms();
    bool updatePlugin(const PluginPtr &plugin);
    // Republishes the signed upstream project documents in the mirror.
    void writeUpstreamDocuments();

    // mirror output
    void writeProject(const PluginPtr &plugin, QXmlStreamWriter &writer);
    // False, with the reason reported, when this pass must leave the
    // published mirror.xml as it is; mirrored counts the programs done.
    bool mirrorDocumentDue(int mirrored);
    void writeMirrorDocument();
    bool saveMirrorFile(const QString &fileName, const QByteArray &bytes);
    void rewriteMirrorData(QDomElement entry, const QString &path, const QString &fileName);
    void writeMirrorFileinfo(const QDomDocument &document, const QString &folder);
    void removeFolders();

    // programmPath of a module whose folder name is safe to use; otherwise
    // reports the refusal and returns false.
    bool moduleFolder(const QString &name, QString *folder);

    // A cancelled run says what it left unfinished: each module cut short,
    // then everything selected that it did not bring up to date.
    void reportCutModule(const PluginPtr &plugin, bool firstInstall);
    void reportStop();

    const QString fileinfoName;
    const QString mirrorFileinfoName;
    const QString mirrorDocumentName;
    QString m_installPath;
    QMap<QString, QStringList> m_programmsToUpdate;
    QStringList m_programmsToRemove;
    QMap<QString, QStringList> m_pluginsToRemove;
    QStringList removedPlugins;
    bool m_changeConfig = false;
    QStringList updatedPlugins;
    QStringList m_foldersToRemove;
    bool m_isMirror = false;
    bool m_makeBackup = false;
    QString m_title;

    // Set when an interruption cut a module step or the update pass short.
    bool m_stopped = false;
};

#endif // INSTALLTHREAD_H
