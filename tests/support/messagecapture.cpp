#include "messagecapture.h"

#include <QMutex>
#include <QMutexLocker>

namespace {

QMutex captureMutex;
QList<QPair<QtMsgType, QString>> captured;
QtMessageHandler previousHandler = nullptr;

} // namespace

MessageCapture::MessageCapture()
{
    clear();
    previousHandler = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &message) {
        QMutexLocker lock(&captureMutex);
        captured.append(qMakePair(type, message));
    });
}

MessageCapture::~MessageCapture()
{
    qInstallMessageHandler(previousHandler);
}

QStringList MessageCapture::messages(QtMsgType type) const
{
    QMutexLocker lock(&captureMutex);
    QStringList result;
    for (const auto &entry : qAsConst(captured)) {
        if (entry.first == type)
            result.append(entry.second);
    }
    return result;
}

void MessageCapture::clear()
{
    QMutexLocker lock(&captureMutex);
    captured.clear();
}
