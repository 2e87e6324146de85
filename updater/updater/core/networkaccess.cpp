#include "networkaccess.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QNetworkCookie>
#include <QNetworkCookieJar>
#include <QPointer>
#include <QThread>
#include <QThreadStorage>

namespace {

// Downloads on one thread share the manager only for its connections: a
// cookie one server sets must not ride along on the next, unrelated request,
// just as with a fresh manager per download.
class NoCookieJar : public QNetworkCookieJar
{
public:
    using QNetworkCookieJar::QNetworkCookieJar;
    QList<QNetworkCookie> cookiesForUrl(const QUrl &) const override { return {}; }
    bool setCookiesFromUrl(const QList<QNetworkCookie> &, const QUrl &) override { return false; }
};

// QThreadStorage deletes the holder when its thread finishes, in that thread.
// The GUI thread's manager is a child of the application object instead, so it
// goes while the application still exists; the QPointer then reads null.
struct ManagerHolder
{
    QPointer<QNetworkAccessManager> manager;
    ~ManagerHolder() { delete manager.data(); }
};

QThreadStorage<ManagerHolder *> &managers()
{
    static QThreadStorage<ManagerHolder *> storage;
    return storage;
}

ManagerHolder *threadHolder()
{
    QThreadStorage<ManagerHolder *> &storage = managers();
    if (!storage.hasLocalData())
        storage.setLocalData(new ManagerHolder);
    return storage.localData();
}

QObject *threadParent()
{
    QCoreApplication *app = QCoreApplication::instance();
    return app && app->thread() == QThread::currentThread() ? app : nullptr;
}

} // namespace

QNetworkAccessManager *threadNetworkAccessManager()
{
    ManagerHolder *holder = threadHolder();
    if (!holder->manager) {
        holder->manager = new QNetworkAccessManager(threadParent());
        holder->manager->setCookieJar(new NoCookieJar);
    }
    return holder->manager.data();
}
