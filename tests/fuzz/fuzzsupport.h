#ifndef FUZZSUPPORT_H
#define FUZZSUPPORT_H

#include <QByteArray>
#include <QString>

// Shared by the fuzz targets: a quiet application object and a scratch
// folder (in memory where the system has one) for the input files.
void initFuzzEnvironment(int *argc, char ***argv);
QString scratchPath(const QString &name);
bool writeScratch(const QString &path, const QByteArray &data);

#endif // FUZZSUPPORT_H
