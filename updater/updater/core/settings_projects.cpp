// Which programs the updater offers and where it fetches them from: the
// project list, the update servers with their fallbacks, the project
// documents read into the tables, and the mirrors.

#include "settings.h"

#include "edition.h"
#include "fileops.h"
#include "mirrordescription.h"
#include "projectdescription.h"
#include "safepath.h"
#include "signature.h"
#include "signedsource.h"
#include "transfer.h"
#include "xmlguard.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDomDocument>
#include <QDomElement>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QTemporaryDir>
#include <QUrl>

namespace {

// Placeholder of the vendor's update host; each deployment configures its own.
const char *const kDefaultUpdateHost = "https://updates.kestra-med.example";

// A project document lists a few hundred elements at most. Anything far
// larger is refused before the DOM parser multiplies it in memory.
const qint64 kMaxProjectDocumentSize = 32 * 1024 * 1024;

// Counts in config.ini drive loops that each read the file again; a mistyped
// count of two billion would hang the updater. No installation lists more.
const int kMaxListedEntries = 1000;

bool nameContains(const char *marker)
{
    return QCoreApplication::applicationName().contains(QLatin1String(marker), Qt::CaseInsensitive);
}

const QStringList &orvelProjects()
{
    static const QStringList list = {
        QStringLiteral("0921977d-6bf2-4ca6-a78f-609fcbfb6ea8"), QStringLiteral("4ad6b531-3d04-44fa-97aa-7d2745926083"),
        QStringLiteral("cd820bce-a7e6-43e8-aa3a-31f2d055ede9"), QStringLiteral("a4a8effa-985c-4aa7-b8de-cb4b5f403d06"),
        QStringLiteral("f3e354d8-8236-4e40-bc84-61f7b74cd7bd"), QStringLiteral("b76427b1-c697-48bb-8700-43fb1f861a71"),
        QStringLiteral("c35461fc-95f4-4b90-b694-e7791d8ca2b3"),
    };
    return list;
}

const QStringList &kestraProjects()
{
    static const QStringList list = {
        QStringLiteral("ac1dba94-cd1b-402a-9679-8390a3929fa2"),
        QStringLiteral("15e5bfdc-78cf-4062-82db-79841f6069b0"),
    };
    return list;
}

// The edition's project list; both tests run and the later match wins.
QStringList defaultProjects()
{
    QStringList result;
    if (nameContains("orvelupd"))
        result = orvelProjects();
    if (nameContains("kestraupd"))
        result = kestraProjects();
    return result;
}

// The source without its last slash-separated part.
QString baseFolderOf(const QString &source)
{
    QStringList parts = source.split(QLatin1Char('/'), Qt::KeepEmptyParts);
    parts.removeLast();
    return parts.join(QLatin1Char('/'));
}

} // namespace

// The same order of tests as the project lists above.
QString Settings::defaultSourcePath()
{
    QString file = QStringLiteral("/bin/palladupd.xml");
    if (nameContains("orvelupd"))
        file = QStringLiteral("/bin/orvel.xml");
    if (nameContains("kestraupd"))
        file = QStringLiteral("/bin/kestra.xml");
    return QLatin1String(kDefaultUpdateHost) + file;
}

int Settings::listedCount(const QString &group, const QString &key, int defaultValue) const
{
    const int count = value(group, key, defaultValue).toInt();
    if (count > kMaxListedEntries) {
        qWarning().noquote() << QStringLiteral("%1/%2 is %3, only the first %4 entries are read")
                                    .arg(group, key)
                                    .arg(count)
                                    .arg(kMaxListedEntries);
        return kMaxListedEntries;
    }
    return count;
}

QStringList Settings::projects() const
{
    QStringList result;
    const QString group = QStringLiteral("projects");
    const int count = listedCount(group, QStringLiteral("projects_count"), 0);
    if (count > 0) {
        for (int i = 1; i <= count; ++i) {
            const QString guid = value(group, QStringLiteral("key") + QString::number(i)).toString();
            if (!guid.isEmpty())
                result.append(guid);
        }
    } else if (count == 0) {
        result = defaultProjects();
    }

    const QString architecture = value(QStringLiteral("config"), QStringLiteral("version"), QStringLiteral("x64")).toString();
    const bool development = isDevelopmentInstallation();
    QString self;
    if (architecture == QLatin1String("x64"))
        self = development ? devUpdaterGuid() : updaterGuid();
    else if (architecture == QLatin1String("x32"))
        self = development ? kUpdaterGuid32Dev : kUpdaterGuid32Release;
    if (!self.isEmpty() && !result.contains(self))
        result.append(self);
    return result;
}

void Settings::setProjects(const QStringList &guids)
{
    const QString group = QStringLiteral("projects");
    setValue(group, QStringLiteral("projects_count"), guids.size());
    for (int i = 0; i < guids.size(); ++i)
        setValue(group, QStringLiteral("key") + QString::number(i + 1), guids.at(i));
    fillProjects();
    fillMirrors();
}

void Settings::fillProjects()
{
    // Mirrors point into the descriptions; they must not outlive them.
    clearMirrors();
    clearProjectTables();
    m_projectErrors.clear();
    m_signedDocuments.clear();
    m_unreadServers.clear();
    const QStringList ids = projects();

    const int count = listedCount(QString(), QStringLiteral("update_servers_count"), 1);
    for (int n = 1; n <= count; ++n) {
        const QString group = QStringLiteral("server") + QString::number(n);
        const bool first = n == 1;
        QString source = value(group, QStringLiteral("source_path"), first ? defaultSourcePath() : QString()).toString();
        const QString localName =
            value(group, QStringLiteral("local_file_path"), first ? QStringLiteral("main.xml") : QString())
                .toString();
        // Without a file name the destination would be the updater's own
        // folder, which the fetch would try to delete first.
        if (localName.isEmpty()) {
            qWarning().noquote() << QStringLiteral("%1 has no local_file_path, skipped").arg(group);
            continue;
        }
        const QString local = applicationDir() + QLatin1Char('/') + localName;
        const QString method = value(group, QStringLiteral("metod"), first ? QStringLiteral("GET") : QString()).toString();

        // Rollback is judged per configured server, whichever of its
        // addresses answered.
        const QString stateKey = source;
        QString error;
        const QString own = source;
        bool fetched = fetchProjectDocument(source, local, method, stateKey, &error);
        if (!fetched) {
            qWarning().noquote() << error;
            const int alternatives = listedCount(group, QStringLiteral("alternative_servers_count"), 0);
            for (int j = 1; j <= alternatives && !fetched; ++j) {
                const QString alternative =
                    value(group, QStringLiteral("alternative_server") + QString::number(j)).toString();
                if (alternative.isEmpty())
                    continue;
                source = alternative;
                fetched = fetchProjectDocument(source, local, QString(), stateKey, &error);
                if (!fetched)
                    qWarning().noquote() << error;
            }
        }
        if (!fetched) {
            // Without this the user sees an empty choice and no word why.
            qWarning().noquote() << QStringLiteral("update server %1 (%2) could not be read from any of its addresses, "
                                                   "its programs are not offered")
                                        .arg(group, displayAddress(own));
            m_unreadServers.append({group, own, error});
            continue;
        }

        if (!readProjectDocument(local, group, baseFolderOf(source), ids, &error)) {
            m_unreadServers.append({group, own, error});
            break;
        }
    }
}

QStringList Settings::projectDocumentErrors() const
{
    return m_projectErrors;
}

QList<QPair<QString, QString>> Settings::signedProjectDocuments() const
{
    return m_signedDocuments;
}

bool Settings::readThroughUpstream(const QString &source, const QByteArray &mirrorDocument, const QString &stateKey,
                                   const QString &tempFolder, QByteArray *composed, QString *error)
{
    const QString base = source.left(source.size() - sourceFileName(source).size()) + kUpstreamFolder + QLatin1Char('/');
    const QString index = tempFolder + QLatin1Char('/') + kUpstreamIndexName;
    if (!fetchFile(base + kUpstreamIndexName, index, error,
                   Settings::instance()->transferOptions(QString(), 64 * 1024))) {
        *error = QStringLiteral("no signature file and no signed upstream documents beside %1").arg(source);
        return false;
    }
    QFile indexFile(index);
    const QByteArray names = indexFile.open(QIODevice::ReadOnly) ? indexFile.readAll() : QByteArray();
    const QString statePath = signatureStatePath();
    QList<QByteArray> upstream;
    QList<QPair<QString, QDateTime>> accepted;
    int n = 0;
    for (const QByteArray &line : names.split('\n')) {
        const QString name = QString::fromUtf8(line).trimmed();
        if (name.isEmpty())
            continue;
        // The index is the mirror's: it may only name files in that folder.
        if (!isSafePathComponent(name) || ++n > kMaxListedEntries) {
            *error = QStringLiteral("bad name in the upstream index of %1").arg(source);
            return false;
        }
        const QString copy = tempFolder + QStringLiteral("/upstream%1.xml").arg(n);
        const QString envelope = tempFolder + QStringLiteral("/upstream%1.sig").arg(n);
        if (!fetchFile(base + name, copy, error,
                       Settings::instance()->transferOptions(QString(), kMaxProjectDocumentSize)))
            return false;
        QString envelopeError;
        fetchFile(signatureSource(base + name), envelope, &envelopeError,
                  Settings::instance()->transferOptions(QString(), kMaxSignatureEnvelopeSize + 1));
        QFile file(copy);
        const QByteArray bytes = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        const QString key = stateKey + QStringLiteral(" upstream ") + name;
        QDateTime signedAt;
        DocumentRefusal refusal = DocumentRefusal::None;
        QString reason;
        if (!checkSignedDocument(bytes, name, envelope, trustedKeys(), lastAcceptedSigning(statePath, key), &signedAt,
                                 &refusal, &reason)) {
            *error = QStringLiteral("upstream document %1 of %2 refused: %3").arg(name, source, reason);
            m_projectErrors.append(QCoreApplication::translate("main", "Ошибка проверки документа %1, %2")
                                       .arg(base + name, refusalText(refusal)));
            return false;
        }
        upstream.append(bytes);
        accepted.append({key, signedAt});
    }
    *composed = composeMirrorDocument(mirrorDocument, upstream, error);
    if (composed->isEmpty())
        return false;
    for (const auto &pair : qAsConst(accepted))
        recordAcceptedSigning(statePath, pair.first, pair.second);
    return true;
}

bool Settings::fetchProjectDocument(const QString &source, const QString &local, const QString &method,
                                    const QString &stateKey, QString *error)
{
    if (!requireSignatures())
        return replaceFile(source, local, error, Settings::instance()->transferOptions(method));

    // Both files land in a folder of their own first: the local copy and its
    // envelope change only once the pair has passed.
    QTemporaryDir temp;
    if (!temp.isValid()) {
        *error = QStringLiteral("can't create a temporary folder for %1").arg(source);
        return false;
    }
    const QString name = QFileInfo(local).fileName();
    const QString fetched = temp.path() + QLatin1Char('/') + name;
    const QString envelope = temp.path() + QStringLiteral("/document.sig");
    if (!fetchFile(source, fetched, error, Settings::instance()->transferOptions(method, kMaxProjectDocumentSize)))
        return false;
    QString envelopeError;
    const bool enveloped =
        fetchFile(signatureSource(source), envelope, &envelopeError,
                  Settings::instance()->transferOptions(QString(), kMaxSignatureEnvelopeSize + 1));

    QFile file(fetched);
    const QByteArray bytes = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    file.close();
    if (!enveloped) {
        // A mirror signs nothing itself; the publisher's documents it keeps
        // decide what its document may offer.
        QByteArray composed;
        const int refusedBefore = m_projectErrors.size();
        if (readThroughUpstream(source, bytes, stateKey, temp.path(), &composed, error)) {
            QSaveFile out(local);
            if (!out.open(QIODevice::WriteOnly) || out.write(composed) != composed.size() || !out.commit()) {
                *error = QStringLiteral("can't write %1: %2").arg(local, out.errorString());
                return false;
            }
            return true;
        }
        if (m_projectErrors.size() == refusedBefore)
            m_projectErrors.append(QCoreApplication::translate("main", "Ошибка проверки документа %1, %2")
                                       .arg(source, refusalText(DocumentRefusal::Signature)));
        return false;
    }
    // The envelope names the document as the publisher signed it: the last
    // part of the source, whatever local name the installation gives it.
    const QString signedName = sourceFileName(source);
    const QString statePath = signatureStatePath();
    QDateTime signedAt;
    DocumentRefusal refusal = DocumentRefusal::None;
    QString reason;
    if (!checkSignedDocument(bytes, signedName, envelope, trustedKeys(), lastAcceptedSigning(statePath, stateKey),
                             &signedAt, &refusal, &reason)) {
        *error = QStringLiteral("project document %1 refused: %2").arg(source, reason);
        m_projectErrors.append(
            QCoreApplication::translate("main", "Ошибка проверки документа %1, %2").arg(source, refusalText(refusal)));
        return false;
    }
    const QString localEnvelope = signatureFilePath(local);
    if (!replaceLocalFile(fetched, local, error) || !replaceLocalFile(envelope, localEnvelope, error))
        return false;
    recordAcceptedSigning(statePath, stateKey, signedAt);
    m_signedDocuments.append({local, signedName});
    return true;
}

QList<Settings::UnreadServer> Settings::unreadServers() const
{
    return m_unreadServers;
}

QString Settings::displayAddress(const QString &source)
{
    if (source.contains(QLatin1String("://")))
        return QUrl(source).toDisplayString(QUrl::RemovePassword);
    return QDir::toNativeSeparators(source);
}

bool Settings::readProjectDocument(const QString &localFile, const QString &serverKey, const QString &baseFolder,
                                   const QStringList &admitted, QString *error)
{
    QFile file(localFile);
    if (!file.open(QIODevice::ReadOnly)) {
        qWarning() << "can't open file " << localFile << " error " << file.errorString();
        if (error)
            *error = file.errorString();
        return false;
    }

    QDomDocument document(QStringLiteral("projectdocument"));
    QString message;
    int line = 0;
    int column = 0;
    bool parsed = false;
    if (file.size() > kMaxProjectDocumentSize) {
        message = QStringLiteral("document is larger than %1 bytes").arg(kMaxProjectDocumentSize);
    } else {
        // Server documents are untrusted: entity declarations, runaway
        // nesting and malformed text are refused before the DOM parser.
        parsed = setUntrustedContent(document, file.readAll(), &message, &line, &column);
    }
    if (!parsed) {
        qWarning() << "error parse document " << localFile + QStringLiteral(" error ") << message << " line "
                   << line << " column " << column;
        file.close();
        if (error)
            *error = message;
        return false;
    }
    file.close();

    QList<ProjectPluginPtr> accepted; // from this document, in document order
    const QDomElement projects = document.documentElement().firstChildElement(QStringLiteral("projects"));
    for (QDomNode node = projects.firstChild(); !node.isNull(); node = node.nextSibling()) {
        if (!node.isElement())
            continue;
        const QDomElement element = node.toElement();
        if (element.tagName() != QLatin1String("project"))
            continue;

        ProjectPluginPtr plugin(new ProjectPlugin);
        plugin->setSourceDir(baseFolder);
        if (!plugin->loadFromXml(element))
            continue;
        const bool isProgramm = plugin->type() == QLatin1String("project");
        if (isProgramm && !admitted.contains(plugin->guid()))
            continue;

        // A later element of the same name replaces the earlier one, which is
        // freed unless a description still holds it.
        m_allPlugins.insert(plugin->name(), plugin);

        // Programs already known, from this server or an earlier one, take
        // the element when they or their modules need it.
        for (ProjectDescription *description : qAsConst(m_programmDescriptions)) {
            if (description->containsDepend(plugin->name()))
                description->addPlugin(plugin);
        }

        if (isProgramm) {
            auto *description = new ProjectDescription;
            description->setServerKey(serverKey);
            description->setSourceDir(baseFolder);
            description->setBase(plugin);
            m_programmDescriptions.append(description);
            // Modules listed before their program in the same document.
            for (const ProjectPluginPtr &earlier : qAsConst(accepted)) {
                if (description->containsDepend(earlier->name()))
                    description->addPlugin(earlier);
            }
        }
        accepted.append(plugin);
    }

    completeDependencies();
    return true;
}

void Settings::completeDependencies()
{
    // Offering elements in document order misses a module that is needed
    // only by another module listed after it (or after the program). Offer
    // every known element again until nothing more is taken, so each program
    // gets all the modules its modules need. Elements a description already
    // holds by name are not offered again, so nothing found in order changes.
    for (ProjectDescription *description : qAsConst(m_programmDescriptions)) {
        // Every round takes at least one new name, so the rounds are bounded.
        for (int round = 0; round <= m_allPlugins.size(); ++round) {
            bool taken = false;
            for (const ProjectPluginPtr &plugin : qAsConst(m_allPlugins)) {
                const QMap<QString, ProjectPluginPtr> held = description->allModules();
                if (held.contains(plugin->name()) || !description->containsDepend(plugin->name()))
                    continue;
                description->addPlugin(plugin);
                taken = true;
            }
            if (!taken)
                break;
        }
    }
}

void Settings::fillMirrors()
{
    clearMirrors();
    const int count = listedCount(QString(), QStringLiteral("mirrors_count"), 0);
    for (int n = 1; n <= count; ++n) {
        const QString group = QStringLiteral("mirror") + QString::number(n);
        auto *mirror = new MirrorDescription;
        mirror->mainServerName = value(group, QStringLiteral("main_server_name")).toString();
        mirror->mirrorFolder = value(group, QStringLiteral("mirror_folder")).toString();
        const int programmsCount = listedCount(group, QStringLiteral("programms_count"), -1);
        if (programmsCount < 1) {
            for (ProjectDescription *description : qAsConst(m_programmDescriptions)) {
                if (description->serverKey() == mirror->mainServerName)
                    mirror->programms.append(description);
            }
        } else {
            for (int j = 1; j <= programmsCount; ++j) {
                const QString name = value(group, QStringLiteral("programm_name") + QString::number(j)).toString();
                const QString guid = value(group, QStringLiteral("programm_guid") + QString::number(j)).toString();
                for (ProjectDescription *description : qAsConst(m_programmDescriptions)) {
                    const ProjectPluginPtr base = description->base();
                    if (description->serverKey() == mirror->mainServerName && base && base->name() == name
                        && base->guid() == guid)
                        mirror->programms.append(description);
                }
            }
        }
        m_mirrors.append(mirror);
    }
}
