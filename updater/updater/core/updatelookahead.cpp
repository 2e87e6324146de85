#include "updatelookahead.h"

#include "fileops.h"
#include "filestat.h"
#include "packfetcher.h"
#include "transfer.h"

#include <QDebug>
#include <QFileInfo>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <system_error>
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
    return calcHash(path, digestAlgorithm(hash)) != hash;
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

    Decision decide(int index)
    {
        const Item &item = items.at(index);
        if (!item.evaluate)
            return Keep;
        if (item.protectedName && QFileInfo::exists(item.target))
            return Keep; // the loop leaves it alone
        if (!fileNeedsUpdate(item.target, item.hash, item.size, compareHash))
            return Keep;
        if (fetcher)
            fetcher->enqueue(index, item.source, item.tempPath, item.size, digestAlgorithm(item.hash));
        return Replace;
    }

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
            const Decision decision = decide(index);
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
    try {
        for (int i = 0; i < qMax(1, threads); ++i)
            d->workers.emplace_back([this] { d->work(); });
    } catch (const std::system_error &) {
        // Out of threads is no reason to end the update: the workers already
        // started go on, and with none the loop decides each file itself.
        qWarning().noquote() << QStringLiteral("update look-ahead runs with %1 worker thread(s)")
                                    .arg(d->workers.size());
    }
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
    if (d->workers.empty())
        return d->decide(index) == Replace;
    std::unique_lock<std::mutex> lock(d->mutex);
    if (index + 1 > d->consumed) {
        d->consumed = index + 1;
        d->changed.notify_all();
    }
    d->changed.wait(lock, [&] { return d->decisions[size_t(index)] != Pending; });
    return d->decisions[size_t(index)] == Replace;
}

namespace {

// Size lookups in one folder after another: the entries of a folder stand
// together, so one folder is open at a time. The loop only ever adds
// folders, and a folder missing when it was opened is asked by path.
class FolderCursor
{
public:
    explicit FolderCursor(const QVector<QString> &folders) : m_folders(folders) {}

    bool fileSize(int folder, const QString &name, qint64 *size)
    {
        if (folder != m_index || !m_sizes) {
            m_sizes = std::make_unique<FolderFileSizes>(m_folders.at(folder));
            m_index = folder;
        }
        return m_sizes->fileSize(name, size);
    }

private:
    const QVector<QString> &m_folders;
    int m_index = -1;
    std::unique_ptr<FolderFileSizes> m_sizes;
};

} // namespace

struct SizePrefetch::Private
{
    // Per entry: Free until the worker claims it (Busy) or the loop does
    // (Taken); what the worker found is Found | Exists | epoch << 4. A claim
    // keeps both from reading the same file.
    enum : quint32 { Free = 0, Busy = 1, Taken = 2, Found = 4, Exists = 8 };
    static constexpr int kEpochShift = 4;
    QVector<QString> folders;
    std::function<int(int)> folderOf;
    std::function<QString(int)> nameOf;
    int count = 0;
    std::unique_ptr<std::atomic<quint32>[]> states;
    std::unique_ptr<qint64[]> sizes; // written before the state that publishes it
    std::atomic<int> loopAt{-1};     // the entry the loop is checking
    std::atomic<quint32> epoch{0};   // counts the loop's changes on disk
    std::atomic<bool> stopping{false};
    std::unique_ptr<FolderCursor> loopCursor; // the loop's own lookups
    std::thread worker;

    void work()
    {
        FolderCursor cursor(folders);
        for (int i = 0; i < count && !stopping.load(std::memory_order_relaxed); ++i) {
            // Entries the loop has reached it checks itself.
            const int at = loopAt.load(std::memory_order_relaxed);
            if (i <= at)
                i = at + 1;
            if (i >= count)
                break;
            const int folder = folderOf(i);
            if (folder < 0)
                continue;
            quint32 expected = Free;
            if (!states[size_t(i)].compare_exchange_strong(expected, Busy, std::memory_order_acq_rel))
                continue; // the loop got there first
            // The epoch is read before the file: a change during the call
            // makes the answer stale, as it should.
            const quint32 seen = epoch.load(std::memory_order_acquire);
            qint64 size = 0;
            const bool exists = cursor.fileSize(folder, nameOf(i), &size);
            sizes[size_t(i)] = size;
            states[size_t(i)].store(Found | (exists ? quint32(Exists) : 0u) | (seen << kEpochShift),
                                    std::memory_order_release);
        }
    }
};

SizePrefetch::SizePrefetch(int count, const QVector<QString> &folders, std::function<int(int)> folderOf,
                           std::function<QString(int)> nameOf)
    : d(std::make_unique<Private>())
{
    d->folders = folders;
    d->folderOf = std::move(folderOf);
    d->nameOf = std::move(nameOf);
    d->count = count;
    d->states.reset(new std::atomic<quint32>[size_t(count)]);
    for (int i = 0; i < count; ++i)
        d->states[size_t(i)].store(Private::Free, std::memory_order_relaxed);
    d->sizes.reset(new qint64[size_t(count)]);
    d->loopCursor = std::make_unique<FolderCursor>(d->folders);
    if (count > 1) {
        try {
            d->worker = std::thread([this] { d->work(); });
        } catch (const std::system_error &) {
            // No thread to spare: the loop reads every size itself.
            qWarning().noquote() << QStringLiteral("size read-ahead runs without its worker thread");
        }
    }
}

SizePrefetch::~SizePrefetch()
{
    d->stopping.store(true);
    if (d->worker.joinable())
        d->worker.join();
}

bool SizePrefetch::fileSize(int index, qint64 *size)
{
    d->loopAt.store(index, std::memory_order_relaxed);
    std::atomic<quint32> &slot = d->states[size_t(index)];
    quint32 state = Private::Free;
    if (!slot.compare_exchange_strong(state, Private::Taken, std::memory_order_acq_rel)) {
        // The worker is reading this very file: its answer is a moment
        // away, unless the worker lost its processor; then the loop reads
        // the file itself.
        for (int spin = 0; state == Private::Busy && spin < 64; ++spin) {
            std::this_thread::yield();
            state = slot.load(std::memory_order_acquire);
        }
        if ((state & Private::Found)
            && (state >> Private::kEpochShift)
                   == (d->epoch.load(std::memory_order_relaxed) & (~quint32(0) >> Private::kEpochShift))) {
            *size = d->sizes[size_t(index)];
            return state & Private::Exists;
        }
    }
    return d->loopCursor->fileSize(d->folderOf(index), d->nameOf(index), size);
}

void SizePrefetch::invalidate()
{
    d->epoch.fetch_add(1, std::memory_order_acq_rel);
}
