#include "messagecapture.h"

#include <QMutex>
#include <QMutexLocker>
#include <QPair>

namespace {

QMutex captureMutex;
QList<QPair<QtMsgType, QString>> captured;
QtMessageHandler previousHandler = nullptr;

void captureHandler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    QMutexLocker lock(&captureMutex);
    captured.append(qMakePair(type, message));
}

} // namespace

MessageCapture::MessageCapture()
{
    clear();
    previousHandler = qInstallMessageHandler(captureHandler);
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

QStringList MessageCapture::warnings() const
{
    return messages(QtWarningMsg) + messages(QtCriticalMsg) + messages(QtFatalMsg);
}

void MessageCapture::clear()
{
    QMutexLocker lock(&captureMutex);
    captured.clear();
}

bool MessageCapture::contains(QtMsgType type, const QString &text) const
{
    for (const QString &message : messages(type)) {
        if (message.contains(text))
            return true;
    }
    return false;
}
