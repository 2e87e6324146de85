#ifndef SIGNATURE_H
#define SIGNATURE_H

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

// Ed25519 signatures of published documents (a pack's file-information
// document, a project document), on OpenSSL's libcrypto.
//
// A signed document FILE gets a signature file beside it, FILE's base name
// + ".sig": a small text envelope of LF-terminated "name value" lines in this
// fixed order, "expires" optional:
//
//   kestra-signature 1
//   document update_fileinfo.xml
//   size 1234
//   sha256 <64 lowercase hex digits of the document's SHA-256>
//   signed 2026-12-07T11:40:00Z
//   expires 2027-06-01T00:00:00Z
//   key <16 lowercase hex digits: the start of the SHA-256 of the public key>
//   signature <base64 of the 64-byte Ed25519 signature>
//
// The signature covers the bytes of every line before the "signature" line,
// exactly as written (line feeds included). The document itself is not
// changed, so readers that know nothing of signatures read it as before.

// Raw key sizes: a public key, and a private key's seed.
constexpr int kSigningKeySize = 32;
// Longest envelope accepted; a real one takes about 300 bytes.
constexpr int kMaxSignatureEnvelopeSize = 4096;

// Why a verification failed, for callers that tell users in their words.
enum class SignatureFault {
    None,
    Malformed,        // the envelope breaks its format
    UntrustedKey,     // signed by no key of the trusted set
    BadSignature,     // the signature does not match the envelope
    DocumentMismatch, // the envelope names another document, size or SHA-256
    Expired           // the envelope's expiry has passed
};

// A fresh key pair (raw bytes); false only when libcrypto fails.
bool generateSigningKeyPair(QByteArray *privateKey, QByteArray *publicKey, QString *error = nullptr);
// Writes basePath + ".key" (PKCS#8 PEM, readable by its owner only) and
// basePath + ".pub" (one base64 line) and gives the public key. Existing
// files are never replaced.
bool writeSigningKeyPair(const QString &basePath, QByteArray *publicKey = nullptr, QString *error = nullptr);
// Reads a private key file written by writeSigningKeyPair (an Ed25519
// PKCS#8 PEM key without a pass phrase); publicKey receives its public half.
bool loadSigningKey(const QString &path, QByteArray *privateKey, QByteArray *publicKey = nullptr,
                    QString *error = nullptr);
// A public key as base64 text (a .pub file's line, a configured key).
bool parsePublicKey(const QString &text, QByteArray *publicKey, QString *error = nullptr);
bool loadPublicKey(const QString &path, QByteArray *publicKey, QString *error = nullptr);
// The id an envelope names its key by.
QString signingKeyId(const QByteArray &publicKey);

// Where the envelope of documentPath lies: same folder, base name + ".sig".
QString signatureFilePath(const QString &documentPath);

// The envelope for document (bytes) named documentName, signed at signedAt;
// an invalid expires means none. Empty on failure.
QByteArray makeSignatureEnvelope(const QString &documentName, const QByteArray &document,
                                 const QByteArray &privateKey, const QDateTime &signedAt,
                                 const QDateTime &expires = QDateTime(), QString *error = nullptr);
// Signs the file at documentPath now: writes its envelope beside it.
bool signDocumentFile(const QString &documentPath, const QByteArray &privateKey,
                      const QDateTime &expires = QDateTime(), QString *error = nullptr);

// Checks envelope (untrusted) against document, the bytes the caller read
// under the name documentName: format, a key of trustedKeys (raw public
// keys), the signature, the name, size and SHA-256 of the document and the
// expiry. On success signedAt receives the signing time (UTC); on failure
// reason tells why and fault what kind of failure it was.
bool verifySignatureEnvelope(const QByteArray &envelope, const QString &documentName, const QByteArray &document,
                             const QList<QByteArray> &trustedKeys, QDateTime *signedAt = nullptr,
                             QString *reason = nullptr, SignatureFault *fault = nullptr);
// The signing time an envelope states, read without checking its signature
// (for envelopes kept beside documents accepted earlier); invalid when the
// envelope breaks its format.
QDateTime envelopeSigningTime(const QByteArray &envelope);
// True when the envelope, read without checking its signature, states this
// document's size and SHA-256: a cheap test before the real check.
bool envelopeDescribes(const QByteArray &envelope, const QByteArray &document);
// verifySignatureEnvelope for a document file and the envelope beside it.
bool verifyDocumentFile(const QString &documentPath, const QList<QByteArray> &trustedKeys,
                        QDateTime *signedAt = nullptr, QString *reason = nullptr, SignatureFault *fault = nullptr);

#endif // SIGNATURE_H
