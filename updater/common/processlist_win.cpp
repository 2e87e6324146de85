// Windows: the process list from Toolhelp32 snapshots.
//
// Plain Win32 and standard C++ only (no Qt), so this file can be built with a
// cross compiler and checked under wine on its own (tests/platform/wincheck.cpp).

#include "processlist.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <tlhelp32.h>

namespace platform {

namespace {

// Closes a snapshot (or any kernel handle) however the walk ends.
class ScopedHandle
{
public:
    explicit ScopedHandle(HANDLE handle) : m_handle(handle) {}
    ~ScopedHandle()
    {
        if (valid())
            CloseHandle(m_handle);
    }
    ScopedHandle(const ScopedHandle &) = delete;
    ScopedHandle &operator=(const ScopedHandle &) = delete;

    bool valid() const { return m_handle != nullptr && m_handle != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return m_handle; }

private:
    HANDLE m_handle;
};

} // namespace

bool listProcesses(std::vector<ProcessEntry> &processes)
{
    processes.clear();
    ScopedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot.valid())
        return false;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
        ProcessEntry process;
        process.usageCount = entry.cntUsage;
        process.processId = entry.th32ProcessID;
        process.moduleId = entry.th32ModuleID;
        process.parentProcessId = entry.th32ParentProcessID;
        process.threadCount = entry.cntThreads;
        process.priorityClassBase = static_cast<std::int64_t>(entry.pcPriClassBase);
        process.flags = entry.dwFlags;
        process.exeFile = entry.szExeFile;
        processes.push_back(process);
    }
    return true;
}

std::vector<std::wstring> listModules(std::uint64_t processId)
{
    std::vector<std::wstring> modules;
    if (processId > 0xFFFFFFFFull)
        return modules;
    const DWORD pid = static_cast<DWORD>(processId);
    // A process that is still loading its modules makes the snapshot fail
    // with ERROR_BAD_LENGTH for a moment; a few tries are enough.
    HANDLE handle = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 5; ++attempt) {
        handle = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE | TH32CS_SNAPMODULE32, pid);
        if (handle != INVALID_HANDLE_VALUE || GetLastError() != ERROR_BAD_LENGTH)
            break;
    }
    ScopedHandle snapshot(handle);
    if (!snapshot.valid())
        return modules;
    MODULEENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Module32FirstW(snapshot.get(), &entry); more; more = Module32NextW(snapshot.get(), &entry))
        modules.emplace_back(entry.szExePath);
    return modules;
}

std::wstring processExecutable(std::uint64_t processId)
{
    // The first module of a process is its executable.
    const std::vector<std::wstring> modules = listModules(processId);
    return modules.empty() ? std::wstring() : modules.front();
}

bool pathsIgnoreCase()
{
    return true;
}

} // namespace platform
