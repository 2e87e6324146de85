#ifndef MIRRORFOLDERS_H
#define MIRRORFOLDERS_H

#include <QList>
#include <QString>
#include <QStringList>

class ProjectDescription;

// Names of sub-folders of a mirror folder that no longer belong to the
// mirror and may be removed before it is refreshed.
//
// Module folders in a mirror are named by GUID, and a mirror folder may sit
// on a share beside other people's data, so a name alone never proves that
// a folder is obsolete: no folder is named until a reliable rule (a record
// of what earlier refreshes wrote) exists. The result is therefore empty.
QStringList obsoleteMirrorFolders(const QString &mirrorFolder, const QList<ProjectDescription *> &programms);

#endif // MIRRORFOLDERS_H
