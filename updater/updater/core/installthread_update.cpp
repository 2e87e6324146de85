#include "installthread.h"

#include "edition.h"
#include "checksumfile.h"
#include "fileinfoscan.h"
#include "filemove.h"
#include "localfile.h"
#include "packfetcher.h"
#include "projectdescription.h"
#include "safepath.h"
#include "settings.h"
#include "signature.h"
#include "signedsource.h"
#include "transfer.h"
#include "updatelookahead.h"
#include "xmlguard.h"

#include <QDebug>
#include <QDir>
#include <QDomDocument>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QStringBuilder>
#include <QTemporaryDir>

#include <climits>
#include <cstring>
#include <memory>

namespace {

// Where an entry of the document goes: its folder (one text shared by all
// entries of that folder) and whether its texts passed the path checks.
struct Placement
{
    int folder = 0;
    bool safe = false;
};

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

} // namespace

bool InstallThread::moduleFolder(const QString &name, QString *folder)
{
    const QString path = programmPath(name);
    const QString last = path.mid(m_installPath.size() + 1);
    // Only the updater's own program is assembled in updater_temp; any other
    // element there, in the updater's folder or in the backups would land
    // files that the updater or the copier then runs or copies.
    const bool ownCopy = !m_isMirror && last == kUpdaterTempFolder && (name == editionKey() || name == devEditionKey());
    const QString updaterFolder = m_isMirror ? QString() : QFileInfo(Settings::applicationDir()).fileName();
    if (!(ownCopy ? isSafePathComponent(last) : isSafeModuleFolderName(last, updaterFolder))) {
        emit error(tr("Недопустимый путь файла %1").arg(path));
        qWarning().noquote() << QStringLiteral("refused module folder name ") + last;
        return false;
    }
    *folder = path;
    return true;
}

namespace {

// How often the walk over a module's entries tells where it is.
constexpr qint64 kFileProgressIntervalMs = 100;

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

bool InstallThread::updatePlugin(const PluginPtr &plugin)
{
    if (!plugin)
        return false;
    const QString name = plugin->name();
    if (updatedPlugins.contains(name))
        return true;
    if (isInterruptionRequested()) {
        // A step not begun is no finished one: the caller must not register it.
        m_stopped = true;
        return false;
    }
    emit status(tr("Обновление модуля %1").arg(plugin->ruName()));
    // The updater's own step decides alone whether its copy in updater_temp
    // is handed over: until it has completed, an earlier "yes" of this
    // process no longer holds, since the copy may now be half new.
    const bool selfUpdate = !m_isMirror && (name == editionKey() || name == devEditionKey());
    if (selfUpdate)
        Settings::instance()->setSelfUpdatePending(false);

    QTemporaryDir tempDir;
    const QList<PluginBinary *> binaries = plugin->binaries();
    if (binaries.isEmpty()) {
        emit error(tr("нет файлов для скачивания для %1").arg(name));
        return false;
    }
    if (!tempDir.isValid()) {
        emit error(tr("Ошибка при создании директории %1").arg(tempDir.path()));
        return false;
    }
    QString folder;
    if (!moduleFolder(name, &folder))
        return false;
    sweepStagingFiles(folder); // also updater_temp, before it is handed over
    const PluginBinary *binary = binaries.first();
    if (!isSafePathComponent(binary->fileName())) {
        emit error(tr("Недопустимый путь файла %1").arg(binary->fileName()));
        return false;
    }

    QString sourceDir = binary->fullPath();
    if (!sourceDir.endsWith(QLatin1Char('/')))
        sourceDir += QLatin1Char('/');
    const QString documentSource = sourceDir + binary->fileName();
    const QString tempDocument = tempDir.path() + QLatin1Char('/') + binary->fileName();
    const QString localDocument = folder + QLatin1Char('/') + fileinfoName;

    // A pack on a disk or a share is copied as its files are (QFile::copy
    // would also sync the copy to the disk, which a temporary file does not
    // need); a server's is downloaded.
    QString fetchError;
    const bool remote = PackFetcher::isRemote(documentSource);
    // The published checksum naming the local record's SHA-1 says the
    // document did not change: the record stands in for it. When signatures
    // count the checksum is unsigned and says nothing; the envelope, fetched
    // first, does the same job (the record is then checked against it).
    const bool signedOnly = Settings::instance()->requireSignatures();
    const QString tempEnvelope = tempDir.path() + QStringLiteral("/document.sig");
    // A mirror's own file list is checked against the publisher's signed one
    // that the mirror keeps beside it.
    const bool fromMirror = binary->fileName() == mirrorFileinfoName;
    bool envelopeFetched = false;
    bool unchanged = false;
    if (remote && signedOnly && !fromMirror) {
        QString envelopeError; // a missing envelope is told by the check below
        envelopeFetched = fetchFile(signatureSource(documentSource), tempEnvelope, &envelopeError, Settings::instance()->transferOptions(QString(), kMaxSignatureEnvelopeSize + 1));
        unchanged = envelopeFetched && envelopeNamesRecord(tempEnvelope, localDocument);
    } else if (remote && !signedOnly) {
        unchanged = publishedUnchanged(sourceDir, binary->fileName(), localDocument, tempDir.path());
    }
    const bool fetched = unchanged ? copyFileHashing(localDocument, tempDocument, nullptr, &fetchError)
                         : remote  ? fetchFile(documentSource, tempDocument, &fetchError, Settings::instance()->transferOptions(QString(), kMaxFileInfoDocumentSize))
                                   : copyFileHashing(documentSource, tempDocument, nullptr, &fetchError);
    if (!fetched && isInterruptionRequested()) {
        m_stopped = true;
        return false; // cancelled: nothing of this module was touched
    }
    if (!fetched) {
        emit error(tr("Ошибка при скачивании %1, %2").arg(documentSource, tempDocument));
        qWarning().noquote() << fetchError;
    }
    const QString tempUpstream = fromMirror ? tempDir.path() + QStringLiteral("/upstream.xml") : QString();
    if (fetched && signedOnly && !envelopeFetched) {
        QString envelopeError; // a missing envelope is told by the check below
        const QString signedSource = fromMirror ? sourceDir + kUpstreamFileinfoName : documentSource;
        if (fromMirror)
            fetchFile(signedSource, tempUpstream, &envelopeError, Settings::instance()->transferOptions(QString(), kMaxFileInfoDocumentSize));
        fetchFile(signatureSource(signedSource), tempEnvelope, &envelopeError, Settings::instance()->transferOptions(QString(), kMaxSignatureEnvelopeSize + 1));
    }

    QFile documentFile(tempDocument);
    if (!documentFile.open(QIODevice::ReadOnly)) {
        emit error(tr("Ошибка при открытии файла %1, %2").arg(tempDocument, documentFile.errorString()));
        return false;
    }
    // The fetched copy lies in this step's own temporary folder: mapped
    // rather than read, it costs no copy of several megabytes.
    QByteArray documentBytes;
    const qint64 documentSize = documentFile.size();
    if (documentSize > kMaxFileInfoDocumentSize) {
        emit error(tr("Ошибка при открытии файла %1, %2")
                       .arg(tempDocument, QStringLiteral("document is larger than %1 bytes").arg(kMaxFileInfoDocumentSize)));
        documentFile.close();
        QFile::remove(tempDocument);
        return false;
    }
    uchar *mapped = documentSize > 0 && documentSize < (qint64(1) << 30) ? documentFile.map(0, documentSize) : nullptr;
    if (mapped)
        documentBytes = QByteArray::fromRawData(reinterpret_cast<const char *>(mapped), int(documentSize));
    else
        documentBytes = documentFile.readAll();

    // Checked before a byte of it is parsed: a refused document changes
    // nothing of the module, not even its local record.
    if (signedOnly && !signedDocumentAccepted(documentSource, binary->fileName(), documentBytes, tempEnvelope, name,
                                              localDocument, tempUpstream)) {
        documentBytes.clear();
        if (mapped)
            documentFile.unmap(mapped);
        documentFile.close();
        QFile::remove(tempDocument);
        return false;
    }

    // An unchanged document lets files be compared by size alone. Equal
    // bytes are what equal SHA-1 texts of the two files stand for; comparing
    // the bytes spares hashing both documents.
    bool compareHash = true;
    if (fetched) {
        QFile local(localDocument);
        if (local.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
            compareHash = !sameContent(&local, documentBytes);
    }

    // The document comes from the server: no entity declarations, bounded
    // nesting. A mirror rewrites it, so it needs the DOM; an installation
    // only reads it, in one streaming pass.
    QDomDocument document;
    QVector<ScannedFileInfo> scanned;
    QVector<QDomElement> elements;
    QString parseError;
    int line = 0;
    int column = 0;
    bool parsed;
    if (m_isMirror) {
        parsed = setUntrustedContent(document, documentBytes, &parseError, &line, &column);
        if (parsed) {
            const QDomNodeList nodes = document.documentElement().elementsByTagName(QStringLiteral("fileinfo"));
            scanned.reserve(nodes.count());
            elements.reserve(nodes.count());
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
                scanned.append(entry);
                elements.append(element);
            }
        }
    } else {
        parsed = scanFileInfoEntries(documentBytes, &scanned, &parseError, &line, &column);
    }
    documentBytes.clear();
    if (mapped)
        documentFile.unmap(mapped);
    if (!parsed) {
        emit error(tr("Ошибка при открытии xml %1, %2, строка %3, колонка %4")
                       .arg(tempDocument, parseError, QString::number(line), QString::number(column)));
        documentFile.close();
        return false;
    }
    documentFile.close();

    // doNotDelete keeps a workstation's own changes to a file. A mirror has
    // none and must hold every file as the server has it: a kept file would
    // keep the server's data text, naming a place the mirror does not fill.
    const QStringList doNotDelete = m_isMirror ? QStringList() : plugin->doNotDelete();
    // The entries stay as read; beside them only where each one goes.
    const QVector<ScannedFileInfo> &entries = scanned;
    QVector<Placement> placements(entries.size());
    QVector<QString> folders;
    QVector<bool> linkedFolders; // reached through a link: nothing is written there
    qint64 total = 0;
    {
        QString lastPath;
        bool lastPathSafe = false;
        for (int i = 0; i < entries.size(); ++i) {
            const ScannedFileInfo &e = entries.at(i);
            // Files of one folder stand together in the document.
            if (i == 0 || e.path != lastPath) {
                lastPath = e.path;
                folders.append(joinSubPath(folder, e.path));
                lastPathSafe = isSafeSubPath(e.path);
                linkedFolders.append(lastPathSafe && linkOnTheWay(folder, folders.last(), true));
                lastPathSafe = lastPathSafe && !linkedFolders.last();
            }
            Placement &placement = placements[i];
            placement.folder = folders.size() - 1;
            // Server texts must not lead outside the module folder, nor the
            // source outside the pack folder.
            placement.safe = isSafePathComponent(e.fileName) && lastPathSafe
                             && (e.isNeedDelete == 1 || isSafeDataPath(e.data));
            total = addSize(total, e.size);
        }
    }
    auto targetOf = [&](int i) -> QString {
        return folders.at(placements.at(i).folder) % QLatin1Char('/') % entries.at(i).fileName;
    };
    const int totalKib = kib(total);
    emit progress(0, totalKib, tr("Обновление файлов"));

    bool failed = false;
    bool interrupted = false;
    {
        // Decide and download ahead of the loop; a target named twice is
        // decided in the loop, when the earlier entry has been handled.
        PackFetcher fetcher;
        // One separator: sourceDir ends in one, and mirror entries start with one.
        auto sourceOf = [&](int i) { return joinSubPath(sourceDir, entries.at(i).data); };
        // Named by the entry's index alone: a prefix or suffix added to a
        // long file name would pass the 255 characters a name may have.
        auto tempOf = [&](int i) { return tempDir.path() + QLatin1Char('/') + QString::number(i); };
        // With an unchanged document a file is checked by its size: one stat,
        // cheaper in the loop than handing it to a worker. Otherwise the
        // workers hash ahead; a target named twice is decided in the loop.
        QVector<UpdateLookahead::Item> items;
        if (compareHash) {
            items.resize(entries.size());
            QHash<QString, int> targetCount;
            QVector<QString> cleanTargets(entries.size());
            for (int i = 0; i < entries.size(); ++i) {
                if (placements.at(i).safe) {
                    cleanTargets[i] = QDir::cleanPath(targetOf(i));
                    ++targetCount[cleanTargets.at(i)];
                }
            }
            for (int i = 0; i < entries.size(); ++i) {
                const ScannedFileInfo &e = entries.at(i);
                UpdateLookahead::Item &item = items[i];
                item.evaluate =
                    placements.at(i).safe && e.isNeedDelete != 1 && targetCount.value(cleanTargets.at(i)) == 1;
                if (!item.evaluate)
                    continue;
                item.target = targetOf(i);
                item.hash = e.checkedHash();
                item.size = e.size;
                item.protectedName = doNotDelete.contains(e.fileName);
                item.source = sourceOf(i);
                item.tempPath = tempOf(i);
            }
        }
        UpdateLookahead lookahead(items, compareHash, &fetcher);
        m_fetcher = &fetcher;
        // Sizes alone: a second thread reads ahead what it can.
        std::unique_ptr<SizePrefetch> sizes;
        if (!compareHash) {
            sizes = std::make_unique<SizePrefetch>(
                entries.size(), folders,
                [&](int i) {
                    const Placement &placement = placements.at(i);
                    return placement.safe && entries.at(i).isNeedDelete != 1 ? placement.folder : -1;
                },
                [&](int i) { return entries.at(i).fileName; });
        }

        QSet<QString> createdFolders;
        bool backupDone = false;
        auto backupWhenDue = [&]() {
            if (m_makeBackup && !backupDone) {
                backupFolder(name);
                backupDone = true;
            }
        };
        // Translated once per step: the loop may run ten thousand times.
        const FillIn fileProgress(tr("Обновление %1 (%2)"));
        const FillIn bytesText(tr("%1 б"));
        const FillIn kibText(tr("%1 Кб"));
        const FillIn mibText(tr("%1 Mб"));
        auto sizeText = [&](qint64 size) {
            if (size < 10240)
                return bytesText(QString::number(size));
            if (size < 10485760)
                return kibText(QString::number(size >> 10));
            return mibText(QString::number(size >> 20));
        };
        QString lastFolder; // empty: no entry's folder is that of the module
        qint64 done = 0;
        // While a file is waited for, the bar follows its bytes; a few
        // updates a second, never one per piece of data.
        QString currentText;
        fetcher.setProgressHandler([&](int, qint64 bytes) {
            emit progress(kib(addSize(done, bytes)), totalKib, currentText);
        });
        // Each signal wakes the window's thread: for a module of thousands of
        // files already up to date, one per file cost more than the checks.
        QElapsedTimer sinceProgress; // not started: nothing told yet

        for (int i = 0; i < entries.size(); ++i) {
            if (isInterruptionRequested()) {
                interrupted = true;
                break;
            }
            const ScannedFileInfo &e = entries.at(i);
            currentText = fileProgress(e.fileName, sizeText(e.size));
            // Every entry that is acted on is told; of those found up to date
            // only a few a second.
            bool told = false;
            auto tell = [&]() {
                if (told)
                    return;
                told = true;
                sinceProgress.start();
                emit progress(kib(done), totalKib, currentText);
            };
            if (!sinceProgress.isValid() || sinceProgress.hasExpired(kFileProgressIntervalMs))
                tell();
            if (!placements.at(i).safe) {
                const bool linked = linkedFolders.at(placements.at(i).folder);
                const QString text = linked ? targetOf(i)
                                     : e.isNeedDelete == 1 || (isSafePathComponent(e.fileName) && isSafeSubPath(e.path))
                                         ? e.data
                                         : joinSubPath(e.path, e.fileName);
                if (linked)
                    qWarning().noquote() << QStringLiteral("refused file entry: its folder is reached through a link");
                emit error(tr("Недопустимый путь файла %1").arg(text));
                qWarning().noquote() << QStringLiteral("refused file entry: path ") + e.path
                                            + QStringLiteral(" filename ") + e.fileName + QStringLiteral(" data ")
                                            + e.data;
                failed = true;
                continue;
            }
            // Entries of one folder stand together; lastFolder is the last
            // one known to exist.
            const QString &entryFolder = folders.at(placements.at(i).folder);
            if (entryFolder != lastFolder) {
                if (createdFolders.contains(entryFolder) || QDir().mkpath(entryFolder)) {
                    createdFolders.insert(entryFolder);
                    lastFolder = entryFolder;
                } else {
                    emit error(tr("Ошибка при создании директории %1").arg(QDir(entryFolder).absolutePath()));
                    failed = true;
                }
            }
            const QString target = targetOf(i);
            if (doNotDelete.contains(e.fileName) && QFileInfo::exists(target))
                continue;

            if (e.isNeedDelete == 1) {
                tell();
                if (QFileInfo::exists(target)) {
                    backupWhenDue();
                    // Read-only files too: otherwise the delete fails on Windows on
                    // every run and the module's record is never replaced.
                    QString reason;
                    if (!removeExistingFile(target, &reason)) {
                        emit error(reason);
                        failed = true;
                    }
                    if (sizes)
                        sizes->invalidate();
                }
            } else {
                const bool ahead = !items.isEmpty() && items.at(i).evaluate;
                bool need;
                qint64 actual = 0;
                if (ahead)
                    need = lookahead.needUpdate(i);
                else if (sizes)
                    need = !sizes->fileSize(i, &actual) || actual != e.size;
                else
                    need = needUpdate(target, e.checkedHash(), e.size, compareHash);
                if (need) {
                    tell();
                    backupWhenDue();
                    const QString source = sourceOf(i);
                    const QString temp = tempOf(i);
                    if (!ahead)
                        fetcher.enqueue(i, source, temp, e.size);
                    m_fetchId = i;
                    if (!updateFile(target, source, temp, e.checkedHash()))
                        failed = true;
                    if (sizes)
                        sizes->invalidate(); // the backup and the new file
                }
                done = addSize(done, e.size);
            }
            if (m_isMirror)
                rewriteMirrorData(elements.at(i), e.path, e.fileName);
        }
        m_fetcher = nullptr;
        m_fetchId = -1;
        // The last file's transfer aborted by a cancel ends the loop without
        // another check: that step was cut short as well.
        interrupted = interrupted || (failed && isInterruptionRequested());
    }

    emit progress(totalKib, totalKib, tr("Файлы обновлены"));
    // A step cut short is not done: a later call in this pass (the module
    // selected after it was a dependency) must not report it as updated.
    if (!interrupted)
        updatedPlugins.append(name);

    // The local record says "these files are current". A step that did not
    // get every file there keeps the old record, so the next run compares
    // hashes again and repairs what was left.
    const bool complete = !failed && !interrupted;
    if (!complete) {
        qWarning().noquote() << QStringLiteral("module ") + name
                                    + QStringLiteral(" was not brought fully up to date; its previous file list is kept");
    } else if (compareHash) { // a byte-identical record is already current
        // Written beside the record and moved over it, so that a run killed
        // here leaves the old record or the new one, never a torn one.
        const QString staging = stagingPath(localDocument);
        QString copyError;
        QFile::remove(staging);
        bool replaced = copyFileHashing(tempDocument, staging, nullptr, &copyError);
        if (replaced) {
            hideStagingFile(staging);
            const QFileInfo localInfo(localDocument);
            if (localInfo.exists() && !localInfo.isWritable())
                QFile::setPermissions(localDocument, QFile::permissions(localDocument) | QFileDevice::WriteOwner
                                                         | QFileDevice::WriteUser);
            replaced = moveFileOver(staging, localDocument, &copyError);
            if (!replaced)
                QFile::remove(staging);
        }
        if (!replaced) {
            emit error(tr("Ошибка при копированииго файла %1 в %2, %3").arg(tempDocument, localDocument, copyError));
            failed = true;
        }
    }
    // The envelope of the record it describes, kept for the rollback check of
    // later runs (and, in a mirror, for the mirror's clients).
    if (signedOnly && !failed && !interrupted) {
        QString copyError;
        if (!replaceLocalFile(tempEnvelope, signatureFilePath(localDocument), &copyError)) {
            emit error(tr("Ошибка при копированииго файла %1 в %2, %3")
                           .arg(tempEnvelope, signatureFilePath(localDocument), copyError));
            failed = true;
        }
    }
    if (selfUpdate && !failed && !interrupted)
        Settings::instance()->setSelfUpdatePending(
            differentRecords(localDocument, m_installPath + QLatin1Char('/') + name + QLatin1Char('/') + fileinfoName));
    {
        QFile temp(tempDocument);
        if (!temp.remove())
            emit error(tr("Ошибка при удалении временного файла %1, %2").arg(tempDocument, temp.errorString()));
    }
    if (complete && remote && !unchanged && !compareHash)
        markFetchedWhole(localDocument); // a byte-identical record was kept as it was
    if (interrupted) {
        // Registering a module the user cancelled would list it as installed
        // with files missing; its old record (or none) stays in place.
        m_stopped = true;
        reportCutModule(plugin, !QFileInfo::exists(localDocument)); // the record was kept
        return false;
    }
    if (m_isMirror && complete) {
        writeMirrorFileinfo(document, folder);
        // Clients of the mirror check this before they fetch the document.
        writeChecksumFile(folder + QLatin1Char('/') + mirrorFileinfoName);
    }

    // A necessary module that a cancel cut short leaves this one unusable as
    // well: it is not reported as updated either.
    bool dependencyCut = false;
    const QMap<QString, bool> depends = plugin->depends();
    const QMap<QString, ProjectPluginPtr> all = Settings::instance()->allPlugins();
    for (auto it = depends.constBegin(); it != depends.constEnd(); ++it) {
        if (!it.value())
            continue;
        const ProjectPluginPtr dependency = all.value(it.key());
        if (dependency && !updatePlugin(dependency) && isInterruptionRequested())
            dependencyCut = true;
    }
    if (dependencyCut)
        updatedPlugins.removeAll(name);
    return !dependencyCut;
}

bool InstallThread::signedDocumentAccepted(const QString &source, const QString &documentName,
                                           const QByteArray &document, const QString &envelopePath,
                                           const QString &moduleName, const QString &record,
                                           const QString &upstreamPath)
{
    QByteArray upstream;
    if (!upstreamPath.isEmpty()) {
        QFile file(upstreamPath);
        if (file.open(QIODevice::ReadOnly) && file.size() <= kMaxFileInfoDocumentSize)
            upstream = file.readAll();
    }
    const QByteArray &signedBytes = upstreamPath.isEmpty() ? document : upstream;
    QDateTime signedAt;
    DocumentRefusal refusal = DocumentRefusal::None;
    QString reason;
    bool accepted = checkSignedDocument(signedBytes, upstreamPath.isEmpty() ? documentName : kUpstreamFileinfoName,
                                        envelopePath, Settings::instance()->trustedKeys(), keptSigningTime(record),
                                        &signedAt, &refusal, &reason);
    // A genuine document of another module, served in this one's place,
    // would install that module's files here.
    if (accepted && packModuleName(signedBytes) != moduleName) {
        accepted = false;
        refusal = DocumentRefusal::OtherModule;
        reason = QStringLiteral("the document describes module \"%1\", not \"%2\"")
                     .arg(packModuleName(signedBytes), moduleName);
    }
    if (accepted && !upstreamPath.isEmpty() && !sameEntriesButData(document, upstream, &reason)) {
        accepted = false;
        refusal = DocumentRefusal::Signature;
    }
    if (!accepted) {
        emit error(tr("Ошибка проверки документа %1, %2").arg(source, refusalText(refusal)));
        qWarning().noquote() << QStringLiteral("file list %1 refused: %2").arg(source, reason);
    }
    return accepted;
}

bool InstallThread::needUpdate(const QString &path, const QString &hash, qint64 size, bool compareHash) const
{
    return fileNeedsUpdate(path, hash, size, compareHash);
}

bool InstallThread::updateFile(const QString &target, const QString &source, const QString &tempPath,
                               const QString &hash)
{
    QString actualHash;
    QString fetchError;
    bool fetched;
    if (m_fetcher && m_fetchId >= 0) {
        fetched = m_fetcher->take(m_fetchId, &actualHash, &fetchError);
    } else if (PackFetcher::isRemote(source)) {
        fetched = fetchFile(source, tempPath, &fetchError, Settings::instance()->transferOptions());
        if (fetched)
            actualHash = calcHash(tempPath, digestAlgorithm(hash));
    } else {
        fetched = copyFileHashing(source, tempPath, &actualHash, &fetchError);
    }
    // The fetcher hashes with SHA-1 as the file streams in; an entry that
    // carries a SHA-256 is checked by that, read once more from the disk.
    if (fetched && digestAlgorithm(hash) != QCryptographicHash::Sha1)
        actualHash = calcHash(tempPath, digestAlgorithm(hash));
    if (!fetched) {
        // A transfer aborted because the run was cancelled is no server fault.
        if (!isInterruptionRequested())
            emit error(tr("Ошибка при скачивании файла %1 в %2, %3").arg(source, tempPath, fetchError));
        if (QFile::exists(tempPath))
            QFile::remove(tempPath);
        return false;
    }
    if (actualHash != hash) {
        emit error(tr("Хэш скачанного файла (%1) не совпадает с тем что в описании (%2)").arg(actualHash, hash));
        QFile::remove(tempPath);
        return false;
    }

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
        emit message(tr("Обновлен файл %1 %2").arg(target, sizeToString(size)));
    else
        emit error(tr("Ошибка при копировании файла из %1 в %2, %3").arg(tempPath, target, copyError));
    if (moved)
        return true; // nothing left in the temporary folder
    QFile temp(tempPath);
    if (!temp.remove())
        emit error(tr("Ошибка при удалении файла %1, %2").arg(tempPath, temp.errorString()));
    return copied;
}
