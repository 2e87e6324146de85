#include "sha1digest.h"

#include <QCryptographicHash>

struct Sha1Digest::Private
{
    QCryptographicHash hash{QCryptographicHash::Sha1};
};

Sha1Digest::Sha1Digest() : d(new Private) {}

Sha1Digest::~Sha1Digest() = default;

void Sha1Digest::addData(const char *data, qint64 length)
{
    // QCryptographicHash takes int lengths; feed huge blocks in parts.
    while (length > 0) {
        const int part = static_cast<int>(qMin<qint64>(length, 1 << 30));
        d->hash.addData(data, part);
        data += part;
        length -= part;
    }
}

QByteArray Sha1Digest::result()
{
    return d->hash.result();
}

void Sha1Digest::releaseThreadState() {}
