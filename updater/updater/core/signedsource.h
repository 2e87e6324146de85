#ifndef SIGNEDSOURCE_H
#define SIGNEDSOURCE_H

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

// Checks of the signed documents the updater fetches (project documents,
// file-information documents) before anything reads them, and the signing
// times it remembers so that no server can bring back an older release.

// Why a fetched document was not used, as the user is told.
enum class DocumentRefusal {
    None,
    Signature,   // missing, malformed, untrusted or not matching the document
    Expired,     // the envelope's expiry has passed
    Older,       // signed before the document accepted last time
    OtherModule  // a signed document, but of another module
};

// The Russian reason shown in the error line: "подпись", "истёк срок",
// "старее установленного", "документ другого модуля".
QString refusalText(DocumentRefusal refusal);

// Where the envelope of a document lies on its server: the same folder,
// the document's name without its last suffix + ".sig". Works for URLs and
// paths alike (QFileInfo would fold the "//" of a URL).
QString signatureSource(const QString &documentSource);
// The last part of a source (URL, path or share path): the name the
// publisher signed the document under.
QString sourceFileName(const QString &documentSource);

// Checks document (the bytes fetched under documentName) against the
// envelope fetched into envelopePath (untrusted): signature by one of keys,
// name, size and SHA-256, expiry, and a signing time not before notBefore
// (invalid: no bound). signedAt receives the signing time.
bool checkSignedDocument(const QByteArray &document, const QString &documentName, const QString &envelopePath,
                         const QList<QByteArray> &keys, const QDateTime &notBefore, QDateTime *signedAt,
                         DocumentRefusal *refusal, QString *reason);

// The "name" of a file-information document's first "infoaboutmodule"
// element: the module the pack was built for. Empty when there is none.
QString packModuleName(const QByteArray &document);

// ---- mirrors ----
// A mirror keeps what it fetched, byte for byte, for workstations that
// trust the publisher and not the mirror: each module's update_fileinfo.xml
// with its envelope in the module's folder, and each upstream project
// document with its envelope in this folder of the mirror, listed by name in
// its index file.
extern const QString kUpstreamFolder;      // "upstream"
extern const QString kUpstreamIndexName;   // "documents.txt", one name a line
extern const QString kUpstreamFileinfoName; // "update_fileinfo.xml"

// The project document to read from a mirror: for every project element of
// mirrorDocument (untrusted) whose guid a signed upstream document lists,
// that signed element with only the pack locations (each binary's "path"
// and "file_name", matched by architecture) taken from the mirror; a binary
// the mirror lacks is left out, and so are elements no signed document
// lists. Empty, with the reason, when a document cannot be read.
QByteArray composeMirrorDocument(const QByteArray &mirrorDocument, const QList<QByteArray> &signedUpstream,
                                 QString *error);

// True when every "fileinfo" entry of mirrorFileinfo (untrusted) equals the
// entry at the same place of the signed document in everything but the
// text of its "data" element, and neither has more entries.
bool sameEntriesButData(const QByteArray &mirrorFileinfo, const QByteArray &signedFileinfo, QString *error);

// Signing time of the envelope kept beside a document accepted earlier
// (documentPath's .sig); invalid when there is none or it is unreadable.
QDateTime keptSigningTime(const QString &documentPath);

// The signing time of the project document last accepted from source,
// kept in the small JSON state file statePath; invalid when none is known.
// A damaged state file is moved aside (statePath + ".damaged") and logged:
// it bounds nothing, and its content is kept for whoever looks into it.
QDateTime lastAcceptedSigning(const QString &statePath, const QString &source);
// Records signedAt for source; the file is rewritten in one step.
bool recordAcceptedSigning(const QString &statePath, const QString &source, const QDateTime &signedAt,
                           QString *error = nullptr);

#endif // SIGNEDSOURCE_H
