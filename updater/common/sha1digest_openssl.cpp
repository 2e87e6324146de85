#include "sha1digest.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <QCryptographicHash>

struct EvpDigestState
{
    EvpDigestState(const EVP_MD *type, QCryptographicHash::Algorithm algorithm) : fallback(algorithm)
    {
        context = EVP_MD_CTX_new();
        if (context && EVP_DigestInit_ex(context, type, nullptr) != 1) {
            EVP_MD_CTX_free(context);
            context = nullptr;
        }
    }
    ~EvpDigestState()
    {
        if (context)
            EVP_MD_CTX_free(context);
    }

    void addData(const char *data, qint64 length)
    {
        if (context) {
            EVP_DigestUpdate(context, data, static_cast<size_t>(length));
            return;
        }
        // QCryptographicHash takes int lengths; feed huge blocks in parts.
        while (length > 0) {
            const int part = static_cast<int>(qMin<qint64>(length, 1 << 30));
            fallback.addData(data, part);
            data += part;
            length -= part;
        }
    }

    QByteArray result()
    {
        if (!context)
            return fallback.result();
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int size = 0;
        if (EVP_DigestFinal_ex(context, digest, &size) != 1)
            return QByteArray();
        return QByteArray(reinterpret_cast<const char *>(digest), static_cast<int>(size));
    }

    EVP_MD_CTX *context = nullptr;
    // Used only when libcrypto cannot set up a context (out of memory, a
    // provider that refuses the algorithm): the digest must still come out
    // right.
    QCryptographicHash fallback;
};

Sha1Digest::Sha1Digest() : d(new EvpDigestState(EVP_sha1(), QCryptographicHash::Sha1)) {}

Sha1Digest::~Sha1Digest() = default;

void Sha1Digest::addData(const char *data, qint64 length)
{
    d->addData(data, length);
}

QByteArray Sha1Digest::result()
{
    return d->result();
}

void Sha1Digest::releaseThreadState()
{
    OPENSSL_thread_stop();
}

Sha256Digest::Sha256Digest() : d(new EvpDigestState(EVP_sha256(), QCryptographicHash::Sha256)) {}

Sha256Digest::~Sha256Digest() = default;

void Sha256Digest::addData(const char *data, qint64 length)
{
    d->addData(data, length);
}

QByteArray Sha256Digest::result()
{
    return d->result();
}
