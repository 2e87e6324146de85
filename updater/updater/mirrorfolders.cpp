#include "mirrorfolders.h"

QStringList obsoleteMirrorFolders(const QString &mirrorFolder, const QList<ProjectDescription *> &programms)
{
    Q_UNUSED(mirrorFolder);
    Q_UNUSED(programms);
    return QStringList();
}
