#include "networkaccess.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QPointer>
#include <QThread>
#include <QThreadStorage>

namespace {

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

} // namespace

QNetworkAccessManager *threadNetworkAccessManager()
{
    QThreadStorage<ManagerHolder *> &storage = managers();
    if (!storage.hasLocalData())
        storage.setLocalData(new ManagerHolder);
    ManagerHolder *holder = storage.localData();
    if (!holder->manager) {
        QCoreApplication *app = QCoreApplication::instance();
        QObject *parent = app && app->thread() == QThread::currentThread() ? app : nullptr;
        holder->manager = new QNetworkAccessManager(parent);
    }
    return holder->manager.data();
}
