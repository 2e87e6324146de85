#include "installthread.h"

// Update pass with registration: filled in next.
void InstallThread::updateProgramms() {}
