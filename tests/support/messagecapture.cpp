#include "messagecapture.h"

#include <QHash>
#include <QMutex>

static QMutex captureMutex;
static QHash<int, QStringList> captured; // by message type
static QtMessageHandler previousHandler = nullptr;

MessageCapture::MessageCapture()
{
    QMutexLocker lock(&captureMutex);
    captured.clear();
    previousHandler = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &message) {
        QMutexLocker lock(&captureMutex);
        captured[type].append(message);
    });
}

MessageCapture::~MessageCapture()
{
    qInstallMessageHandler(previousHandler);
}

QStringList MessageCapture::messages(QtMsgType type) const
{
    QMutexLocker lock(&captureMutex);
    return captured.value(type);
}
