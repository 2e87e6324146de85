#include "relaylog.h"

#include "filesettings.h"

#include <QDate>

QString filerelayLogFilePath()
{
    return FileSettings::instance().logsPath() + QStringLiteral("/filerelay")
           + QDate::currentDate().toString(Qt::ISODate) + QStringLiteral(".txt");
}
