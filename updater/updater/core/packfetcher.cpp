#include "packfetcher.h"

#include "download.h"
#include "fileops.h"
#include "settings.h"
#include "transfer.h"

#include <QElapsedTimer>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QObject>
#include <QThread>
#include <QUrl>
#include <QWaitCondition>

#include <atomic>
#include <functional>
#include <map>
#include <vector>

namespace {

// Progress is reported at most this often while a file is waited for.
const unsigned long kProgressIntervalMs = 250;

struct Job
{
    enum State { Queued, Running, Done };
    QString source;
    QString destination;
    qint64 size = 0;
    QCryptographicHash::Algorithm algorithm = QCryptographicHash::Sha1;
    bool remote = false;
    State state = Queued;
    bool ok = false;
    QString digest;
    QString error;
    // Content bytes written so far, shared with the download.
    std::shared_ptr<std::atomic<qint64>> received = std::make_shared<std::atomic<qint64>>(0);
};

} // namespace

// Lives in the fetcher's thread; owns the downloads in flight.
class FetchWorker : public QObject
{
    Q_OBJECT
public:
    explicit FetchWorker(PackFetcher::Private *d) : m_d(d) {}

    // One wake-up covers every change made before it runs, so a burst of
    // queued jobs costs one event per worker, not one per job.
    void poke()
    {
        if (!m_pokePending.exchange(true))
            QMetaObject::invokeMethod(this, "pump", Qt::QueuedConnection);
    }

public slots:
    void pump();
    void shutdown();

private:
    struct Transfer
    {
        int id = 0;
        QFile file;
        std::unique_ptr<Download> download;
    };

    void start(int id, const Job &job);
    void complete(Transfer *t, const QString &error);

    PackFetcher::Private *m_d;
    std::map<int, std::unique_ptr<Transfer>> m_transfers;
    int m_running = 0; // under the fetcher's mutex
    bool m_stopping = false;
    std::atomic<bool> m_pokePending{false};
};

struct PackFetcher::Private
{
    QMutex mutex;
    QWaitCondition changed;
    std::map<int, Job> jobs;
    int wanted = -1; // the id take() waits for
    int stallMs = 0; // read once: the settings file is not reread per file
    qint64 heldBytes = 0; // running and fetched, not yet taken
    int maxInFlight = 6;
    qint64 budget = 0;
    // Each worker thread has its own network manager: per-request work of
    // small files is spread over the cores instead of queueing on one.
    std::vector<std::unique_ptr<QThread>> threads;
    std::vector<FetchWorker *> workers;

    std::function<void(int, qint64)> progress;

    void poke()
    {
        for (FetchWorker *worker : workers)
            worker->poke();
    }
};

void FetchWorker::pump()
{
    m_pokePending = false;
    if (m_stopping)
        return;
    QList<std::pair<int, Job>> starts;
    {
        QMutexLocker lock(&m_d->mutex);
        // The job the loop waits for starts whatever the budget says;
        // the others start in id order while there is room.
        auto wanted = m_d->jobs.find(m_d->wanted);
        if (wanted != m_d->jobs.end() && wanted->second.remote && wanted->second.state == Job::Queued) {
            Job &job = wanted->second;
            job.state = Job::Running;
            ++m_running;
            m_d->heldBytes += job.size;
            starts.append({wanted->first, job});
        }
        for (auto &entry : m_d->jobs) {
            Job &job = entry.second;
            if (!job.remote || job.state != Job::Queued)
                continue;
            if (m_running >= m_d->maxInFlight || m_d->heldBytes + job.size > m_d->budget)
                break;
            job.state = Job::Running;
            ++m_running;
            m_d->heldBytes += job.size;
            starts.append({entry.first, job});
        }
    }
    for (const auto &s : starts)
        start(s.first, s.second);
}

void FetchWorker::start(int id, const Job &job)
{
    const QString &destination = job.destination;
    auto t = std::make_unique<Transfer>();
    Transfer *raw = t.get();
    raw->id = id;
    raw->file.setFileName(destination);
    m_transfers[id] = std::move(t);
    if (!raw->file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        QMutexLocker lock(&m_d->mutex);
        Job &stored = m_d->jobs[id];
        stored.error = QStringLiteral("can't open file %1 error: %2").arg(destination, raw->file.errorString());
        stored.state = Job::Done;
        --m_running;
        m_d->changed.wakeAll();
        lock.unlock();
        m_transfers.erase(id);
        poke();
        return;
    }

    Download::Options options;
    options.stallMs = m_d->stallMs;
    options.digest = job.algorithm == QCryptographicHash::Sha256 ? Download::Options::Digest::Sha256
                                                                 : Download::Options::Digest::Sha1;
    options.received = job.received;
    // The document names each file's size: a body past it is not the file,
    // and must not fill the temporary folder on the way.
    if (job.size > 0)
        options.maxBytes = job.size;
    raw->download = std::make_unique<Download>(QUrl(job.source, QUrl::TolerantMode), &raw->file, options);
    connect(raw->download.get(), &Download::finished, this,
            [this, raw]() {
                QString error;
                raw->download->succeeded(&error);
                complete(raw, error);
            });
    raw->download->start();
}

void FetchWorker::complete(Transfer *t, const QString &error)
{
    t->file.close();
    const bool ok = error.isEmpty();
    if (!ok)
        t->file.remove();
    const QString digest = ok ? t->download->contentDigest() : QString();

    const int id = t->id;
    // Deleted later: this runs inside the download's own signal.
    t->download.release()->deleteLater();
    m_transfers.erase(id); // t is gone from here on
    {
        QMutexLocker lock(&m_d->mutex);
        auto it = m_d->jobs.find(id);
        if (it != m_d->jobs.end()) {
            it->second.state = Job::Done;
            it->second.ok = ok;
            it->second.digest = digest;
            it->second.error = error;
        }
        --m_running;
        m_d->changed.wakeAll();
    }
    pump();
}

void FetchWorker::shutdown()
{
    m_stopping = true;
    for (auto &entry : m_transfers) {
        Transfer *t = entry.second.get();
        if (t->download)
            t->download->abort(QStringLiteral("stopped"));
        t->download.reset();
        t->file.close();
        t->file.remove();
    }
    m_transfers.clear();
}

PackFetcher::PackFetcher(int maxInFlight, qint64 byteBudget, int threads) : d(std::make_unique<Private>())
{
    d->maxInFlight = qMax(1, maxInFlight);
    d->budget = byteBudget;
    d->stallMs = int(Settings::instance()->transferStallMilliseconds());
    for (int i = 0; i < qMax(1, threads); ++i) {
        auto thread = std::make_unique<QThread>();
        auto *worker = new FetchWorker(d.get());
        worker->moveToThread(thread.get());
        QObject::connect(thread.get(), &QThread::finished, worker, &QObject::deleteLater);
        thread->start();
        d->workers.push_back(worker);
        d->threads.push_back(std::move(thread));
    }
}

PackFetcher::~PackFetcher()
{
    for (FetchWorker *worker : d->workers)
        QMetaObject::invokeMethod(worker, "shutdown", Qt::BlockingQueuedConnection);
    for (auto &thread : d->threads) {
        thread->quit();
        thread->wait();
    }
    // Files fetched ahead and never taken.
    for (auto &entry : d->jobs) {
        if (entry.second.state == Job::Done && entry.second.ok)
            QFile::remove(entry.second.destination);
    }
}

void PackFetcher::setProgressHandler(std::function<void(int id, qint64 bytes)> handler)
{
    QMutexLocker lock(&d->mutex);
    d->progress = std::move(handler);
}

bool PackFetcher::isRemote(const QString &source)
{
    const QString scheme = QUrl(source, QUrl::TolerantMode).scheme();
    return scheme == QLatin1String("http") || scheme == QLatin1String("https") || scheme == QLatin1String("ftp");
}

void PackFetcher::enqueue(int id, const QString &source, const QString &destination, qint64 size,
                          QCryptographicHash::Algorithm algorithm)
{
    {
        QMutexLocker lock(&d->mutex);
        if (d->jobs.count(id))
            return;
        Job job;
        job.source = source;
        job.destination = destination;
        job.size = qMax<qint64>(0, size);
        job.algorithm = algorithm == QCryptographicHash::Sha256 ? algorithm : QCryptographicHash::Sha1;
        job.remote = isRemote(source);
        d->jobs.emplace(id, job);
        if (!job.remote)
            return;
    }
    d->poke();
}

bool PackFetcher::take(int id, QString *digest, QString *error)
{
    QMutexLocker lock(&d->mutex);
    auto it = d->jobs.find(id);
    if (it == d->jobs.end()) {
        if (error)
            *error = QStringLiteral("fetch %1 was not queued").arg(id);
        return false;
    }
    if (!it->second.remote) {
        const Job job = it->second;
        d->jobs.erase(it);
        lock.unlock();
        if (job.algorithm == QCryptographicHash::Sha1)
            return copyFileHashing(job.source, job.destination, digest, error);
        return copyFileHashing(job.source, job.destination, nullptr, error, nullptr, digest);
    }
    d->wanted = id;
    if (it->second.state == Job::Queued) {
        lock.unlock();
        d->poke();
        lock.relock();
    }
    // The wait wakes a few times a second: to report the bytes that have
    // arrived and to give up when the waiting thread is asked to stop (the
    // fetcher's destructor then aborts what is in flight).
    QThread *caller = QThread::currentThread();
    QElapsedTimer sinceReport; // a file that arrives at once reports nothing
    sinceReport.start();
    for (;;) {
        it = d->jobs.find(id);
        if (it->second.state == Job::Done)
            break;
        if (caller->isInterruptionRequested()) {
            if (error)
                *error = QStringLiteral("transfer of %1 interrupted").arg(it->second.source);
            d->wanted = -1;
            return false;
        }
        if (d->progress && sinceReport.hasExpired(kProgressIntervalMs)) {
            sinceReport.restart();
            const qint64 got = it->second.received->load();
            lock.unlock();
            d->progress(id, got);
            lock.relock();
            it = d->jobs.find(id);
            if (it->second.state == Job::Done)
                break;
        }
        d->changed.wait(&d->mutex, kProgressIntervalMs);
    }
    const Job job = it->second;
    d->heldBytes -= job.size;
    d->jobs.erase(it);
    // Freed budget matters only to jobs still waiting for it.
    bool waiting = false;
    for (const auto &entry : d->jobs) {
        if (entry.second.remote && entry.second.state == Job::Queued) {
            waiting = true;
            break;
        }
    }
    lock.unlock();
    if (waiting)
        d->poke();
    if (digest)
        *digest = job.digest;
    if (error)
        *error = job.error;
    return job.ok;
}

#include "packfetcher.moc"
