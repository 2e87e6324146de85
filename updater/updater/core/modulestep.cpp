#include "modulestep.h"

#include "checksumfile.h"
#include "edition.h"
#include "filemove.h"
#include "fileops.h"
#include "installthread.h"
#include "packfetcher.h"
#include "projectdescription.h"
#include "safepath.h"
#include "settings.h"
#include "signature.h"
#include "signedsource.h"
#include "transfer.h"
#include "xmlguard.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QStringBuilder>
#include <QTemporaryDir>

#include <climits>
#include <cstring>

namespace {

// A translated text whose placeholders %1 and %2 stand once each: filled in
// by plain concatenation, which costs a fraction of QString::arg in a loop
// that may run ten thousand times. Any other form is filled in by arg.
class FillIn
{
public:
    explicit FillIn(const QString &pattern) : m_pattern(pattern)
    {
        int slot[2] = {-1, -1};
        int percents = 0;
        for (int i = 0; i < pattern.size(); ++i) {
            if (pattern.at(i) != QLatin1Char('%'))
                continue;
            ++percents;
            if (i + 1 < pattern.size() && (pattern.at(i + 1) == QLatin1Char('1') || pattern.at(i + 1) == QLatin1Char('2'))
                && (i + 2 == pattern.size() || !pattern.at(i + 2).isDigit())) {
                const int n = pattern.at(i + 1).unicode() - '1';
                if (slot[n] >= 0)
                    return; // twice
                slot[n] = i;
            }
        }
        m_arguments = slot[1] >= 0 ? 2 : 1;
        if (slot[0] < 0 || percents != m_arguments)
            return; // not the plain form
        m_first = slot[1] < 0 || slot[0] < slot[1] ? 0 : 1;
        const int a = qMin(slot[0], m_arguments == 2 ? slot[1] : slot[0]);
        const int b = qMax(slot[0], m_arguments == 2 ? slot[1] : slot[0]);
        m_head = pattern.left(a);
        m_middle = m_arguments == 2 ? pattern.mid(a + 2, b - a - 2) : QString();
        m_tail = pattern.mid(b + 2);
        m_plain = true;
    }

    QString operator()(const QString &a1) const
    {
        if (!m_plain || m_arguments != 1)
            return m_pattern.arg(a1);
        return m_head % a1 % m_tail;
    }

    QString operator()(const QString &a1, const QString &a2) const
    {
        if (!m_plain || m_arguments != 2)
            return m_pattern.arg(a1, a2);
        const QString &x = m_first == 0 ? a1 : a2;
        const QString &y = m_first == 0 ? a2 : a1;
        return m_head % x % m_middle % y % m_tail;
    }

private:
    QString m_pattern;
    QString m_head;
    QString m_middle;
    QString m_tail;
    int m_arguments = 0;
    int m_first = 0; // which argument comes first
    bool m_plain = false;
};

// Whether file holds exactly bytes, read in pieces: the local record is as
// large as the fetched document and need not be held in memory beside it.
bool sameContent(QFile *file, const QByteArray &bytes)
{
    if (file->size() != bytes.size())
        return false;
    QByteArray buffer(1 << 16, Qt::Uninitialized);
    qint64 offset = 0;
    for (;;) {
        const qint64 n = file->read(buffer.data(), buffer.size());
        if (n < 0)
            return false;
        if (n == 0)
            return offset == bytes.size();
        if (offset + n > bytes.size() || std::memcmp(buffer.constData(), bytes.constData() + offset, size_t(n)) != 0)
            return false;
        offset += n;
    }
}

// True unless both local records exist and hold the same bytes. The copier
// brings the record over last, so the updater's folder holds the record of
// a release only once every file of it arrived: a copy in updater_temp whose
// record differs was never handed over whole (the updater was killed before
// the copier ran, or the copier gave up on locked files).
bool differentRecords(const QString &newRecord, const QString &installedRecord)
{
    QFile fresh(newRecord);
    QFile installed(installedRecord);
    if (!fresh.open(QIODevice::ReadOnly) || !installed.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return true;
    return !sameContent(&installed, fresh.readAll());
}

// Sizes come from the server: negative counts add nothing and the sum
// saturates instead of overflowing.
qint64 addSize(qint64 total, qint64 size)
{
    if (size <= 0)
        return total;
    return total > LLONG_MAX - size ? LLONG_MAX : total + size;
}

// Progress is reported in KiB through int arguments: computed in 64 bits and
// clamped, so modules of 2 GiB and more (up to 2 TiB) show exact values.
int kib(qint64 bytes)
{
    const qint64 k = bytes / 1024;
    return k > INT_MAX ? INT_MAX : int(k);
}


// How often the walk over a module's entries tells where it is.
constexpr qint64 kFileProgressIntervalMs = 100;

// Downloaded files are spread over this many folders of the temporary
// folder: creating a file locks its folder while the file system looks for
// a free inode, which after many deletions takes long enough that the
// fetcher's threads queued on one folder's lock.
constexpr int kTempFolders = 16;

// True when the checksum file beside the server's document names the SHA-1
// of the local record, which was fetched whole within the last day.
bool publishedUnchanged(const QString &sourceDir, const QString &documentName, const QString &record,
                        const QString &tempFolder)
{
    if (!fetchedWholeRecently(record))
        return false;
    const QString name = checksumFileName(documentName);
    const QString temp = tempFolder + QLatin1Char('/') + name;
    QString error;
    if (!fetchFile(sourceDir + name, temp, &error, Settings::instance()->transferOptions(QString(), 4096)))
        return false;
    const QString published = readChecksumFile(temp);
    QFile::remove(temp);
    return !published.isEmpty() && published == calcHash(record);
}

// True when the publisher's envelope beside the server's document states the
// local record's size and SHA-256: the record is then the document the
// envelope signs, and is checked against it as a download would be. A signed
// envelope, unlike the checksum file, cannot go stale beside a replaced
// document, so no day-old refetch is needed.
bool envelopeNamesRecord(const QString &envelopePath, const QString &record)
{
    QFile envelope(envelopePath);
    QFile local(record);
    if (!envelope.open(QIODevice::ReadOnly) || envelope.size() > kMaxSignatureEnvelopeSize
        || !local.open(QIODevice::ReadOnly) || local.size() > InstallThread::kMaxFileInfoDocumentSize)
        return false;
    return envelopeDescribes(envelope.readAll(), local.readAll());
}

} // namespace

// Translated once per step: the loop may run ten thousand times.
struct ModuleStep::Texts
{
    FillIn fileProgress{tr("Обновление %1 (%2)")};
    FillIn bytes{tr("%1 б")};
    FillIn kib{tr("%1 Кб")};
    FillIn mib{tr("%1 Mб")};
};

ModuleStep::ModuleStep(InstallThread &thread, const QSharedPointer<ProjectPlugin> &plugin)
    : t(thread), m_plugin(plugin), m_name(plugin ? plugin->name() : QString())
{
}

ModuleStep::~ModuleStep() = default;

bool ModuleStep::run()
{
    if (!m_plugin)
        return false;
    if (t.updatedPlugins.contains(m_name))
        return true;
    if (t.isInterruptionRequested()) {
        // A step not begun is no finished one: the caller must not register it.
        t.m_stopped = true;
        return false;
    }
    emit t.status(tr("Обновление модуля %1").arg(m_plugin->ruName()));
    // The updater's own step decides alone whether its copy in updater_temp
    // is handed over: until it has completed, an earlier "yes" of this
    // process no longer holds, since the copy may now be half new.
    m_selfUpdate = !t.m_isMirror && (m_name == editionKey() || m_name == devEditionKey());
    if (m_selfUpdate)
        Settings::instance()->setSelfUpdatePending(false);

    if (!prepare() || !fetchDocument() || !openDocument() || !readEntries())
        return false;
    plan();
    apply();
    m_fetcher.reset(); // after apply()'s look-ahead, which fetches through it
    emit t.progress(m_totalKib, m_totalKib, tr("Файлы обновлены"));
    // A step cut short is not done: a later call in this pass (the module
    // selected after it was a dependency) must not report it as updated.
    if (!m_interrupted)
        t.updatedPlugins.append(m_name);
    // The local record says "these files are current". A step that did not
    // get every file there keeps the old record, so the next run compares
    // hashes again and repairs what was left.
    const bool complete = !m_failed && !m_interrupted;
    if (!commitRecord(complete))
        return false;
    if (t.m_isMirror && complete) {
        t.writeMirrorFileinfo(m_document, m_folder);
        // Clients of the mirror check this before they fetch the document.
        writeChecksumFile(m_folder + QLatin1Char('/') + t.mirrorFileinfoName);
    }
    return followDependencies();
}

bool ModuleStep::prepare()
{
    m_tempDir = std::make_unique<QTemporaryDir>();
    m_tempPath = m_tempDir->path();
    const QList<PluginBinary *> binaries = m_plugin->binaries();
    if (binaries.isEmpty()) {
        emit t.error(tr("нет файлов для скачивания для %1").arg(m_name));
        return false;
    }
    if (!m_tempDir->isValid()) {
        emit t.error(tr("Ошибка при создании директории %1").arg(m_tempPath));
        return false;
    }
    if (!t.moduleFolder(m_name, &m_folder))
        return false;
    // Also updater_temp, before it is handed over.
    const QString folder = m_folder;
    m_sweep = std::async(std::launch::async | std::launch::deferred, [folder] { return sweepStagingFiles(folder); });
    m_binary = binaries.first();
    m_fileName = m_binary->fileName();
    if (!isSafePathComponent(m_fileName)) {
        emit t.error(tr("Недопустимый путь файла %1").arg(m_fileName));
        return false;
    }

    m_sourceDir = m_binary->fullPath();
    if (!m_sourceDir.endsWith(QLatin1Char('/')))
        m_sourceDir += QLatin1Char('/');
    m_documentSource = m_sourceDir + m_fileName;
    m_tempDocument = m_tempPath + QLatin1Char('/') + m_fileName;
    m_localDocument = m_folder + QLatin1Char('/') + t.fileinfoName;
    return true;
}

bool ModuleStep::fetchDocument()
{
    // A pack on a disk or a share is copied as its files are (QFile::copy
    // would also sync the copy to the disk, which a temporary file does not
    // need); a server's is downloaded.
    QString fetchError;
    m_remote = PackFetcher::isRemote(m_documentSource);
    // The published checksum naming the local record's SHA-1 says the
    // document did not change: the record stands in for it. When signatures
    // count the checksum is unsigned and says nothing; the envelope, fetched
    // first, does the same job (the record is then checked against it).
    m_signedOnly = Settings::instance()->requireSignatures();
    m_tempEnvelope = m_tempPath + QStringLiteral("/document.sig");
    // A mirror's own file list is checked against the publisher's signed one
    // that the mirror keeps beside it.
    m_fromMirror = m_fileName == t.mirrorFileinfoName;
    if (m_remote && m_signedOnly && !m_fromMirror) {
        QString envelopeError; // a missing envelope is told by the check below
        m_envelopeFetched = fetchFile(signatureSource(m_documentSource), m_tempEnvelope, &envelopeError,
                                      Settings::instance()->transferOptions(QString(), kMaxSignatureEnvelopeSize + 1));
        m_unchanged = m_envelopeFetched && envelopeNamesRecord(m_tempEnvelope, m_localDocument);
    } else if (m_remote && !m_signedOnly) {
        m_unchanged = publishedUnchanged(m_sourceDir, m_fileName, m_localDocument, m_tempPath);
    }
    m_fetched = m_unchanged ? copyFileHashing(m_localDocument, m_tempDocument, nullptr, &fetchError)
                : m_remote  ? fetchFile(m_documentSource, m_tempDocument, &fetchError,
                                        Settings::instance()->transferOptions(QString(), InstallThread::kMaxFileInfoDocumentSize))
                            : copyFileHashing(m_documentSource, m_tempDocument, nullptr, &fetchError);
    if (!m_fetched && t.isInterruptionRequested()) {
        t.m_stopped = true;
        return false; // cancelled: nothing of this module was touched
    }
    if (!m_fetched) {
        emit t.error(tr("Ошибка при скачивании %1, %2").arg(m_documentSource, m_tempDocument));
        qWarning().noquote() << fetchError;
    }
    m_tempUpstream = m_fromMirror ? m_tempPath + QStringLiteral("/upstream.xml") : QString();
    if (m_fetched && m_signedOnly && !m_envelopeFetched)
        fetchSignedCompanions();
    return true;
}

// The envelope (and, from a mirror, the signed upstream list) that the
// signature check reads.
void ModuleStep::fetchSignedCompanions()
{
    QString envelopeError; // a missing envelope is told by the check below
    const QString signedSource = m_fromMirror ? m_sourceDir + kUpstreamFileinfoName : m_documentSource;
    if (m_fromMirror)
        fetchFile(signedSource, m_tempUpstream, &envelopeError,
                  Settings::instance()->transferOptions(QString(), InstallThread::kMaxFileInfoDocumentSize));
    fetchFile(signatureSource(signedSource), m_tempEnvelope, &envelopeError,
              Settings::instance()->transferOptions(QString(), kMaxSignatureEnvelopeSize + 1));
}

bool ModuleStep::openDocument()
{
    m_documentFile.setFileName(m_tempDocument);
    if (!m_documentFile.open(QIODevice::ReadOnly)) {
        emit t.error(tr("Ошибка при открытии файла %1, %2").arg(m_tempDocument, m_documentFile.errorString()));
        return false;
    }
    // The fetched copy lies in this step's own temporary folder: mapped
    // rather than read, it costs no copy of several megabytes.
    const qint64 documentSize = m_documentFile.size();
    if (documentSize > InstallThread::kMaxFileInfoDocumentSize) {
        emit t.error(tr("Ошибка при открытии файла %1, %2")
                         .arg(m_tempDocument, QStringLiteral("document is larger than %1 bytes")
                                                  .arg(InstallThread::kMaxFileInfoDocumentSize)));
        m_documentFile.close();
        QFile::remove(m_tempDocument);
        return false;
    }
    m_mapped = documentSize > 0 && documentSize < (qint64(1) << 30) ? m_documentFile.map(0, documentSize) : nullptr;
    if (m_mapped)
        m_documentBytes = QByteArray::fromRawData(reinterpret_cast<const char *>(m_mapped), int(documentSize));
    else
        m_documentBytes = m_documentFile.readAll();

    // Checked before a byte of it is parsed: a refused document changes
    // nothing of the module, not even its local record.
    if (m_signedOnly && !signedDocumentAccepted()) {
        releaseDocument();
        m_documentFile.close();
        QFile::remove(m_tempDocument);
        return false;
    }

    // An unchanged document lets files be compared by size alone. Equal
    // bytes are what equal SHA-1 texts of the two files stand for; comparing
    // the bytes spares hashing both documents.
    if (m_fetched) {
        QFile local(m_localDocument);
        if (local.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
            m_compareHash = !sameContent(&local, m_documentBytes);
    }
    return true;
}

void ModuleStep::releaseDocument()
{
    m_documentBytes.clear();
    if (m_mapped)
        m_documentFile.unmap(m_mapped);
    m_mapped = nullptr;
}

bool ModuleStep::readEntries()
{
    // The document comes from the server: no entity declarations, bounded
    // nesting. A mirror rewrites it, so it needs the DOM; an installation
    // only reads it, in one streaming pass.
    QString parseError;
    int line = 0;
    int column = 0;
    const bool parsed = t.m_isMirror ? readMirrorEntries(&parseError, &line, &column)
                                     : scanFileInfoEntries(m_documentBytes, &m_entries, &parseError, &line, &column);
    releaseDocument();
    if (!parsed) {
        emit t.error(tr("Ошибка при открытии xml %1, %2, строка %3, колонка %4")
                         .arg(m_tempDocument, parseError, QString::number(line), QString::number(column)));
        m_documentFile.close();
        return false;
    }
    m_documentFile.close();
    return true;
}

bool ModuleStep::readMirrorEntries(QString *parseError, int *line, int *column)
{
    if (!setUntrustedContent(m_document, m_documentBytes, parseError, line, column))
        return false;
    const QDomNodeList nodes = m_document.documentElement().elementsByTagName(QStringLiteral("fileinfo"));
    m_entries.reserve(nodes.count());
    m_elements.reserve(nodes.count());
    for (int i = 0; i < nodes.count(); ++i) {
        const QDomElement element = nodes.at(i).toElement();
        ScannedFileInfo entry;
        entry.fileName = element.attribute(QStringLiteral("filename"));
        entry.hash = element.attribute(QStringLiteral("hash"));
        entry.sha256 = element.attribute(QStringLiteral("sha256"));
        entry.size = fileInfoSize(element.attribute(QStringLiteral("size")));
        entry.isNeedDelete = fileInfoDeleteFlag(element.attribute(QStringLiteral("is_need_delete")));
        entry.path = element.firstChildElement(QStringLiteral("path")).text();
        entry.data = element.firstChildElement(QStringLiteral("data")).text();
        m_entries.append(entry);
        m_elements.append(element);
    }
    return true;
}

bool ModuleStep::signedDocumentAccepted()
{
    QByteArray upstream;
    if (!m_tempUpstream.isEmpty()) {
        QFile file(m_tempUpstream);
        if (file.open(QIODevice::ReadOnly) && file.size() <= InstallThread::kMaxFileInfoDocumentSize)
            upstream = file.readAll();
    }
    const QByteArray &signedBytes = m_tempUpstream.isEmpty() ? m_documentBytes : upstream;
    QDateTime signedAt;
    DocumentRefusal refusal = DocumentRefusal::None;
    QString reason;
    bool accepted = checkSignedDocument(signedBytes, m_tempUpstream.isEmpty() ? m_fileName : kUpstreamFileinfoName,
                                        m_tempEnvelope, Settings::instance()->trustedKeys(),
                                        keptSigningTime(m_localDocument), &signedAt, &refusal, &reason);
    // A genuine document of another module, served in this one's place,
    // would install that module's files here.
    if (accepted && packModuleName(signedBytes) != m_name) {
        accepted = false;
        refusal = DocumentRefusal::OtherModule;
        reason = QStringLiteral("the document describes module \"%1\", not \"%2\"")
                     .arg(packModuleName(signedBytes), m_name);
    }
    if (accepted && !m_tempUpstream.isEmpty() && !sameEntriesButData(m_documentBytes, upstream, &reason)) {
        accepted = false;
        refusal = DocumentRefusal::Signature;
    }
    if (!accepted) {
        emit t.error(tr("Ошибка проверки документа %1, %2").arg(m_documentSource, refusalText(refusal)));
        qWarning().noquote() << QStringLiteral("file list %1 refused: %2").arg(m_documentSource, reason);
    }
    return accepted;
}

void ModuleStep::plan()
{
    // doNotDelete keeps a workstation's own changes to a file. A mirror has
    // none and must hold every file as the server has it: a kept file would
    // keep the server's data text, naming a place the mirror does not fill.
    m_doNotDelete = t.m_isMirror ? QStringList() : m_plugin->doNotDelete();
    // The entries stay as read; beside them only where each one goes.
    m_placements.resize(m_entries.size());
    QString lastPath;
    bool lastPathSafe = false;
    for (int i = 0; i < m_entries.size(); ++i) {
        const ScannedFileInfo &e = m_entries.at(i);
        // Files of one folder stand together in the document.
        if (i == 0 || e.path != lastPath) {
            lastPath = e.path;
            m_folders.append(joinSubPath(m_folder, e.path));
            lastPathSafe = isSafeSubPath(e.path);
            m_linkedFolders.append(lastPathSafe && linkOnTheWay(m_folder, m_folders.last(), true));
            lastPathSafe = lastPathSafe && !m_linkedFolders.last();
        }
        Placement &placement = m_placements[i];
        placement.folder = m_folders.size() - 1;
        // Server texts must not lead outside the module folder, nor the
        // source outside the pack folder.
        placement.safe = isSafePathComponent(e.fileName) && lastPathSafe
                         && (e.isNeedDelete == 1 || isSafeDataPath(e.data));
        m_total = addSize(m_total, e.size);
    }
    m_totalKib = kib(m_total);
    emit t.progress(0, m_totalKib, tr("Обновление файлов"));
}

QString ModuleStep::targetOf(int i) const
{
    return m_folders.at(m_placements.at(i).folder) % QLatin1Char('/') % m_entries.at(i).fileName;
}

// One separator: sourceDir ends in one, and mirror entries start with one.
QString ModuleStep::sourceOf(int i) const
{
    return joinSubPath(m_sourceDir, m_entries.at(i).data);
}

// Named by the entry's index alone: a prefix or suffix added to a long file
// name would pass the 255 characters a name may have.
QString ModuleStep::tempOf(int i) const
{
    return m_tempPath % QLatin1Char('/') % QString::number(i % kTempFolders) % QLatin1Char('/')
           % QString::number(i);
}

// With an unchanged document a file is checked by its size: one stat,
// cheaper in the loop than handing it to a worker. Otherwise the workers
// hash ahead; a target named twice is decided in the loop, when the earlier
// entry has been handled.
QVector<UpdateLookahead::Item> ModuleStep::lookaheadItems() const
{
    QVector<UpdateLookahead::Item> items;
    if (!m_compareHash)
        return items;
    items.resize(m_entries.size());
    QHash<QString, int> targetCount;
    QVector<QString> cleanTargets(m_entries.size());
    for (int i = 0; i < m_entries.size(); ++i) {
        if (m_placements.at(i).safe) {
            cleanTargets[i] = QDir::cleanPath(targetOf(i));
            ++targetCount[cleanTargets.at(i)];
        }
    }
    for (int i = 0; i < m_entries.size(); ++i) {
        const ScannedFileInfo &e = m_entries.at(i);
        UpdateLookahead::Item &item = items[i];
        item.evaluate = m_placements.at(i).safe && e.isNeedDelete != 1 && targetCount.value(cleanTargets.at(i)) == 1;
        if (!item.evaluate)
            continue;
        item.target = targetOf(i);
        item.hash = e.checkedHash();
        item.size = e.size;
        item.protectedName = m_doNotDelete.contains(e.fileName);
        item.source = sourceOf(i);
        item.tempPath = tempOf(i);
    }
    return items;
}

void ModuleStep::apply()
{
    if (m_sweep.valid())
        m_sweep.get();
    // Decide and download ahead of the loop. The fetcher's transfer threads
    // start with the first file to fetch: a module checked by sizes alone is
    // most often current and fetches nothing. The look-ahead fetches as it
    // decides, so it gets them at once.
    const QVector<UpdateLookahead::Item> items = lookaheadItems();
    UpdateLookahead lookahead(items, m_compareHash, m_compareHash ? fetcherForJobs() : nullptr);
    // Sizes alone: a second thread reads ahead what it can.
    std::unique_ptr<SizePrefetch> sizes;
    if (!m_compareHash) {
        sizes = std::make_unique<SizePrefetch>(
            m_entries.size(), m_folders,
            [this](int i) {
                const Placement &placement = m_placements.at(i);
                return placement.safe && m_entries.at(i).isNeedDelete != 1 ? placement.folder : -1;
            },
            [this](int i) { return m_entries.at(i).fileName; });
    }
    const Texts texts;
    m_lookahead = &lookahead;
    m_sizes = sizes.get();
    m_items = &items;
    m_texts = &texts;
    for (int i = 0; i < m_entries.size(); ++i) {
        if (t.isInterruptionRequested()) {
            m_interrupted = true;
            break;
        }
        applyEntry(i);
    }
    m_lookahead = nullptr;
    m_sizes = nullptr;
    m_items = nullptr;
    m_texts = nullptr;
    // The last file's transfer aborted by a cancel ends the loop without
    // another check: that step was cut short as well.
    m_interrupted = m_interrupted || (m_failed && t.isInterruptionRequested());
}

PackFetcher *ModuleStep::fetcherForJobs()
{
    if (!m_fetcher) {
        // The folders tempOf() spreads the files over; one that cannot be
        // made fails the downloads into it, each told.
        const QDir temp(m_tempPath);
        for (int i = 0; i < kTempFolders; ++i)
            temp.mkdir(QString::number(i));
        m_fetcher = std::make_unique<PackFetcher>();
        // While a file is waited for, the bar follows its bytes; a few
        // updates a second, never one per piece of data.
        m_fetcher->setProgressHandler([this](int, qint64 bytes) {
            emit t.progress(kib(addSize(m_done, bytes)), m_totalKib, currentText());
        });
    }
    return m_fetcher.get();
}

void ModuleStep::applyEntry(int i)
{
    const ScannedFileInfo &e = m_entries.at(i);
    m_current = i;
    // Every entry that is acted on is told; of those found up to date only a
    // few a second. Each signal wakes the window's thread: for a module of
    // thousands of files already up to date, one per file cost more than
    // the checks.
    m_told = false;
    if (!m_sinceProgress.isValid() || m_sinceProgress.hasExpired(kFileProgressIntervalMs))
        tell();
    if (!m_placements.at(i).safe) {
        refuseEntry(i);
        return;
    }
    enterFolder(i);
    if (m_doNotDelete.contains(e.fileName) && QFileInfo::exists(targetOf(i)))
        return;
    if (e.isNeedDelete == 1)
        deleteEntry(targetOf(i));
    else
        refreshEntry(i);
    if (t.m_isMirror)
        t.rewriteMirrorData(m_elements.at(i), e.path, e.fileName);
}

void ModuleStep::refuseEntry(int i)
{
    const ScannedFileInfo &e = m_entries.at(i);
    const bool linked = m_linkedFolders.at(m_placements.at(i).folder);
    const QString text = linked ? targetOf(i)
                         : e.isNeedDelete == 1 || (isSafePathComponent(e.fileName) && isSafeSubPath(e.path))
                             ? e.data
                             : joinSubPath(e.path, e.fileName);
    if (linked)
        qWarning().noquote() << QStringLiteral("refused file entry: its folder is reached through a link");
    emit t.error(tr("Недопустимый путь файла %1").arg(text));
    qWarning().noquote() << QStringLiteral("refused file entry: path ") + e.path + QStringLiteral(" filename ")
                                + e.fileName + QStringLiteral(" data ") + e.data;
    m_failed = true;
}

// Entries of one folder stand together; m_lastFolder is the last one known
// to exist.
void ModuleStep::enterFolder(int i)
{
    const QString &entryFolder = m_folders.at(m_placements.at(i).folder);
    if (entryFolder == m_lastFolder)
        return;
    if (m_createdFolders.contains(entryFolder) || QDir().mkpath(entryFolder)) {
        m_createdFolders.insert(entryFolder);
        m_lastFolder = entryFolder;
    } else {
        emit t.error(tr("Ошибка при создании директории %1").arg(QDir(entryFolder).absolutePath()));
        m_failed = true;
    }
}

void ModuleStep::deleteEntry(const QString &target)
{
    tell();
    if (!QFileInfo::exists(target))
        return;
    tellChange();
    backupWhenDue();
    // Read-only files too: otherwise the delete fails on Windows on every run
    // and the module's record is never replaced.
    QString reason;
    if (!removeExistingFile(target, &reason)) {
        emit t.error(reason);
        m_failed = true;
    }
    if (m_sizes)
        m_sizes->invalidate();
}

// The target's path is put together only where it is used: a file checked
// by its size alone is asked for by name within its folder.
void ModuleStep::refreshEntry(int i)
{
    const ScannedFileInfo &e = m_entries.at(i);
    const bool ahead = !m_items->isEmpty() && m_items->at(i).evaluate;
    bool need;
    qint64 actual = 0;
    if (ahead)
        need = m_lookahead->needUpdate(i);
    else if (m_sizes)
        need = !m_sizes->fileSize(i, &actual) || actual != e.size;
    else
        need = fileNeedsUpdate(targetOf(i), e.checkedHash(), e.size, m_compareHash);
    if (need) {
        tell();
        tellChange();
        backupWhenDue();
        const QString source = sourceOf(i);
        const QString temp = tempOf(i);
        if (!ahead)
            fetcherForJobs()->enqueue(i, source, temp, e.size, digestAlgorithm(e.checkedHash()));
        if (!updateFile(i, targetOf(i), source, temp, e.checkedHash()))
            m_failed = true;
        if (m_sizes)
            m_sizes->invalidate(); // the backup and the new file
    }
    m_done = addSize(m_done, e.size);
}

void ModuleStep::tell()
{
    if (m_told)
        return;
    m_told = true;
    m_sinceProgress.start();
    emit t.progress(kib(m_done), m_totalKib, currentText());
}

// The line of the entry at hand, made when it is told: most entries of a
// current module pass without being told.
QString ModuleStep::currentText()
{
    if (m_currentTextOf != m_current && m_current >= 0 && m_texts) {
        const ScannedFileInfo &e = m_entries.at(m_current);
        m_currentText = m_texts->fileProgress(e.fileName, sizeText(e.size));
        m_currentTextOf = m_current;
    }
    return m_currentText;
}

void ModuleStep::tellChange()
{
    if (m_changeTold)
        return;
    m_changeTold = true;
    emit t.filesToChange();
}

void ModuleStep::backupWhenDue()
{
    if (t.m_makeBackup && !m_backupDone) {
        t.backupFolder(m_name);
        m_backupDone = true;
    }
}

QString ModuleStep::sizeText(qint64 size) const
{
    if (size < 10240)
        return m_texts->bytes(QString::number(size));
    if (size < 10485760)
        return m_texts->kib(QString::number(size >> 10));
    return m_texts->mib(QString::number(size >> 20));
}

// Entry id's file, taken from the fetcher into tempPath, its digest checked
// against hash; otherwise reported, with nothing left in tempPath.
bool ModuleStep::fetchChecked(int id, const QString &source, const QString &tempPath, const QString &hash)
{
    QString actualHash;
    QString fetchError;
    // The fetcher was asked for the digest the entry carries, taken as the
    // file streamed in.
    const bool fetched = fetcherForJobs()->take(id, &actualHash, &fetchError);
    if (!fetched) {
        // A transfer aborted because the run was cancelled is no server fault.
        if (!t.isInterruptionRequested())
            emit t.error(tr("Ошибка при скачивании файла %1 в %2, %3").arg(source, tempPath, fetchError));
        if (QFile::exists(tempPath))
            QFile::remove(tempPath);
        return false;
    }
    if (actualHash != hash) {
        emit t.error(tr("Хэш скачанного файла (%1) не совпадает с тем что в описании (%2)").arg(actualHash, hash));
        QFile::remove(tempPath);
        return false;
    }
    return true;
}

bool ModuleStep::updateFile(int id, const QString &target, const QString &source, const QString &tempPath,
                            const QString &hash)
{
    if (!fetchChecked(id, source, tempPath, hash))
        return false;
    const qint64 size = QFileInfo(tempPath).size();
    const QString suffix = QFileInfo(target).suffix(); // the temporary name has none
    if (suffix.isEmpty() || suffix == QLatin1String("exe") || suffix == QLatin1String("so")
        || suffix == QLatin1String("dll")) {
        QFile::setPermissions(tempPath, QFile::permissions(tempPath) | QFileDevice::Permissions(0x1111));
    }
    const QFileInfo targetInfo(target);
    if (targetInfo.exists() && !targetInfo.isWritable()) // a read-only file cannot be replaced on Windows
        QFile::setPermissions(target, QFile::permissions(target) | QFileDevice::WriteOwner | QFileDevice::WriteUser);

    // The verified file replaces the target in one step: moved over it when
    // the system allows, otherwise copied beside it under a temporary name
    // and then moved over it. The program is never left without the file,
    // and a failed move keeps the old one.
    bool moved = adoptFile(tempPath, target);
    m_adopted = m_adopted || moved;
    bool copied = moved;
    QString copyError;
    if (!moved) {
        const QString staging = stagingPath(target);
        // Left by an interrupted earlier run, or a link someone left there
        // (exists() does not see a dangling one): the copy must create a
        // file of its own, never write through a link.
        QFile::remove(staging);
        copied = copyFileHashing(tempPath, staging, nullptr, &copyError);
        if (copied) {
            QFile::setPermissions(staging, QFile::permissions(tempPath));
            hideStagingFile(staging);
            copied = moveFileOver(staging, target, &copyError);
            if (!copied)
                QFile::remove(staging);
        }
    }
    if (copied)
        emit t.message(tr("Обновлен файл %1 %2").arg(target, InstallThread::sizeToString(size)));
    else
        emit t.error(tr("Ошибка при копировании файла из %1 в %2, %3").arg(tempPath, target, copyError));
    if (moved)
        return true; // nothing left in the temporary folder
    QFile temp(tempPath);
    if (!temp.remove())
        emit t.error(tr("Ошибка при удалении файла %1, %2").arg(tempPath, temp.errorString()));
    return copied;
}

// False when the step was cut short: then it is reported, and its old record
// (or none) stays in place.
bool ModuleStep::commitRecord(bool complete)
{
    // Files moved in from the temporary folder were not flushed one by one:
    // their content must be on the disk before a record naming them is, or
    // after a power cut the size check of an unchanged record would take a
    // lost file for a current one. Unflushed, the old record stays.
    QString flushError;
    if (m_adopted && !flushFileSystem(m_folder, &flushError)) {
        qWarning().noquote() << QStringLiteral("can't write the files of %1 through to the disk: %2")
                                    .arg(m_folder, flushError);
        m_failed = true;
        complete = false;
    }
    if (!complete) {
        qWarning().noquote() << QStringLiteral("module ") + m_name
                                    + QStringLiteral(" was not brought fully up to date; its previous file list is kept");
    } else if (m_compareHash && !replaceRecord()) { // a byte-identical record is already current
        m_failed = true;
    }
    // The envelope of the record it describes, kept for the rollback check of
    // later runs (and, in a mirror, for the mirror's clients).
    if (m_signedOnly && !m_failed && !m_interrupted) {
        QString copyError;
        if (!replaceLocalFile(m_tempEnvelope, signatureFilePath(m_localDocument), &copyError)) {
            emit t.error(tr("Ошибка при копированииго файла %1 в %2, %3")
                             .arg(m_tempEnvelope, signatureFilePath(m_localDocument), copyError));
            m_failed = true;
        }
    }
    if (m_selfUpdate && !m_failed && !m_interrupted)
        Settings::instance()->setSelfUpdatePending(differentRecords(
            m_localDocument, t.m_installPath + QLatin1Char('/') + m_name + QLatin1Char('/') + t.fileinfoName));
    {
        QFile temp(m_tempDocument);
        if (!temp.remove())
            emit t.error(tr("Ошибка при удалении временного файла %1, %2").arg(m_tempDocument, temp.errorString()));
    }
    if (complete && m_remote && !m_unchanged && !m_compareHash)
        markFetchedWhole(m_localDocument); // a byte-identical record was kept as it was
    if (m_interrupted) {
        // Registering a module the user cancelled would list it as installed
        // with files missing; its old record (or none) stays in place.
        t.m_stopped = true;
        t.reportCutModule(m_plugin, !QFileInfo::exists(m_localDocument)); // the record was kept
        return false;
    }
    return true;
}

bool ModuleStep::replaceRecord()
{
    // Written beside the record and moved over it, so that a run killed
    // here leaves the old record or the new one, never a torn one.
    const QString staging = stagingPath(m_localDocument);
    QString copyError;
    QFile::remove(staging);
    bool replaced = copyFileHashing(m_tempDocument, staging, nullptr, &copyError);
    if (replaced) {
        hideStagingFile(staging);
        const QFileInfo localInfo(m_localDocument);
        if (localInfo.exists() && !localInfo.isWritable())
            QFile::setPermissions(m_localDocument, QFile::permissions(m_localDocument) | QFileDevice::WriteOwner
                                                       | QFileDevice::WriteUser);
        replaced = moveFileOver(staging, m_localDocument, &copyError);
        if (!replaced)
            QFile::remove(staging);
    }
    if (!replaced)
        emit t.error(
            tr("Ошибка при копированииго файла %1 в %2, %3").arg(m_tempDocument, m_localDocument, copyError));
    return replaced;
}

bool ModuleStep::followDependencies()
{
    // A necessary module that a cancel cut short leaves this one unusable as
    // well: it is not reported as updated either.
    bool dependencyCut = false;
    const QMap<QString, bool> depends = m_plugin->depends();
    const QMap<QString, ProjectPluginPtr> all = Settings::instance()->allPlugins();
    for (auto it = depends.constBegin(); it != depends.constEnd(); ++it) {
        if (!it.value())
            continue;
        const ProjectPluginPtr dependency = all.value(it.key());
        if (dependency && !t.updatePlugin(dependency) && t.isInterruptionRequested())
            dependencyCut = true;
    }
    if (dependencyCut)
        t.updatedPlugins.removeAll(m_name);
    return !dependencyCut;
}
