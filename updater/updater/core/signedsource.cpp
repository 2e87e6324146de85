#include "signedsource.h"

#include "signature.h"
#include "xmlguard.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDomDocument>
#include <QDomElement>
#include <QDomNamedNodeMap>
#include <QHash>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QXmlStreamReader>

namespace {

// One entry per configured server: a few hundred bytes. Anything far larger
// was not written by the updater.
const qint64 kMaxStateFileSize = 1024 * 1024;

bool refuse(DocumentRefusal *refusal, QString *reason, DocumentRefusal kind, const QString &text)
{
    if (refusal)
        *refusal = kind;
    if (reason)
        *reason = text;
    return false;
}

// The state file as an object; false when it exists but cannot be used.
bool readState(const QString &statePath, QJsonObject *state)
{
    QFile file(statePath);
    if (!file.exists())
        return true;
    if (!file.open(QIODevice::ReadOnly) || file.size() > kMaxStateFileSize)
        return false;
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return false;
    *state = document.object();
    return true;
}

void setAside(const QString &statePath)
{
    const QString aside = statePath + QStringLiteral(".damaged");
    QFile::remove(aside);
    if (QFile::rename(statePath, aside))
        qWarning().noquote() << QStringLiteral("signature state file %1 is damaged, kept as %2").arg(statePath, aside);
    else
        qWarning().noquote() << QStringLiteral("signature state file %1 is damaged and can't be moved aside")
                                    .arg(statePath);
}

bool parseUntrusted(const QByteArray &bytes, QDomDocument *document, const char *what, QString *error)
{
    QString message;
    int line = 0;
    int column = 0;
    if (setUntrustedContent(*document, bytes, &message, &line, &column))
        return true;
    if (error)
        *error = QStringLiteral("%1: %2 (line %3, column %4)").arg(QLatin1String(what), message).arg(line).arg(column);
    return false;
}

QList<QDomElement> projectElements(const QDomDocument &document)
{
    QList<QDomElement> result;
    const QDomElement projects = document.documentElement().firstChildElement(QStringLiteral("projects"));
    for (QDomElement e = projects.firstChildElement(QStringLiteral("project")); !e.isNull();
         e = e.nextSiblingElement(QStringLiteral("project")))
        result.append(e);
    return result;
}

QHash<QString, QString> attributesOf(const QDomElement &element)
{
    QHash<QString, QString> result;
    const QDomNamedNodeMap map = element.attributes();
    for (int i = 0; i < map.count(); ++i)
        result.insert(map.item(i).nodeName(), map.item(i).nodeValue());
    return result;
}

// The element's children, without the text of "data": the whole entry as
// the signed document fixes it.
QString entryShape(const QDomElement &entry)
{
    QStringList parts;
    const QHash<QString, QString> attributes = attributesOf(entry);
    QStringList names = attributes.keys();
    names.sort();
    for (const QString &name : qAsConst(names))
        parts << name + QLatin1Char('=') + attributes.value(name);
    for (QDomElement child = entry.firstChildElement(); !child.isNull(); child = child.nextSiblingElement())
        parts << QLatin1Char('<') + child.tagName() + QLatin1Char('>')
                     + (child.tagName() == QLatin1String("data") ? QString() : child.text());
    return parts.join(QChar(0));
}

} // namespace

const QString kUpstreamFolder = QStringLiteral("upstream");
const QString kUpstreamIndexName = QStringLiteral("documents.txt");
const QString kUpstreamFileinfoName = QStringLiteral("update_fileinfo.xml");

QByteArray composeMirrorDocument(const QByteArray &mirrorDocument, const QList<QByteArray> &signedUpstream,
                                 QString *error)
{
    QDomDocument mirror;
    if (!parseUntrusted(mirrorDocument, &mirror, "mirror document", error))
        return QByteArray();
    QHash<QString, QDomElement> signedByGuid;
    QList<QDomDocument> upstream; // keeps the elements' documents alive
    for (const QByteArray &bytes : signedUpstream) {
        QDomDocument document;
        if (!parseUntrusted(bytes, &document, "upstream document", error))
            return QByteArray();
        upstream.append(document);
        for (const QDomElement &e : projectElements(document)) {
            if (!signedByGuid.contains(e.attribute(QStringLiteral("guid"))))
                signedByGuid.insert(e.attribute(QStringLiteral("guid")), e);
        }
    }
    QDomDocument result;
    QDomElement projects = result.createElement(QStringLiteral("projects"));
    result.appendChild(result.createElement(QStringLiteral("root"))).appendChild(projects);
    for (const QDomElement &offered : projectElements(mirror)) {
        const QString guid = offered.attribute(QStringLiteral("guid"));
        if (guid.isEmpty() || !signedByGuid.contains(guid)) {
            qWarning().noquote() << QStringLiteral("mirror element %1 is in no signed document, left out")
                                        .arg(offered.attribute(QStringLiteral("name")));
            continue;
        }
        QDomElement element = result.importNode(signedByGuid.value(guid), true).toElement();
        const QDomElement mirrorBin = offered.firstChildElement(QStringLiteral("bin"));
        QDomElement bin = element.firstChildElement(QStringLiteral("bin"));
        QList<QDomElement> binaries;
        for (QDomElement b = bin.firstChildElement(); !b.isNull(); b = b.nextSiblingElement())
            binaries.append(b);
        for (QDomElement b : binaries) {
            const QDomElement held = mirrorBin.firstChildElement(b.tagName());
            if (held.isNull()) {
                bin.removeChild(b);
                continue;
            }
            b.setAttribute(QStringLiteral("path"), held.attribute(QStringLiteral("path")));
            b.setAttribute(QStringLiteral("file_name"), held.attribute(QStringLiteral("file_name")));
        }
        projects.appendChild(element);
    }
    return result.toByteArray(1);
}

bool sameEntriesButData(const QByteArray &mirrorFileinfo, const QByteArray &signedFileinfo, QString *error)
{
    QDomDocument mirror;
    QDomDocument original;
    if (!parseUntrusted(mirrorFileinfo, &mirror, "mirror file list", error)
        || !parseUntrusted(signedFileinfo, &original, "signed file list", error))
        return false;
    const QDomNodeList offered = mirror.elementsByTagName(QStringLiteral("fileinfo"));
    const QDomNodeList expected = original.elementsByTagName(QStringLiteral("fileinfo"));
    if (offered.count() != expected.count()) {
        if (error)
            *error = QStringLiteral("the mirror lists %1 files, the signed list %2")
                         .arg(offered.count())
                         .arg(expected.count());
        return false;
    }
    for (int i = 0; i < offered.count(); ++i) {
        if (entryShape(offered.at(i).toElement()) != entryShape(expected.at(i).toElement())) {
            if (error)
                *error = QStringLiteral("entry %1 of the mirror's file list differs from the signed one").arg(i + 1);
            return false;
        }
    }
    return true;
}

QString refusalText(DocumentRefusal refusal)
{
    switch (refusal) {
    case DocumentRefusal::Expired:
        return QCoreApplication::translate("main", "истёк срок");
    case DocumentRefusal::Older:
        return QCoreApplication::translate("main", "старее установленного");
    case DocumentRefusal::OtherModule:
        return QCoreApplication::translate("main", "документ другого модуля");
    case DocumentRefusal::None:
    case DocumentRefusal::Signature:
        break;
    }
    return QCoreApplication::translate("main", "подпись");
}

namespace {

int lastSeparator(const QString &source)
{
    return qMax(source.lastIndexOf(QLatin1Char('/')), source.lastIndexOf(QLatin1Char('\\')));
}

} // namespace

QString sourceFileName(const QString &documentSource)
{
    return documentSource.mid(lastSeparator(documentSource) + 1);
}

QString signatureSource(const QString &documentSource)
{
    const int slash = lastSeparator(documentSource);
    const QString name = documentSource.mid(slash + 1);
    const int dot = name.lastIndexOf(QLatin1Char('.'));
    return documentSource.left(slash + 1) + (dot > 0 ? name.left(dot) : name) + QStringLiteral(".sig");
}

bool checkSignedDocument(const QByteArray &document, const QString &documentName, const QString &envelopePath,
                         const QList<QByteArray> &keys, const QDateTime &notBefore, QDateTime *signedAt,
                         DocumentRefusal *refusal, QString *reason)
{
    QFile file(envelopePath);
    if (!file.open(QIODevice::ReadOnly))
        return refuse(refusal, reason, DocumentRefusal::Signature,
                      QStringLiteral("no signature file for %1").arg(documentName));
    // One byte past the limit is enough to refuse an over-long envelope.
    const QByteArray envelope = file.read(kMaxSignatureEnvelopeSize + 1);
    QDateTime time;
    QString why;
    SignatureFault fault = SignatureFault::None;
    if (!verifySignatureEnvelope(envelope, documentName, document, keys, &time, &why, &fault))
        return refuse(refusal, reason,
                      fault == SignatureFault::Expired ? DocumentRefusal::Expired : DocumentRefusal::Signature, why);
    if (notBefore.isValid() && time < notBefore)
        return refuse(refusal, reason, DocumentRefusal::Older,
                      QStringLiteral("%1 was signed at %2, before the one accepted earlier (%3)")
                          .arg(documentName, time.toString(Qt::ISODate), notBefore.toString(Qt::ISODate)));
    if (signedAt)
        *signedAt = time;
    if (refusal)
        *refusal = DocumentRefusal::None;
    return true;
}

QString packModuleName(const QByteArray &document)
{
    QXmlStreamReader reader(document);
    reader.setNamespaceProcessing(false);
    while (!reader.atEnd()) {
        if (reader.readNext() == QXmlStreamReader::StartElement
            && reader.qualifiedName() == QLatin1String("infoaboutmodule"))
            return reader.attributes().value(QStringLiteral("name")).toString();
    }
    return QString();
}

QDateTime keptSigningTime(const QString &documentPath)
{
    QFile file(signatureFilePath(documentPath));
    if (!file.open(QIODevice::ReadOnly))
        return QDateTime();
    return envelopeSigningTime(file.read(kMaxSignatureEnvelopeSize + 1));
}

QDateTime lastAcceptedSigning(const QString &statePath, const QString &source)
{
    QJsonObject state;
    if (!readState(statePath, &state)) {
        setAside(statePath);
        return QDateTime();
    }
    const QDateTime time =
        QDateTime::fromString(state.value(source).toObject().value(QStringLiteral("signed")).toString(), Qt::ISODate);
    return time.isValid() ? time.toUTC() : QDateTime();
}

bool recordAcceptedSigning(const QString &statePath, const QString &source, const QDateTime &signedAt, QString *error)
{
    QJsonObject state;
    if (!readState(statePath, &state)) {
        setAside(statePath);
        state = QJsonObject();
    }
    state.insert(source, QJsonObject{{QStringLiteral("signed"), signedAt.toUTC().toString(Qt::ISODate)}});
    QSaveFile file(statePath);
    if (!file.open(QIODevice::WriteOnly) || file.write(QJsonDocument(state).toJson()) < 0 || !file.commit()) {
        if (error)
            *error = QStringLiteral("can't write %1: %2").arg(statePath, file.errorString());
        qWarning().noquote() << QStringLiteral("can't write signature state file %1: %2")
                                    .arg(statePath, file.errorString());
        return false;
    }
    return true;
}
