#ifndef PROCESSLIST_H
#define PROCESSLIST_H

// The running processes, as the system lists them: what the updater needs to
// tell whether a program's files are in use, and what the copier needs to see
// that no updater runs from the folder it is about to replace. One
// implementation per system (processlist_win.cpp: Toolhelp32 snapshots,
// processlist_linux.cpp: procfs), chosen by the build.
//
// Standard C++ only, so the Windows half can be compiled and checked without
// Qt. Texts are UTF-16 on Windows and UCS-4 on Linux (std::wstring).

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// One entry of the system's process list.
struct ProcessEntry
{
    std::uint64_t usageCount = 0;
    std::uint64_t processId = 0;
    std::uint64_t moduleId = 0;
    std::uint64_t parentProcessId = 0;
    std::uint64_t threadCount = 0;
    std::int64_t priorityClassBase = 0;
    std::uint64_t flags = 0;
    // The executable's file name, without its folder.
    std::wstring exeFile;
};

// Fills processes with a fresh snapshot of the running processes, in the
// order the system reports them. False (and an empty list) when no snapshot
// can be taken.
bool listProcesses(std::vector<ProcessEntry> &processes);

// Full paths of the modules loaded in a process, the executable first.
// Empty for a process that is gone or that this user may not inspect.
std::vector<std::wstring> listModules(std::uint64_t processId);

// The full path of the executable a process runs, also after its file was
// replaced or removed; empty for a process that is gone or that this user
// may not inspect.
std::wstring processExecutable(std::uint64_t processId);

// True where the file system ignores letter case in paths (Windows).
bool pathsIgnoreCase();

} // namespace platform

#endif // PROCESSLIST_H
