#ifndef MODULESTEP_H
#define MODULESTEP_H

#include "fileinfoscan.h"
#include "updatelookahead.h"

#include <QCoreApplication>
#include <QDomDocument>
#include <QDomElement>
#include <QElapsedTimer>
#include <QFile>
#include <QSet>
#include <QSharedPointer>
#include <QString>
#include <QStringList>
#include <QVector>

#include <future>
#include <memory>

class InstallThread;
class PackFetcher;
class PluginBinary;
class ProjectPlugin;
class QTemporaryDir;

// One module brought up to date by an installation run: its file-information
// document fetched and checked, its entries read and placed, every file
// deleted, kept or replaced, the local record committed, and then the
// modules it needs. Built and run on the InstallThread, whose state it reads
// and whose signals it emits; one object serves one call of run().
class ModuleStep
{
    // The texts stay those of the installation run.
    Q_DECLARE_TR_FUNCTIONS(InstallThread)

public:
    ModuleStep(InstallThread &thread, const QSharedPointer<ProjectPlugin> &plugin);
    ~ModuleStep();
    ModuleStep(const ModuleStep &) = delete;
    ModuleStep &operator=(const ModuleStep &) = delete;

    // False when the module (or a necessary one) was not brought up to date.
    bool run();

private:
    // Where an entry of the document goes: its folder (one text shared by all
    // entries of that folder) and whether its texts passed the path checks.
    struct Placement
    {
        int folder = 0;
        bool safe = false;
    };
    struct Texts;

    // ---- the document ----
    bool prepare();
    bool fetchDocument();
    void fetchSignedCompanions();
    bool openDocument();
    void releaseDocument();
    bool readEntries();
    bool readMirrorEntries(QString *parseError, int *line, int *column);
    // With signatures required: whether the fetched document may be used
    // for this module (trusted signature, not older than the envelope kept
    // beside the record, its own module); otherwise reports why. From a
    // mirror, the signed upstream list it keeps is checked and the mirror's
    // must equal it but for data texts.
    bool signedDocumentAccepted();

    // ---- the files ----
    void plan();
    QVector<UpdateLookahead::Item> lookaheadItems() const;
    void apply();
    void applyEntry(int i);
    void refuseEntry(int i);
    void enterFolder(int i);
    void deleteEntry(const QString &target);
    void refreshEntry(int i);
    bool fetchChecked(int id, const QString &source, const QString &tempPath, const QString &hash);
    bool updateFile(int id, const QString &target, const QString &source, const QString &tempPath,
                    const QString &hash);
    void tell();
    void tellChange(); // once per step, before its first change
    QString currentText();
    PackFetcher *fetcherForJobs();
    void backupWhenDue();
    QString sizeText(qint64 size) const;
    QString targetOf(int i) const;
    QString sourceOf(int i) const;
    QString tempOf(int i) const;

    // ---- the record and what follows ----
    bool commitRecord(bool complete);
    bool replaceRecord();
    bool followDependencies();

    InstallThread &t;
    const QSharedPointer<ProjectPlugin> m_plugin;
    const QString m_name;
    bool m_selfUpdate = false;

    std::unique_ptr<QTemporaryDir> m_tempDir;
    // The sweep of staging files a killed run left in the module folder:
    // it walks the whole folder, so it runs while the document is fetched
    // and read, and is waited for before the first file is looked at.
    std::future<int> m_sweep;
    QString m_tempPath;
    QString m_folder;
    const PluginBinary *m_binary = nullptr;
    QString m_fileName;
    QString m_sourceDir;
    QString m_documentSource;
    QString m_tempDocument;
    QString m_localDocument;
    QString m_tempEnvelope;
    QString m_tempUpstream;
    bool m_remote = false;
    bool m_signedOnly = false;
    bool m_fromMirror = false;
    bool m_envelopeFetched = false;
    bool m_unchanged = false;
    bool m_fetched = false;
    bool m_compareHash = true;

    QFile m_documentFile;
    uchar *m_mapped = nullptr;
    QByteArray m_documentBytes;
    QDomDocument m_document;
    QVector<ScannedFileInfo> m_entries;
    QVector<QDomElement> m_elements;

    QStringList m_doNotDelete;
    QVector<Placement> m_placements;
    QVector<QString> m_folders;
    QVector<bool> m_linkedFolders; // reached through a link: nothing is written there
    qint64 m_total = 0;
    int m_totalKib = 0;
    bool m_failed = false;
    bool m_interrupted = false;

    // The file loop's workers, valid while apply() runs.
    // Made by fetcherForJobs() when first needed; ends after apply().
    std::unique_ptr<PackFetcher> m_fetcher;
    UpdateLookahead *m_lookahead = nullptr;
    SizePrefetch *m_sizes = nullptr;
    const QVector<UpdateLookahead::Item> *m_items = nullptr;
    const Texts *m_texts = nullptr;
    QSet<QString> m_createdFolders;
    bool m_backupDone = false;
    bool m_adopted = false; // a file was moved in unflushed (adoptFile)
    bool m_changeTold = false;
    QString m_lastFolder; // empty: no entry's folder is that of the module
    qint64 m_done = 0;
    QString m_currentText;
    int m_current = -1;       // the entry at hand
    int m_currentTextOf = -1; // the entry m_currentText tells of
    QElapsedTimer m_sinceProgress; // not started: nothing told yet
    bool m_told = false;
};

#endif // MODULESTEP_H
