// The Windows platform layer checked for real, under wine (scripts/ci.d/40-wine.sh), in a folder "run" beside the
// executable: exit code 0 when every check passes. With --child it is the program the checks start and look for; it
// waits (at most a minute) until it is terminated.

#include "commandline.h"
#include "platform.h"
#include "winfile.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

int g_failures = 0, g_checks = 0;

void check(bool ok, const std::wstring &what)
{
    ++g_checks;
    if (!ok && ++g_failures)
        std::wprintf(L"FAIL: %ls\n", what.c_str());
}

void checkEqual(const std::wstring &actual, const std::wstring &expected, const std::wstring &what)
{
    check(actual == expected, what + L": got [" + actual + L"] expected [" + expected + L"]");
}

std::wstring ownPath()
{
    std::vector<wchar_t> buffer(32768);
    return std::wstring(buffer.data(), GetModuleFileNameW(nullptr, buffer.data(), DWORD(buffer.size())));
}

const platform::ProcessEntry *findProcess(const std::vector<platform::ProcessEntry> &list, DWORD pid)
{
    for (const platform::ProcessEntry &entry : list)
        if (entry.processId == pid)
            return &entry;
    return nullptr;
}

// The child copy started from its folder is in the snapshot with its full module path, and gone after it ends.
void checkProcesses(const std::wstring &run)
{
    const std::wstring folder = run + L"\\Папка A";
    const std::wstring childPath = folder + L"\\wcchild.exe";
    std::wstring commandLine = L"\"" + childPath + L"\" --child";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateDirectoryW(folder.c_str(), nullptr) || !CopyFileW(ownPath().c_str(), childPath.c_str(), FALSE)
        || !CreateProcessW(childPath.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(), &startup,
                           &info))
        return check(false, L"start " + childPath);
    CloseHandle(info.hThread);
    // The child shows up once it has started; give it at most ten seconds.
    std::vector<platform::ProcessEntry> list;
    std::vector<std::wstring> modules;
    for (int attempt = 0; attempt < 100 && modules.empty(); ++attempt) {
        check(platform::listProcesses(list), L"process snapshot");
        if (findProcess(list, info.dwProcessId))
            modules = platform::listModules(info.dwProcessId);
        Sleep(modules.empty() ? 100 : 0);
    }
    const platform::ProcessEntry *child = findProcess(list, info.dwProcessId);
    const platform::ProcessEntry *self = findProcess(list, GetCurrentProcessId());
    check(child && self, L"child and this process in the process list");
    if (child) {
        checkEqual(child->exeFile, L"wcchild.exe", L"child's executable name");
        check(child->parentProcessId == GetCurrentProcessId() && child->threadCount >= 1, L"child's parent and thread");
        check(modules.size() >= 2, L"child has the executable and system modules");
    }
    // The executable is the first module, as processExecutable takes it.
    checkEqual(platform::processExecutable(info.dwProcessId), childPath, L"child's executable");
    checkEqual(platform::runningExecutable(), ownPath(), L"running executable");
    check(platform::processExecutable(0xFFFFFFF0u).empty(), L"no executable for a process that does not exist");
    check(platform::listModules(0x100000000ull).empty(), L"no modules for an identifier out of range");

    TerminateProcess(info.hProcess, 0);
    check(WaitForSingleObject(info.hProcess, 10000) == WAIT_OBJECT_0, L"child ended");
    CloseHandle(info.hProcess);
    for (int attempt = 0; attempt < 50 && platform::listProcesses(list) && findProcess(list, info.dwProcessId); ++attempt)
        Sleep(100);
    check(!findProcess(list, info.dwProcessId), L"child gone from the process list");
}

// Absolute, without a trailing separator, three different folders.
void checkFolders()
{
    using platform::userFolder;
    const std::wstring desktop = userFolder(platform::UserFolder::Desktop), quick = userFolder(platform::UserFolder::QuickLaunch),
                       menu = userFolder(platform::UserFolder::ProgramsMenu);
    for (const std::wstring &folder : {desktop, quick, menu})
        check(folder.size() > 3 && folder.compare(1, 2, L":\\") == 0 && folder.back() != L'\\', L"user folder: " + folder);
    const std::wstring tail = L"\\Microsoft\\Internet Explorer\\Quick Launch";
    check(quick.size() > tail.size() && quick.compare(quick.size() - tail.size(), tail.size(), tail) == 0,
          L"quick launch under application data: " + quick);
    check(desktop != menu && desktop != quick, L"three different folders");
}

std::wstring show(const std::vector<std::wstring> &list)
{
    std::wstring shown;
    for (const std::wstring &item : list)
        shown += L"[" + item + L"]";
    return shown;
}

// Every field of a shortcut, for comparing one with another.
std::wstring describe(const platform::Shortcut &s)
{
    return show({s.target, s.arguments, s.workingDirectory, s.iconPath, std::to_wstring(s.iconIndex),
                 std::to_wstring(s.hotkey), std::to_wstring(s.showCommand)});
}

// Whole-file helpers taking any path the file layer does (long ones too).
bool writeText(const std::wstring &path, const std::string &bytes)
{
    FILE *file = _wfopen(winfile::longPath(path).c_str(), L"wb");
    const bool written = file && std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return file && std::fclose(file) == 0 && written;
}

std::string readText(const std::wstring &path)
{
    FILE *file = _wfopen(winfile::longPath(path).c_str(), L"rb");
    char buffer[256];
    const std::size_t got = file ? std::fread(buffer, 1, sizeof buffer, file) : 0;
    return file && std::fclose(file) == 0 ? std::string(buffer, got) : "<missing>";
}

DWORD attributes(const std::wstring &path)
{
    return GetFileAttributesW(winfile::longPath(path).c_str());
}

// A shortcut as the shell reads it back. The show command comes from the file's fixed 76-byte header, where the
// shell-link format keeps it: wine's reader does not hand it back (it answers SW_SHOWNORMAL whatever the file says).
platform::Shortcut readShortcut(const std::wstring &path)
{
    platform::Shortcut back;
    IShellLinkW *link = nullptr;
    IPersistFile *file = nullptr;
    std::vector<wchar_t> buffer(32768);
    const int size = int(buffer.size());
    auto text = [&buffer](HRESULT result) { return SUCCEEDED(result) ? std::wstring(buffer.data()) : L"<failed>"; };
    if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, (void **)&link))
        && SUCCEEDED(link->QueryInterface(IID_IPersistFile, (void **)&file)) && SUCCEEDED(file->Load(path.c_str(), STGM_READ))) {
        back.target = text(link->GetPath(buffer.data(), size, nullptr, SLGP_RAWPATH));
        back.arguments = text(link->GetArguments(buffer.data(), size));
        back.workingDirectory = text(link->GetWorkingDirectory(buffer.data(), size));
        back.iconPath = text(link->GetIconLocation(buffer.data(), size, &back.iconIndex));
        link->GetHotkey(&back.hotkey);
    }
    for (IUnknown *object : {static_cast<IUnknown *>(file), static_cast<IUnknown *>(link)})
        if (object)
            object->Release();
    const std::string header = readText(path);
    back.showCommand = header.size() >= 0x4C && header[0] == 0x4C ? header[0x3C] | header[0x3D] << 8 : -1;
    return back;
}

void checkShortcut(const std::wstring &run)
{
    platform::Shortcut shortcut{ownPath(), L"--run \"Программа ёлка\" --arg=\"--config_path \"\"C:\\Мои файлы\\cfg\"\" -x\"",
                                run + L"\\Папка A", run + L"\\Папка A\\def.ico", 2,
                                MAKEWORD('K', HOTKEYF_CONTROL | HOTKEYF_ALT), SW_SHOWMAXIMIZED};
    const std::wstring path = run + L"\\Ярлык «тест».lnk";
    checkEqual(platform::shortcutFilePath(path), path, L"shortcut file path kept");
    // An executable's own icon can be shown; a plain image cannot.
    for (const wchar_t *icon : {L"C:\\Программы\\lab.exe", L"C:\\Программы\\DEF.ICO", L"C:\\Программы.v2\\lab", L"C:\\k\\k.PNG"})
        check(platform::canBeShortcutIcon(icon) == (std::wcsstr(icon, L"PNG") == nullptr), L"icon or not: " + std::wstring(icon));
    // Written, then rewritten over the old one.
    std::wstring error;
    for (const std::wstring &arguments : {shortcut.arguments, std::wstring()}) {
        shortcut.arguments = arguments;
        check(platform::writeShortcut(path, shortcut, &error), L"write shortcut: " + error);
        checkEqual(describe(readShortcut(path)), describe(shortcut), L"shortcut read back");
        shortcut.showCommand = SW_SHOWNORMAL;
    }
    const std::wstring nowhere = run + L"\\no such folder\\x.lnk";
    check(!platform::writeShortcut(nowhere, shortcut, &error) && !error.empty(), L"shortcut into a missing folder fails, explained");
}

// The arguments the system's own parser finds after a program name, as brackets.
std::wstring systemSplit(const std::wstring &text)
{
    int count = 0;
    wchar_t **argv = CommandLineToArgvW((L"x.exe " + text).c_str(), &count);
    const std::wstring shown =
        argv ? show(std::vector<std::wstring>(argv + 1, argv + count)) : L"<CommandLineToArgvW failed>";
    LocalFree(argv);
    return shown;
}

// The updater's own splitting of a shortcut's arguments (used on Linux) and its quoting agree with the system's.
void checkCommandLine()
{
    const wchar_t *texts[] = {
        L"a b", L"  a   b\t ", L"  a   b\t c ", L"\"a b\" c", L"\"a\"\"b\"", L"--arg=\"a b\"x", L"--arg=\"a \"\"b\"\" c\"", L"a\\\\b c\\",
        L"a\\\"b", L"a\\\\\"b c\"", L"\"a\\\\\" b", L"\"a b\\\\\"", L"\"\"", L"\"\" x \"\"", L"a\"b\"c d", L"\"a\tb\"", L"",
        L"a \"b c", L"--run \"Программа ё\" --arg=\"-c \\\"C:\\Мои файлы\\\\\"\"",
    };
    for (const wchar_t *text : texts)
        checkEqual(show(commandline::split(text)), systemSplit(text), L"split of " + std::wstring(text));

    const std::vector<std::wstring> list = {L"--run", L"", L"prog", L"a\"b", L"a\\\"b", L"C:\\My dir\\",
                                            L"C:\\dir\\", L"a\tb", L"c\nd", L"a\\", L"b\\\" c", L"\"",
                                            L"\\\"", L"Программа ё", L"tab\there", L""};
    std::wstring joined;
    for (const std::wstring &argument : list)
        joined += (joined.empty() ? L"" : L" ") + commandline::quoteArgument(argument);
    checkEqual(systemSplit(joined), show(list), L"quoted list " + joined);
    // The shape of a run-mode shortcut: the value of --arg quoted on its own.
    for (const wchar_t *value : {L"-a", L"--config_path \"C:/Program Files/x\"", L"a \"b\" c", L"x\"\"y", L"C:\\dir\\", L"\\\"", L""}) {
        const std::wstring text = L"--run " + commandline::quoteArgument(L"my prog") + L" --arg=\""
                                  + commandline::escapeQuoted(value) + L"\"";
        checkEqual(systemSplit(text), show({L"--run", L"my prog", L"--arg=" + std::wstring(value)}), L"run-mode arguments " + text);
    }
}

DWORD WINAPI releaseLater(void *handle)
{
    Sleep(400);
    CloseHandle(static_cast<HANDLE>(handle));
    return 0;
}

void checkFileLayer(const std::wstring &run)
{
    checkEqual(winfile::longPath(L"C:/a/./b/../c/"), L"\\\\?\\C:\\a\\c", L"drive path in the long form");
    checkEqual(winfile::longPath(L"C:\\..\\x"), L"\\\\?\\C:\\x", L"'..' stays at the drive's root");
    checkEqual(winfile::longPath(L"\\\\srv\\share\\d\\..\\..\\f"), L"\\\\?\\UNC\\srv\\share\\f", L"'..' stays below the share");
    checkEqual(winfile::longPath(L"\\\\?\\C:\\a\\..\\b"), L"\\\\?\\C:\\a\\..\\b", L"long form passed on");
    checkEqual(winfile::longPath(L"rel/x"), L"rel\\x", L"relative path stays relative");

    // A folder chain whose paths pass 260 characters, which plain paths do not reach.
    std::wstring folder = run + L"\\long";
    CreateDirectoryW(winfile::longPath(folder).c_str(), nullptr);
    for (wchar_t letter = L'a'; letter <= L'f'; ++letter) {
        folder += L"\\" + std::wstring(50, letter);
        CreateDirectoryW(winfile::longPath(folder).c_str(), nullptr);
    }
    const std::wstring target = folder + L"\\файл.dll";
    // wine shows every name with a leading dot as hidden by itself: this staging copy has none, so that its attribute
    // is the file layer's.
    const std::wstring staging = folder + L"\\файл.dll.kestra-new";
    check(writeText(target, "old content"), L"write a file under a long path");
    std::int64_t size = -1;
    check(winfile::fileSize(target, &size) == winfile::SizeAnswer::Found && size == 11, L"size under a long path");
    check(winfile::fileSize(folder, &size) == winfile::SizeAnswer::Found && size == 0, L"a folder's size is 0");
    check(winfile::fileSize(folder + L"\\none", &size) == winfile::SizeAnswer::Missing, L"missing file");
    check(winfile::fileSize(folder + L"\\none\\x", &size) == winfile::SizeAnswer::Missing, L"missing folder");
    check(winfile::flush(target) && !winfile::flush(folder + L"\\none"), L"flush a file, not a missing one");

    // Staging copies moved over the installed file: a read-only one; one another program reads sharing everything
    // (replaced at once where the system can, otherwise once the reader lets go); one held without sharing deletion
    // for a moment (tried again) and one held for good (a bounded wait, then a reason, both files as they were,
    // read-only mark included).
    struct Move { const wchar_t *name; bool readOnly; DWORD share; bool released; };
    const DWORD all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const Move moves[] = {{L"read-only file", true, 0, false},
                          {L"file open for reading", false, all, true},
                          {L"file held for a moment", false, FILE_SHARE_READ, true},
                          {L"file held for good", true, FILE_SHARE_READ, false}};
    for (const Move &move : moves) {
        const std::wstring what = L"move over a " + std::wstring(move.name);
        const std::string content = "new content " + std::to_string(&move - moves + 1);
        check(writeText(staging, content) && !(attributes(staging) & FILE_ATTRIBUTE_HIDDEN), what + L": staging copy not hidden before");
        check(winfile::hide(staging) && (attributes(staging) & FILE_ATTRIBUTE_HIDDEN), what + L": staging copy hidden");
        check(!move.readOnly || SetFileAttributesW(winfile::longPath(target).c_str(), FILE_ATTRIBUTE_READONLY), what + L": read-only");
        const HANDLE holder = move.share ? CreateFileW(winfile::longPath(target).c_str(), GENERIC_READ, move.share, nullptr, OPEN_EXISTING, 0, nullptr) : INVALID_HANDLE_VALUE;
        const HANDLE releaser = move.released ? CreateThread(nullptr, 0, releaseLater, holder, 0, nullptr) : nullptr;
        check(!move.share || (holder != INVALID_HANDLE_VALUE && (releaser || !move.released)), what + L": holder");
        int retries = -1;
        std::wstring error;
        const ULONGLONG start = GetTickCount64();
        const bool moved = winfile::moveOver(staging, target, &retries, &error);
        const ULONGLONG took = GetTickCount64() - start;
        WaitForSingleObject(releaser, 10000);
        CloseHandle(releaser ? releaser : holder);
        check(moved == (!move.share || move.released), what + L": " + error);
        check(move.share || retries == 0, what + L": no retries for a free file");
        check(move.share != FILE_SHARE_READ || !moved || (retries >= 1 && retries < winfile::kMoveAttempts),
              what + L": retried while held: " + std::to_wstring(retries));
        if (moved) {
            check(readText(target) == content && attributes(staging) == INVALID_FILE_ATTRIBUTES, what + L": replaced");
            check(!(attributes(target) & FILE_ATTRIBUTE_HIDDEN), what + L": replaced file not hidden");
            continue;
        }
        check(!error.empty() && retries == winfile::kMoveAttempts - 1, what + L": every retry used: " + std::to_wstring(retries));
        check(took < 10000, what + L": gave up in bounded time: " + std::to_wstring(took) + L" ms");
        check(readText(target) == "new content 3" && (attributes(target) & FILE_ATTRIBUTE_READONLY), what + L": target kept");
        check(readText(staging) == content && (attributes(staging) & FILE_ATTRIBUTE_HIDDEN), what + L": staging kept");
    }
    int retries = -1;
    std::wstring error;
    check(!winfile::moveOver(folder + L"\\none", target, &retries, &error) && retries == 0, L"a missing source fails at once");

    // Deletion: read-only files too, and nothing there is no failure.
    check(winfile::remove(target, &error) && attributes(target) == INVALID_FILE_ATTRIBUTES, L"delete a read-only file: " + error);
    check(winfile::remove(folder + L"\\none", &error), L"deleting nothing succeeds");
    check(!winfile::remove(folder, &error) && attributes(folder) != INVALID_FILE_ATTRIBUTES, L"a folder is not deleted as a file");
}

} // namespace

int wmain(int argc, wchar_t *argv[])
{
    if (argc > 1 && std::wcscmp(argv[1], L"--child") == 0) {
        Sleep(60000);
        return 0;
    }
    const std::wstring own = ownPath();
    const std::wstring run = own.substr(0, own.find_last_of(L"\\/")) + L"\\run";
    CreateDirectoryW(run.c_str(), nullptr);
    checkProcesses(run);
    checkFolders();
    checkShortcut(run);
    checkCommandLine();
    checkFileLayer(run);
    std::wprintf(L"wincheck: %d checks, %d failed\n", g_checks, g_failures);
    return g_failures == 0 ? 0 : 1;
}
