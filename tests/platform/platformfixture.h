#ifndef PLATFORMFIXTURE_H
#define PLATFORMFIXTURE_H

#include <QString>
#include <QStringList>

// The test program "argrecorder" (see argrecorder.cpp) and what it records.
QString recorderProgram();

// Copies the test program to path (creating folders), executable.
bool installRecorder(const QString &path);

// What a copy of the test program in folder recorded: its working folder
// and its arguments. Waits at most timeoutMs for the record; false when none
// appeared.
bool readRecord(const QString &folder, QString *workingFolder, QStringList *arguments, int timeoutMs = 10000);

#endif // PLATFORMFIXTURE_H
