#include "loghandler.h"

#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QTextStream>
#include <QTime>

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace {

std::atomic<LogFileLocator> g_locator{nullptr};

// Every program writes its lines through here; one lock keeps the lines of
// different threads whole and in the file in the order they were appended.
QMutex &appendMutex()
{
    static QMutex mutex;
    return mutex;
}

QString levelWord(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return QStringLiteral("Debug ");
    case QtWarningMsg:
        return QStringLiteral("Warning ");
    case QtCriticalMsg:
        return QStringLiteral("Critical ");
    case QtFatalMsg:
        return QStringLiteral("Fatal ");
    case QtInfoMsg:
        return QStringLiteral("Info ");
    }
    return QString();
}

} // namespace

QString formatLogLine(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    const QString line = QStringLiteral("%1: %2 (%3:%4, %5)\n")
                             .arg(QTime::currentTime().toString(Qt::TextDate),
                                  message,
                                  QString::fromUtf8(context.file ? context.file : ""),
                                  QString::number(context.line),
                                  QString::fromUtf8(context.function ? context.function : ""));
    return levelWord(type) + line;
}

void appendLogLine(const QString &filePath, const QString &line)
{
    QMutexLocker locker(&appendMutex());
    QFile file(filePath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append)) {
        std::printf("%s \n", file.errorString().toUtf8().constData());
        std::fflush(stdout);
        return;
    }
    QTextStream stream(&file);
    stream << line;
    stream.flush();
    file.close();
}

void setLogFileLocator(LogFileLocator locator)
{
    g_locator.store(locator);
}

void writeLogLine(const QString &line)
{
    const LogFileLocator locator = g_locator.load();
    // No locator means nowhere to write: the same fallback as an unopenable file.
    appendLogLine(locator ? locator() : QString(), line);
}

void messageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    writeLogLine(formatLogLine(type, context, message));
    if (type == QtFatalMsg)
        std::abort();
}

void installLogHandler(LogFileLocator locator)
{
    setLogFileLocator(locator);
    qInstallMessageHandler(messageHandler);
}
