#include "signature.h"

#include "entryname.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>

#include <memory>

namespace {

constexpr int kSignatureSize = 64;
// A PEM private key takes about 120 bytes; anything much larger is not one.
constexpr qint64 kMaxKeyFileSize = 4096;

using PKey = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using DigestContext = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;
using Bio = std::unique_ptr<BIO, decltype(&BIO_free)>;

bool fail(QString *error, const QString &reason)
{
    if (error)
        *error = reason;
    return false;
}

// libcrypto's last error as text; the queue is emptied so that a later,
// unrelated call on this thread does not report it again.
QString cryptoError(const char *what)
{
    char text[256] = "unknown error";
    if (const unsigned long code = ERR_peek_last_error())
        ERR_error_string_n(code, text, sizeof text);
    ERR_clear_error();
    return QStringLiteral("%1 failed: %2").arg(QLatin1String(what), QLatin1String(text));
}

const unsigned char *bytes(const QByteArray &data)
{
    return reinterpret_cast<const unsigned char *>(data.constData());
}

PKey privateKeyOf(const QByteArray &seed)
{
    return PKey(seed.size() == kSigningKeySize
                    ? EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, bytes(seed), size_t(seed.size()))
                    : nullptr,
                &EVP_PKEY_free);
}

bool rawKey(EVP_PKEY *key, bool privatePart, QByteArray *out)
{
    size_t size = kSigningKeySize;
    out->resize(kSigningKeySize);
    auto *data = reinterpret_cast<unsigned char *>(out->data());
    const int ok = privatePart ? EVP_PKEY_get_raw_private_key(key, data, &size)
                               : EVP_PKEY_get_raw_public_key(key, data, &size);
    return ok == 1 && size == size_t(kSigningKeySize);
}

bool ed25519Sign(const QByteArray &seed, const QByteArray &message, QByteArray *signature, QString *error)
{
    const PKey key = privateKeyOf(seed);
    const DigestContext context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    size_t size = kSignatureSize;
    signature->resize(kSignatureSize);
    // Ed25519 hashes the message itself: no digest is named.
    if (!key || !context || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1
        || EVP_DigestSign(context.get(), reinterpret_cast<unsigned char *>(signature->data()), &size,
                          bytes(message), size_t(message.size()))
               != 1
        || size != size_t(kSignatureSize))
        return fail(error, cryptoError("signing"));
    return true;
}

bool ed25519Verify(const QByteArray &publicKey, const QByteArray &message, const QByteArray &signature)
{
    const PKey key(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, bytes(publicKey), size_t(publicKey.size())),
                   &EVP_PKEY_free);
    const DigestContext context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    const bool ok = key && context && EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) == 1
                    && EVP_DigestVerify(context.get(), bytes(signature), size_t(signature.size()), bytes(message),
                                        size_t(message.size()))
                           == 1;
    ERR_clear_error();
    return ok;
}

// Never asks for a pass phrase: a protected key fails to load instead of
// waiting on a console that a build job may not have.
int noPassphrase(char *, int, int, void *)
{
    return 0;
}

// Writes a new file (never an existing one), readable by its owner only
// when secret: the permissions are set while the file is still empty.
bool writeNewFile(const QString &path, const QByteArray &content, bool secret, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return fail(error, QStringLiteral("can't create %1: %2").arg(path, file.errorString()));
    const bool ok = (!secret || file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner))
                    && file.write(content) == content.size() && file.flush();
    const QString reason = file.errorString();
    file.close();
    if (!ok || file.error() != QFileDevice::NoError) {
        file.remove();
        return fail(error, QStringLiteral("can't write %1: %2").arg(path, reason));
    }
    return true;
}

// A key file whole; one larger than any key is refused unread.
bool readKeyFile(const QString &path, QByteArray *content, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return fail(error, QStringLiteral("can't open key %1: %2").arg(path, file.errorString()));
    *content = file.read(kMaxKeyFileSize + 1);
    if (content->size() > kMaxKeyFileSize)
        return fail(error, QStringLiteral("key %1 is too large to be a key").arg(path));
    return true;
}

QString utcText(const QDateTime &time)
{
    return time.toUTC().toString(Qt::ISODate);
}

QByteArray sha256Hex(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex();
}

// The envelope's lines, in their only allowed order.
enum Field { Format, Document, Size, Sha256, Signed, Expires, Key, Signature, FieldCount };
const char *const kFieldNames[FieldCount] = {"kestra-signature", "document", "size", "sha256",
                                             "signed",           "expires",  "key",  "signature"};

struct Envelope
{
    QString document;
    qint64 size = 0;
    QByteArray sha256;
    QDateTime signedAt;
    QDateTime expires;
    QString keyId;
    QByteArray signature;
    QByteArray signedPart; // every line before the signature line
};

bool readTime(const QByteArray &value, QDateTime *time)
{
    *time = QDateTime::fromString(QString::fromLatin1(value), Qt::ISODate);
    // Only the one form the writer uses: UTC, seconds, "Z".
    return time->isValid() && time->timeSpec() == Qt::UTC && utcText(*time).toLatin1() == value;
}

// Splits the envelope into its fields: each line one known field, in order,
// none twice, every one but "expires" present.
bool splitEnvelope(const QByteArray &text, QByteArray values[FieldCount], bool seen[FieldCount],
                   QByteArray *signedPart, QString *error)
{
    if (text.size() > kMaxSignatureEnvelopeSize)
        return fail(error, QStringLiteral("longer than %1 bytes").arg(kMaxSignatureEnvelopeSize));
    if (!text.endsWith('\n') || text.contains('\r') || text.contains('\0'))
        return fail(error, QStringLiteral("lines must end in a line feed alone"));
    int last = -1;
    int start = 0;
    while (start < text.size()) {
        const int end = text.indexOf('\n', start);
        const QByteArray line = text.mid(start, end - start);
        const int blank = line.indexOf(' ');
        const QByteArray name = line.left(blank);
        int field = 0;
        while (field < FieldCount && name != kFieldNames[field])
            ++field;
        if (blank <= 0 || field == FieldCount)
            return fail(error, QStringLiteral("unknown field \"%1\"").arg(QString::fromUtf8(name.left(40))));
        if (seen[field])
            return fail(error, QStringLiteral("field \"%1\" given twice").arg(QLatin1String(name)));
        if (field < last)
            return fail(error, QStringLiteral("field \"%1\" out of order").arg(QLatin1String(name)));
        seen[field] = true;
        last = field;
        values[field] = line.mid(blank + 1);
        if (field == Signature)
            *signedPart = text.left(start);
        start = end + 1;
    }
    for (int field = 0; field < FieldCount; ++field) {
        if (!seen[field] && field != Expires)
            return fail(error, QStringLiteral("field \"%1\" missing").arg(QLatin1String(kFieldNames[field])));
    }
    return true;
}

bool parseEnvelope(const QByteArray &text, Envelope *envelope, QString *error)
{
    QByteArray values[FieldCount];
    bool seen[FieldCount] = {};
    if (!splitEnvelope(text, values, seen, &envelope->signedPart, error))
        return false;
    const auto bad = [error](Field field) {
        return fail(error, QStringLiteral("bad value of field \"%1\"").arg(QLatin1String(kFieldNames[field])));
    };
    if (values[Format] != "1")
        return fail(error, QStringLiteral("unknown format version"));
    envelope->document = QString::fromUtf8(values[Document]);
    if (envelope->document.toUtf8() != values[Document] || !isPortableEntryName(envelope->document)
        || envelope->document.trimmed() != envelope->document)
        return bad(Document);
    if (!QRegularExpression(QStringLiteral("^(0|[1-9][0-9]{0,17})$")).match(QLatin1String(values[Size])).hasMatch())
        return bad(Size);
    envelope->size = values[Size].toLongLong();
    envelope->sha256 = values[Sha256];
    if (!QRegularExpression(QStringLiteral("^[0-9a-f]{64}$")).match(QLatin1String(values[Sha256])).hasMatch())
        return bad(Sha256);
    if (!readTime(values[Signed], &envelope->signedAt))
        return bad(Signed);
    if (seen[Expires]
        && (!readTime(values[Expires], &envelope->expires) || envelope->expires <= envelope->signedAt))
        return bad(Expires);
    envelope->keyId = QString::fromLatin1(values[Key]);
    if (!QRegularExpression(QStringLiteral("^[0-9a-f]{16}$")).match(envelope->keyId).hasMatch())
        return bad(Key);
    // Only the canonical encoding of exactly 64 bytes: one signature has
    // one text, so nothing can hide in padding or stray characters.
    const auto decoded = QByteArray::fromBase64Encoding(values[Signature], QByteArray::AbortOnBase64DecodingErrors);
    envelope->signature = decoded.decoded;
    if (!decoded || envelope->signature.size() != kSignatureSize
        || envelope->signature.toBase64() != values[Signature])
        return bad(Signature);
    return true;
}

bool refuse(QString *reason, SignatureFault *fault, SignatureFault kind, const QString &text)
{
    if (fault)
        *fault = kind;
    return fail(reason, text);
}

} // namespace

bool generateSigningKeyPair(QByteArray *privateKey, QByteArray *publicKey, QString *error)
{
    EVP_PKEY *generated = nullptr;
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> context(
        EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr), &EVP_PKEY_CTX_free);
    if (!context || EVP_PKEY_keygen_init(context.get()) != 1 || EVP_PKEY_keygen(context.get(), &generated) != 1)
        return fail(error, cryptoError("key generation"));
    const PKey key(generated, &EVP_PKEY_free);
    if (!rawKey(key.get(), true, privateKey) || !rawKey(key.get(), false, publicKey))
        return fail(error, cryptoError("key export"));
    return true;
}

bool writeSigningKeyPair(const QString &basePath, QByteArray *publicKeyOut, QString *error)
{
    const QString keyPath = basePath + QStringLiteral(".key");
    const QString publicPath = basePath + QStringLiteral(".pub");
    // A key in use must never be lost to a typing slip: refuse before
    // anything is written.
    for (const QString &path : {keyPath, publicPath}) {
        if (QFileInfo::exists(path) || QFileInfo(path).isSymLink())
            return fail(error, QStringLiteral("%1 already exists, not replaced").arg(path));
    }
    QByteArray seed;
    QByteArray publicKey;
    if (!generateSigningKeyPair(&seed, &publicKey, error))
        return false;
    const PKey key = privateKeyOf(seed);
    const Bio bio(BIO_new(BIO_s_mem()), &BIO_free);
    if (!key || !bio || PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
        return fail(error, cryptoError("key encoding"));
    char *pem = nullptr;
    const long pemSize = BIO_get_mem_data(bio.get(), &pem);
    if (!writeNewFile(keyPath, QByteArray(pem, int(pemSize)), true, error))
        return false;
    if (!writeNewFile(publicPath, publicKey.toBase64() + '\n', false, error)) {
        QFile::remove(keyPath);
        return false;
    }
    if (publicKeyOut)
        *publicKeyOut = publicKey;
    return true;
}

bool loadSigningKey(const QString &path, QByteArray *privateKey, QByteArray *publicKey, QString *error)
{
    QByteArray pem;
    if (!readKeyFile(path, &pem, error))
        return false;
    const Bio bio(BIO_new_mem_buf(pem.constData(), pem.size()), &BIO_free);
    const PKey key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, noPassphrase, nullptr) : nullptr,
                   &EVP_PKEY_free);
    if (!key)
        return fail(error, QStringLiteral("key %1 is not a private key without pass phrase: %2")
                               .arg(path, cryptoError("reading")));
    if (EVP_PKEY_id(key.get()) != EVP_PKEY_ED25519)
        return fail(error, QStringLiteral("key %1 is not an Ed25519 key").arg(path));
    QByteArray seed;
    QByteArray half;
    if (!rawKey(key.get(), true, &seed) || !rawKey(key.get(), false, &half))
        return fail(error, cryptoError("key export"));
    *privateKey = seed;
    if (publicKey)
        *publicKey = half;
    return true;
}

bool parsePublicKey(const QString &text, QByteArray *publicKey, QString *error)
{
    const QByteArray latin = text.trimmed().toLatin1();
    const auto decoded = QByteArray::fromBase64Encoding(latin, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() != kSigningKeySize || decoded.decoded.toBase64() != latin)
        return fail(error, QStringLiteral("not a base64 Ed25519 public key: %1").arg(text.left(60)));
    *publicKey = decoded.decoded;
    return true;
}

bool loadPublicKey(const QString &path, QByteArray *publicKey, QString *error)
{
    QByteArray text;
    return readKeyFile(path, &text, error) && parsePublicKey(QString::fromLatin1(text), publicKey, error);
}

QString signingKeyId(const QByteArray &publicKey)
{
    return QString::fromLatin1(sha256Hex(publicKey).left(16));
}

QString signatureFilePath(const QString &documentPath)
{
    const QFileInfo info(documentPath);
    return info.path() + QLatin1Char('/') + info.completeBaseName() + QStringLiteral(".sig");
}

QByteArray makeSignatureEnvelope(const QString &documentName, const QByteArray &document,
                                 const QByteArray &privateKey, const QDateTime &signedAt, const QDateTime &expires,
                                 QString *error)
{
    const PKey key = privateKeyOf(privateKey);
    QByteArray publicKey;
    if (!key || !rawKey(key.get(), false, &publicKey)) {
        fail(error, cryptoError("key import"));
        return QByteArray();
    }
    QByteArray text = "kestra-signature 1\n";
    text += "document " + documentName.toUtf8() + '\n';
    text += "size " + QByteArray::number(document.size()) + '\n';
    text += "sha256 " + sha256Hex(document) + '\n';
    text += "signed " + utcText(signedAt).toLatin1() + '\n';
    if (expires.isValid())
        text += "expires " + utcText(expires).toLatin1() + '\n';
    text += "key " + signingKeyId(publicKey).toLatin1() + '\n';
    QByteArray signature;
    if (!ed25519Sign(privateKey, text, &signature, error))
        return QByteArray();
    return text + "signature " + signature.toBase64() + '\n';
}

bool signDocumentFile(const QString &documentPath, const QByteArray &privateKey, const QDateTime &expires,
                      QString *error)
{
    const QString sigPath = signatureFilePath(documentPath);
    if (QFileInfo(sigPath) == QFileInfo(documentPath))
        return fail(error, QStringLiteral("%1 would be its own signature file").arg(documentPath));
    QFile document(documentPath);
    if (!document.open(QIODevice::ReadOnly))
        return fail(error, QStringLiteral("can't open %1: %2").arg(documentPath, document.errorString()));
    const QByteArray content = document.readAll();
    if (document.error() != QFileDevice::NoError)
        return fail(error, QStringLiteral("can't read %1: %2").arg(documentPath, document.errorString()));
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const QByteArray envelope = makeSignatureEnvelope(QFileInfo(documentPath).fileName(), content, privateKey,
                                                      now.addMSecs(-now.time().msec()), expires, error);
    if (envelope.isEmpty())
        return false;
    QSaveFile file(sigPath);
    if (!file.open(QIODevice::WriteOnly) || file.write(envelope) != envelope.size() || !file.commit())
        return fail(error, QStringLiteral("can't write %1: %2").arg(sigPath, file.errorString()));
    return true;
}

bool verifySignatureEnvelope(const QByteArray &envelope, const QString &documentName, const QByteArray &document,
                             const QList<QByteArray> &trustedKeys, QDateTime *signedAt, QString *reason,
                             SignatureFault *fault)
{
    Envelope parsed;
    QString why;
    if (!parseEnvelope(envelope, &parsed, &why))
        return refuse(reason, fault, SignatureFault::Malformed, QStringLiteral("malformed signature file: ") + why);
    // Nothing the envelope says counts before its signature holds; the key
    // id only picks which trusted key to try.
    bool known = false;
    bool valid = false;
    for (const QByteArray &key : trustedKeys) {
        if (signingKeyId(key) != parsed.keyId)
            continue;
        known = true;
        if (ed25519Verify(key, parsed.signedPart, parsed.signature)) {
            valid = true;
            break;
        }
    }
    if (!known)
        return refuse(reason, fault, SignatureFault::UntrustedKey,
                      QStringLiteral("signed by key %1, which is not trusted").arg(parsed.keyId));
    if (!valid)
        return refuse(reason, fault, SignatureFault::BadSignature,
                      QStringLiteral("the signature does not match the signature file"));
    if (parsed.document != documentName)
        return refuse(reason, fault, SignatureFault::DocumentMismatch,
                      QStringLiteral("the signature is for document %1, not %2").arg(parsed.document, documentName));
    if (parsed.size != document.size() || parsed.sha256 != sha256Hex(document))
        return refuse(reason, fault, SignatureFault::DocumentMismatch,
                      QStringLiteral("document %1 is not the one signed (size or SHA-256 differ)").arg(documentName));
    if (parsed.expires.isValid() && QDateTime::currentDateTimeUtc() >= parsed.expires)
        return refuse(reason, fault, SignatureFault::Expired,
                      QStringLiteral("the signature expired at %1").arg(utcText(parsed.expires)));
    if (signedAt)
        *signedAt = parsed.signedAt;
    if (fault)
        *fault = SignatureFault::None;
    return true;
}

QDateTime envelopeSigningTime(const QByteArray &envelope)
{
    Envelope parsed;
    QString why;
    return parseEnvelope(envelope, &parsed, &why) ? parsed.signedAt : QDateTime();
}

bool envelopeDescribes(const QByteArray &envelope, const QByteArray &document)
{
    Envelope parsed;
    QString why;
    return parseEnvelope(envelope, &parsed, &why) && parsed.size == document.size()
           && parsed.sha256 == sha256Hex(document);
}

bool verifyDocumentFile(const QString &documentPath, const QList<QByteArray> &trustedKeys, QDateTime *signedAt,
                        QString *reason, SignatureFault *fault)
{
    QFile envelope(signatureFilePath(documentPath));
    QFile document(documentPath);
    if (!envelope.open(QIODevice::ReadOnly))
        return refuse(reason, fault, SignatureFault::Malformed,
                      QStringLiteral("can't open %1: %2").arg(envelope.fileName(), envelope.errorString()));
    if (!document.open(QIODevice::ReadOnly))
        return refuse(reason, fault, SignatureFault::DocumentMismatch,
                      QStringLiteral("can't open %1: %2").arg(documentPath, document.errorString()));
    // One byte past the limit is enough to refuse an over-long envelope.
    return verifySignatureEnvelope(envelope.read(kMaxSignatureEnvelopeSize + 1), QFileInfo(documentPath).fileName(),
                                   document.readAll(), trustedKeys, signedAt, reason, fault);
}
