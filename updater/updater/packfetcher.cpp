#include "packfetcher.h"

#include "filehash.h"
#include "httpconnection.h"
#include "sha1digest.h"
#include "networkaccess.h"
#include "transfer.h"

#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QObject>
#include <QThread>
#include <QUrl>
#include <QWaitCondition>

#include <atomic>
#include <map>

namespace {

const qint64 kChunk = 1024 * 1024;

QString hexDigest(Sha1Digest &hash)
{
    return QString::fromLatin1(hash.result().toHex());
}

struct Job
{
    enum State { Queued, Running, Done };
    QString source;
    QString destination;
    qint64 size = 0;
    bool remote = false;
    State state = Queued;
    bool ok = false;
    QString sha1;
    QString error;
};

} // namespace

// Lives in the fetcher's thread; owns the replies in flight.
class FetchWorker : public QObject
{
    Q_OBJECT
public:
    explicit FetchWorker(PackFetcher::Private *d) : m_d(d) {}

public slots:
    void pump();
    void shutdown();

private:
    struct Transfer
    {
        int id = 0;
        QUrl url;
        QNetworkReply *reply = nullptr;
        HttpConnection *connection = nullptr;
        QFile file;
        std::unique_ptr<Sha1Digest> hash;
        bool writeFailed = false;
    };

    void start(int id, const QString &source, const QString &destination);
    void startPlain(Transfer *t);
    void startManaged(Transfer *t);
    void drain(Transfer *t);
    void finish(Transfer *t);
    void plainFinished(HttpConnection *connection);
    void complete(Transfer *t, const QString &error);

    PackFetcher::Private *m_d;
    std::map<int, std::unique_ptr<Transfer>> m_transfers;
    // Kept-alive plain connections, at most one per transfer in flight.
    QList<HttpConnection *> m_idle;
    std::map<HttpConnection *, Transfer *> m_plainBusy;
    bool m_stopping = false;
};

struct PackFetcher::Private
{
    QMutex mutex;
    QWaitCondition changed;
    std::map<int, Job> jobs;
    int running = 0;
    int wanted = -1; // the id take() waits for
    int stallMs = 0; // read once: the settings file is not reread per file
    qint64 heldBytes = 0; // running and fetched, not yet taken
    int maxInFlight = 6;
    qint64 budget = 0;
    QThread thread;
    FetchWorker *worker = nullptr;

    std::atomic<bool> pokePending{false};

    // One wake-up of the worker covers every change made before it runs, so
    // a burst of queued jobs costs one event, not one per job.
    void poke()
    {
        if (!pokePending.exchange(true))
            QMetaObject::invokeMethod(worker, "pump", Qt::QueuedConnection);
    }
};

void FetchWorker::pump()
{
    m_d->pokePending = false;
    if (m_stopping)
        return;
    struct Start
    {
        int id;
        QString source;
        QString destination;
    };
    QList<Start> starts;
    {
        QMutexLocker lock(&m_d->mutex);
        // The job the loop waits for starts whatever the budget says;
        // the others start in id order while there is room.
        auto wanted = m_d->jobs.find(m_d->wanted);
        if (wanted != m_d->jobs.end() && wanted->second.remote && wanted->second.state == Job::Queued) {
            Job &job = wanted->second;
            job.state = Job::Running;
            ++m_d->running;
            m_d->heldBytes += job.size;
            starts.append({wanted->first, job.source, job.destination});
        }
        for (auto &entry : m_d->jobs) {
            Job &job = entry.second;
            if (!job.remote || job.state != Job::Queued)
                continue;
            if (m_d->running >= m_d->maxInFlight || m_d->heldBytes + job.size > m_d->budget)
                break;
            job.state = Job::Running;
            ++m_d->running;
            m_d->heldBytes += job.size;
            starts.append({entry.first, job.source, job.destination});
        }
    }
    for (const Start &s : starts)
        start(s.id, s.source, s.destination);
}

void FetchWorker::start(int id, const QString &source, const QString &destination)
{
    auto t = std::make_unique<Transfer>();
    Transfer *raw = t.get();
    raw->id = id;
    raw->hash = std::make_unique<Sha1Digest>();
    raw->file.setFileName(destination);
    m_transfers[id] = std::move(t);
    if (!raw->file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        QMutexLocker lock(&m_d->mutex);
        Job &job = m_d->jobs[id];
        job.error = QStringLiteral("can't open file %1 error: %2").arg(destination, raw->file.errorString());
        job.state = Job::Done;
        --m_d->running;
        m_d->changed.wakeAll();
        lock.unlock();
        m_transfers.erase(id);
        m_d->poke();
        return;
    }

    raw->url = QUrl(source, QUrl::TolerantMode);
    if (HttpConnection::canServe(raw->url))
        startPlain(raw);
    else
        startManaged(raw);
}

void FetchWorker::startPlain(Transfer *t)
{
    HttpConnection *connection = nullptr;
    if (!m_idle.isEmpty()) {
        connection = m_idle.takeLast();
    } else {
        connection = new HttpConnection(this);
        connect(connection, &HttpConnection::finished, this, [this, connection]() { plainFinished(connection); });
    }
    connection->setStallTimeout(m_d->stallMs);
    t->connection = connection;
    m_plainBusy[connection] = t;
    connection->get(t->url, [t](const char *data, qint64 size) {
        t->hash->addData(data, size);
        if (t->file.write(data, size) == size)
            return true;
        t->writeFailed = true;
        return false;
    });
}

void FetchWorker::plainFinished(HttpConnection *connection)
{
    auto busy = m_plainBusy.find(connection);
    if (busy == m_plainBusy.end())
        return;
    Transfer *t = busy->second;
    m_plainBusy.erase(busy);
    m_idle.append(connection);
    t->connection = nullptr;
    QString error;
    switch (connection->outcome()) {
    case HttpConnection::NotHandled:
        // A redirect or a coded body: the network manager takes it from the
        // start, under its policies.
        t->file.seek(0);
        t->file.resize(0);
        t->hash = std::make_unique<Sha1Digest>();
        startManaged(t);
        return;
    case HttpConnection::Succeeded:
        if (!t->file.flush())
            error = QStringLiteral("can't write file %1 error: %2").arg(t->file.fileName(), t->file.errorString());
        break;
    default:
        error = t->writeFailed
                    ? QStringLiteral("can't write file %1 error: %2").arg(t->file.fileName(), t->file.errorString())
                    : connection->errorString();
        break;
    }
    complete(t, error);
}

void FetchWorker::startManaged(Transfer *t)
{
    QNetworkRequest request(t->url);
    // Same policy as every other download: redirects only to an equally or
    // more secure scheme, and a server that stops sending fails the file
    // instead of holding the run forever.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setTransferTimeout(m_d->stallMs);
    t->reply = threadNetworkAccessManager()->get(request);
    // Bounded buffer: a slow disk holds the connection back instead of
    // letting the reply grow in memory.
    t->reply->setReadBufferSize(kChunk);
    connect(t->reply, &QNetworkReply::readyRead, this, [this, t]() { drain(t); });
    connect(t->reply, &QNetworkReply::finished, this, [this, t]() { finish(t); });
}

void FetchWorker::drain(Transfer *t)
{
    const QVariant status = t->reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    // Bodies of error pages and redirects never reach the file.
    const bool wanted = !status.isValid() || (status.toInt() >= 200 && status.toInt() < 300);
    while (t->reply->bytesAvailable() > 0) {
        const QByteArray chunk = t->reply->read(kChunk);
        if (chunk.isEmpty())
            break;
        if (!wanted || t->writeFailed)
            continue;
        t->hash->addData(chunk.constData(), chunk.size());
        if (t->file.write(chunk) != chunk.size()) {
            t->writeFailed = true;
            t->reply->abort();
            return;
        }
    }
}

void FetchWorker::finish(Transfer *t)
{
    QNetworkReply *reply = t->reply;
    if (!t->writeFailed)
        drain(t);
    QString error;
    if (t->writeFailed) {
        error = QStringLiteral("can't write file %1 error: %2").arg(t->file.fileName(), t->file.errorString());
    } else if (reply->error() != QNetworkReply::NoError) {
        error = reply->error() == QNetworkReply::OperationCanceledError && !m_stopping
                    ? QStringLiteral("transfer of %1 stalled").arg(reply->url().toDisplayString())
                    : reply->errorString();
    } else {
        const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        const QString scheme = reply->url().scheme();
        if ((scheme == QLatin1String("http") || scheme == QLatin1String("https"))
            && (!status.isValid() || status.toInt() < 200 || status.toInt() >= 300)) {
            error = httpStatusError(status.isValid() ? status.toInt() : -1, QString(), reply->url());
        } else if (!t->file.flush()) {
            error = QStringLiteral("can't write file %1 error: %2").arg(t->file.fileName(), t->file.errorString());
        }
    }
    reply->deleteLater();
    t->reply = nullptr;
    complete(t, error);
}

void FetchWorker::complete(Transfer *t, const QString &error)
{
    t->file.close();
    const bool ok = error.isEmpty();
    if (!ok)
        t->file.remove();
    const QString sha1 = ok ? hexDigest(*t->hash) : QString();

    const int id = t->id;
    m_transfers.erase(id); // t is gone from here on
    {
        QMutexLocker lock(&m_d->mutex);
        auto it = m_d->jobs.find(id);
        if (it != m_d->jobs.end()) {
            it->second.state = Job::Done;
            it->second.ok = ok;
            it->second.sha1 = sha1;
            it->second.error = error;
        }
        --m_d->running;
        m_d->changed.wakeAll();
    }
    pump();
}

void FetchWorker::shutdown()
{
    m_stopping = true;
    for (auto &entry : m_transfers) {
        Transfer *t = entry.second.get();
        if (QNetworkReply *reply = t->reply) {
            reply->disconnect(this);
            reply->abort();
            reply->deleteLater();
        }
        if (t->connection)
            t->connection->abort(QStringLiteral("stopped"));
        t->file.close();
        t->file.remove();
    }
    m_transfers.clear();
    m_plainBusy.clear();
}

PackFetcher::PackFetcher(int maxInFlight, qint64 byteBudget) : d(std::make_unique<Private>())
{
    d->maxInFlight = qMax(1, maxInFlight);
    d->budget = byteBudget;
    d->stallMs = int(transferStallMilliseconds());
    d->worker = new FetchWorker(d.get());
    d->worker->moveToThread(&d->thread);
    QObject::connect(&d->thread, &QThread::finished, d->worker, &QObject::deleteLater);
    d->thread.start();
}

PackFetcher::~PackFetcher()
{
    QMetaObject::invokeMethod(d->worker, "shutdown", Qt::BlockingQueuedConnection);
    d->thread.quit();
    d->thread.wait();
    // Files fetched ahead and never taken.
    for (auto &entry : d->jobs) {
        if (entry.second.state == Job::Done && entry.second.ok)
            QFile::remove(entry.second.destination);
    }
}

bool PackFetcher::isRemote(const QString &source)
{
    const QString scheme = QUrl(source, QUrl::TolerantMode).scheme();
    return scheme == QLatin1String("http") || scheme == QLatin1String("https") || scheme == QLatin1String("ftp");
}

void PackFetcher::enqueue(int id, const QString &source, const QString &destination, qint64 size)
{
    {
        QMutexLocker lock(&d->mutex);
        if (d->jobs.count(id))
            return;
        Job job;
        job.source = source;
        job.destination = destination;
        job.size = qMax<qint64>(0, size);
        job.remote = isRemote(source);
        d->jobs.emplace(id, job);
        if (!job.remote)
            return;
    }
    d->poke();
}

bool PackFetcher::take(int id, QString *sha1, QString *error)
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
        return copyFileHashing(job.source, job.destination, sha1, error);
    }
    d->wanted = id;
    if (it->second.state == Job::Queued) {
        lock.unlock();
        d->poke();
        lock.relock();
    }
    for (;;) {
        it = d->jobs.find(id);
        if (it->second.state == Job::Done)
            break;
        d->changed.wait(&d->mutex);
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
    if (sha1)
        *sha1 = job.sha1;
    if (error)
        *error = job.error;
    return job.ok;
}

bool copyFileHashing(const QString &source, const QString &destination, QString *sha1, QString *error)
{
    QString reason;
    if (copyFileWithSha1(source, destination, sha1, nullptr, nullptr, &reason))
        return true;
    if (error)
        *error = QStringLiteral("error copy file from %1 to %2 error %3").arg(source, destination, reason);
    return false;
}

#include "packfetcher.moc"
