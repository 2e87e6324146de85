#include "installthread.h"

// Backup and removal: filled in next.
void InstallThread::removeProgramms() {}

bool InstallThread::removePlugin(const PluginPtr &)
{
    return false;
}

bool InstallThread::backupFolder(const QString &)
{
    return false;
}
