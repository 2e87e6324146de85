#ifndef LOGHANDLER_H
#define LOGHANDLER_H

#include <QString>
#include <QtGlobal>

// The one log format of all three programs. Each program installs
// messageHandler() with a locator that tells where today's file lies; the
// line format, the append and the stdout fallback are shared.

// Returns the full path of the file the next line goes to. Called for every
// line, so a day or month change takes effect at once.
using LogFileLocator = QString (*)();

// Builds one line: level word, time, message and (file:line, function).
QString formatLogLine(QtMsgType type, const QMessageLogContext &context, const QString &message);

// Appends one finished line to a file; prints the device error to stdout when
// the file cannot be opened. Calls from several threads are serialised so
// that lines never interleave.
void appendLogLine(const QString &filePath, const QString &line);

void setLogFileLocator(LogFileLocator locator);

// Appends the line to the file the installed locator names.
void writeLogLine(const QString &line);

// The function given to qInstallMessageHandler.
void messageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message);

// setLogFileLocator + qInstallMessageHandler in one call.
void installLogHandler(LogFileLocator locator);

#endif // LOGHANDLER_H
