#include "updatelookahead.h"

#include "filestat.h"
#include "packfetcher.h"
#include "transfer.h"

#include <QFileInfo>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// How far the workers may run ahead of the loop. Enough to keep both cores
// and the downloads busy; small enough that an interrupted run wastes little.
const int kWindow = 256;

enum Decision : int { Pending = 0, Keep = 1, Replace = 2 };

} // namespace

bool fileNeedsUpdate(const QString &path, const QString &hash, qint64 size, bool compareHash)
{
    // One system call: with an unchanged document this is all the check of
    // a file costs, ten thousand times for a large module.
    qint64 actual = 0;
    if (!localFileSize(path, &actual))
        return true;
    if (actual != size)
        return true;
    if (!compareHash)
        return false;
    return calcHash(path, QCryptographicHash::Sha1) != hash;
}

struct UpdateLookahead::Private
{
    QVector<Item> items;
    bool compareHash = false;
    PackFetcher *fetcher = nullptr;
    std::vector<int> decisions;
    std::atomic<int> next{0};
    int consumed = 0; // guarded by mutex
    bool stopping = false;
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::thread> workers;

    void work()
    {
        for (;;) {
            int index;
            {
                std::unique_lock<std::mutex> lock(mutex);
                changed.wait(lock, [&] { return stopping || next.load() < consumed + kWindow; });
                if (stopping)
                    return;
                index = next++;
                if (index >= items.size())
                    return;
            }
            const Item &item = items.at(index);
            Decision decision = Keep;
            if (item.evaluate) {
                if (item.protectedName && QFileInfo::exists(item.target)) {
                    decision = Keep; // the loop leaves it alone
                } else if (fileNeedsUpdate(item.target, item.hash, item.size, compareHash)) {
                    decision = Replace;
                    if (fetcher)
                        fetcher->enqueue(index, item.source, item.tempPath, item.size);
                }
            }
            {
                std::lock_guard<std::mutex> lock(mutex);
                decisions[size_t(index)] = decision;
            }
            changed.notify_all();
        }
    }
};

UpdateLookahead::UpdateLookahead(const QVector<Item> &items, bool compareHash, PackFetcher *fetcher, int threads)
    : d(std::make_unique<Private>())
{
    d->items = items;
    d->compareHash = compareHash;
    d->fetcher = fetcher;
    d->decisions.assign(size_t(items.size()), Pending);
    bool any = false;
    for (const Item &item : items)
        any = any || item.evaluate;
    if (!any)
        return;
    for (int i = 0; i < qMax(1, threads); ++i)
        d->workers.emplace_back([this] { d->work(); });
}

UpdateLookahead::~UpdateLookahead()
{
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        d->stopping = true;
    }
    d->changed.notify_all();
    for (std::thread &worker : d->workers)
        worker.join();
}

bool UpdateLookahead::needUpdate(int index)
{
    std::unique_lock<std::mutex> lock(d->mutex);
    if (index + 1 > d->consumed) {
        d->consumed = index + 1;
        d->changed.notify_all();
    }
    d->changed.wait(lock, [&] { return d->decisions[size_t(index)] != Pending; });
    return d->decisions[size_t(index)] == Replace;
}
