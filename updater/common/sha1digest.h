#ifndef SHA1DIGEST_H
#define SHA1DIGEST_H

#include <QByteArray>

#include <memory>

struct EvpDigestState;

// Incremental SHA-1. Packs are hashed in full on every build and every file
// an update brings is checked, so the digest runs on libcrypto (several
// times QCryptographicHash's speed on CPUs with SHA instructions).
class Sha1Digest
{
public:
    Sha1Digest();
    ~Sha1Digest();
    Sha1Digest(const Sha1Digest &) = delete;
    Sha1Digest &operator=(const Sha1Digest &) = delete;

    void addData(const char *data, qint64 length);
    // The 20 raw digest bytes; call once, after the last addData.
    QByteArray result();

    // Frees what the digest library keeps for the calling thread. A thread
    // that hashed calls it when its work is done: the library would free it
    // only as the thread ends, which at process exit may come too late for
    // the leak checker of sanitizer builds.
    static void releaseThreadState();

private:
    std::unique_ptr<EvpDigestState> d;
};

// Incremental SHA-256, the same way: packs list it beside SHA-1, which alone
// does not resist a collision made by whoever builds the files.
class Sha256Digest
{
public:
    Sha256Digest();
    ~Sha256Digest();
    Sha256Digest(const Sha256Digest &) = delete;
    Sha256Digest &operator=(const Sha256Digest &) = delete;

    void addData(const char *data, qint64 length);
    // The 32 raw digest bytes; call once, after the last addData.
    QByteArray result();

private:
    std::unique_ptr<EvpDigestState> d;
};

#endif // SHA1DIGEST_H
