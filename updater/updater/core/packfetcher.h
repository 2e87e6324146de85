#ifndef PACKFETCHER_H
#define PACKFETCHER_H

#include <QCryptographicHash>
#include <QString>

#include <functional>
#include <memory>

// Fetches the data files of one module step, computing each file's digest
// (SHA-1 or SHA-256, as its entry names it) while it streams to disk. Web sources are downloaded on a thread of the
// fetcher's own (each with its reused network manager) with several requests
// in flight, so files can arrive ahead of the install loop; local sources
// (plain folders, shares) are copied when they are waited for.
//
// Look-ahead is bounded: besides the lowest pending job, downloads start only
// while the bytes fetched and not yet taken stay below a budget, so a module
// of large files never fills the temporary folder ahead of the loop.
// Destroying the fetcher aborts what is still in flight and removes the
// files that were not taken.
class PackFetcher
{
public:
    // maxInFlight requests per network thread, threads network threads.
    explicit PackFetcher(int maxInFlight = 6, qint64 byteBudget = 64 * 1024 * 1024, int threads = 3);
    ~PackFetcher();
    PackFetcher(const PackFetcher &) = delete;
    PackFetcher &operator=(const PackFetcher &) = delete;

    // Queues a fetch of source into destination under id (unique per
    // fetcher). size is the expected byte count, used for the budget only;
    // algorithm the digest take() gives (SHA-1 or SHA-256). Thread-safe.
    void enqueue(int id, const QString &source, const QString &destination, qint64 size,
                 QCryptographicHash::Algorithm algorithm = QCryptographicHash::Sha1);

    // Waits until id is fetched and takes the result: true with the content's
    // digest (lowercase hex), or false with the reason (no file left behind).
    // An id that was never queued is an error.
    // While it waits, take() calls the progress handler (in the waiting
    // thread, about four times a second) with the bytes of id received so
    // far, and gives up with an error when the waiting thread is asked to
    // stop (QThread::requestInterruption).
    bool take(int id, QString *digest, QString *error);

    void setProgressHandler(std::function<void(int id, qint64 bytes)> handler);

    // True for sources that are downloaded (http, https, ftp), as opposed to
    // copied from a local path.
    static bool isRemote(const QString &source);

private:
    friend class FetchWorker;
    struct Private;
    std::unique_ptr<Private> d;
};

#endif // PACKFETCHER_H
