#pragma once

#include <QString>

// Code that works in "the folder above the program's own folder" (the updater's install root) would write into the
// build tree when a test runs it from build/bin. A test that needs its own root calls this first thing in main(): the
// running executable is copied to <temporary>/<folderName>/<exeName> and executed again in place of this process
// (same pid, same arguments), so the install root of the copy is a fresh temporary folder. Returns 0 in the relocated
// copy; a non-zero code (with a message on stderr) when relocation failed.
int enterPrivateInstallRoot(char **argv, const char *folderName, const char *exeName);

// The temporary install root of the relocated copy (empty before).
QString privateInstallRoot();

// Removes the temporary install root; call when the tests are done.
void removePrivateInstallRoot();
