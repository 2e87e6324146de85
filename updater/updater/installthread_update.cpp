#include "installthread.h"

// Module update: filled in next.
bool InstallThread::updatePlugin(const PluginPtr &)
{
    return false;
}

bool InstallThread::updateFile(const QString &, const QString &, const QString &, const QString &)
{
    return false;
}

bool InstallThread::needUpdate(const QString &, const QString &, qint64, bool) const
{
    return true;
}
