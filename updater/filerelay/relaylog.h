#ifndef RELAYLOG_H
#define RELAYLOG_H

#include <QString>

// Today's log file of the copier: FileSettings' log folder + "/filerelay" +
// the ISO date + ".txt".
QString filerelayLogFilePath();

#endif // RELAYLOG_H
