#include "installthread.h"

// Mirror output: filled in next.
void InstallThread::writeProject(const PluginPtr &, QXmlStreamWriter &) {}

void InstallThread::removeFolders() {}
