#include "sha1digest.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <QCryptographicHash>

struct Sha1Digest::Private
{
    ~Private()
    {
        if (context)
            EVP_MD_CTX_free(context);
    }
    EVP_MD_CTX *context = nullptr;
    // Used only when libcrypto cannot set up a context (out of memory, a
    // provider that refuses SHA-1): the digest must still come out right.
    QCryptographicHash fallback{QCryptographicHash::Sha1};
};

Sha1Digest::Sha1Digest() : d(new Private)
{
    d->context = EVP_MD_CTX_new();
    if (d->context && EVP_DigestInit_ex(d->context, EVP_sha1(), nullptr) != 1) {
        EVP_MD_CTX_free(d->context);
        d->context = nullptr;
    }
}

Sha1Digest::~Sha1Digest() = default;

void Sha1Digest::addData(const char *data, qint64 length)
{
    if (d->context) {
        EVP_DigestUpdate(d->context, data, static_cast<size_t>(length));
        return;
    }
    // QCryptographicHash takes int lengths; feed huge blocks in parts.
    while (length > 0) {
        const int part = static_cast<int>(qMin<qint64>(length, 1 << 30));
        d->fallback.addData(data, part);
        data += part;
        length -= part;
    }
}

QByteArray Sha1Digest::result()
{
    if (!d->context)
        return d->fallback.result();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(d->context, digest, &size) != 1)
        return QByteArray();
    return QByteArray(reinterpret_cast<const char *>(digest), static_cast<int>(size));
}

void Sha1Digest::releaseThreadState()
{
    OPENSSL_thread_stop();
}
