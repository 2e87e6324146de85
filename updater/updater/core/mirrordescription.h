#ifndef MIRRORDESCRIPTION_H
#define MIRRORDESCRIPTION_H

#include <QList>
#include <QString>

class ProjectDescription;

// One configured mirror: the server group it copies, its folder and the
// programs it holds (references into the settings' descriptions, not owned).
struct MirrorDescription
{
    QString mainServerName;
    QString mirrorFolder;
    QList<ProjectDescription *> programms;
};

#endif // MIRRORDESCRIPTION_H
