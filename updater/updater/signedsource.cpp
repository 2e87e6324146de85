#include "signedsource.h"

#include "signature.h"

#include <QCoreApplication>
#include <QDebug>
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

} // namespace

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
