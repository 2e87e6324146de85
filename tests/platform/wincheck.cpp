// Checks the Windows platform layer for real: built with mingw-w64 together
// with platform_win.cpp and the file layer (winfile_win.cpp) and run under
// wine by scripts/ci.d/40-wine.sh.
//
//   wincheck.exe           runs every check below; exit code 0 when all pass
//   wincheck.exe --child   the program the checks start and look for; it
//                          waits (at most a minute) until it is terminated
//
// The checks work in a folder "run" beside the executable, which the script
// empties first.

#include "commandline.h"
#include "platform.h"
#include "winfile.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

int g_failures = 0;
int g_checks = 0;

void check(bool ok, const std::wstring &what)
{
    ++g_checks;
    if (!ok) {
        ++g_failures;
        std::wprintf(L"FAIL: %ls\n", what.c_str());
    }
}

void checkEqual(const std::wstring &actual, const std::wstring &expected, const std::wstring &what)
{
    check(actual == expected, what + L": got [" + actual + L"] expected [" + expected + L"]");
}

std::wstring ownPath()
{
    std::vector<wchar_t> buffer(32768);
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    return std::wstring(buffer.data(), length);
}

std::wstring folderOf(const std::wstring &path)
{
    const std::size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

bool isAbsolute(const std::wstring &path)
{
    return path.size() >= 3 && path[1] == L':' && (path[2] == L'\\' || path[2] == L'/');
}

bool endsWith(const std::wstring &text, const std::wstring &tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

const platform::ProcessEntry *findProcess(const std::vector<platform::ProcessEntry> &list, DWORD pid)
{
    for (const platform::ProcessEntry &entry : list) {
        if (entry.processId == pid)
            return &entry;
    }
    return nullptr;
}

// Starts the child copy from its folder, finds it in the snapshot with its
// full module path, and sees it gone after it ends.
void checkProcesses(const std::wstring &runFolder)
{
    const std::wstring childFolder = runFolder + L"\\Папка A";
    const std::wstring childPath = childFolder + L"\\wcchild.exe";
    check(CreateDirectoryW(childFolder.c_str(), nullptr) != 0, L"create " + childFolder);
    check(CopyFileW(ownPath().c_str(), childPath.c_str(), FALSE) != 0, L"copy child to " + childPath);

    std::wstring commandLine = L"\"" + childPath + L"\" --child";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(childPath.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, childFolder.c_str(),
                        &startup, &info)) {
        check(false, L"start " + childPath);
        return;
    }
    CloseHandle(info.hThread);
    WaitForInputIdle(info.hProcess, 5000);

    // The child shows up once it has started; give it at most ten seconds.
    std::vector<platform::ProcessEntry> processes;
    std::vector<std::wstring> modules;
    const platform::ProcessEntry *child = nullptr;
    for (int attempt = 0; attempt < 100; ++attempt) {
        check(platform::listProcesses(processes), L"process snapshot");
        child = findProcess(processes, info.dwProcessId);
        if (child) {
            modules = platform::listModules(child->processId);
            if (!modules.empty())
                break;
        }
        Sleep(100);
    }
    check(child != nullptr, L"child found in the process list");
    if (child) {
        checkEqual(child->exeFile, L"wcchild.exe", L"child's executable name");
        check(child->parentProcessId == GetCurrentProcessId(), L"child's parent is this process");
        check(child->threadCount >= 1, L"child has a thread");
        check(modules.size() >= 2, L"child has the executable and system modules");
        if (!modules.empty())
            checkEqual(modules.front(), childPath, L"child's first module");
    }
    const platform::ProcessEntry *self = findProcess(processes, GetCurrentProcessId());
    check(self != nullptr, L"this process found in the process list");
    if (self) {
        const std::vector<std::wstring> own = platform::listModules(self->processId);
        check(!own.empty() && own.front() == ownPath(), L"own first module is own executable");
    }
    checkEqual(platform::runningExecutable(), ownPath(), L"running executable");
    checkEqual(platform::processExecutable(info.dwProcessId), childPath, L"child's executable");
    check(platform::processExecutable(0xFFFFFFF0u).empty(), L"no executable for a process that does not exist");
    check(platform::pathsIgnoreCase(), L"paths ignore letter case");
    check(platform::listModules(0xFFFFFFF0u).empty(), L"no modules for a process that does not exist");
    check(platform::listModules(0x100000000ull).empty(), L"no modules for an identifier out of range");

    TerminateProcess(info.hProcess, 0);
    check(WaitForSingleObject(info.hProcess, 10000) == WAIT_OBJECT_0, L"child ended");
    CloseHandle(info.hProcess);
    bool gone = false;
    for (int attempt = 0; attempt < 50 && !gone; ++attempt) {
        platform::listProcesses(processes);
        gone = findProcess(processes, info.dwProcessId) == nullptr;
        if (!gone)
            Sleep(100);
    }
    check(gone, L"child gone from the process list");
}

void checkFolders()
{
    const std::wstring desktop = platform::userFolder(platform::UserFolder::Desktop);
    const std::wstring quick = platform::userFolder(platform::UserFolder::QuickLaunch);
    const std::wstring menu = platform::userFolder(platform::UserFolder::ProgramsMenu);
    check(isAbsolute(desktop), L"desktop folder is absolute: " + desktop);
    check(isAbsolute(quick), L"quick-launch folder is absolute: " + quick);
    check(isAbsolute(menu), L"programs menu folder is absolute: " + menu);
    check(endsWith(quick, L"\\Microsoft\\Internet Explorer\\Quick Launch"), L"quick launch under application data: " + quick);
    check(!endsWith(desktop, L"\\") && !endsWith(menu, L"\\"), L"folders carry no trailing separator");
    check(desktop != menu && desktop != quick, L"three different folders");
}

struct ReadBack
{
    bool loaded = false;
    std::wstring target;
    std::wstring arguments;
    std::wstring workingDirectory;
    std::wstring iconPath;
    int iconIndex = -1;
    WORD hotkey = 0;
    int showCommand = 0;
};

// The fixed header of a .lnk file: 76 bytes, little-endian.
struct LinkHeader
{
    bool valid = false;
    std::int32_t iconIndex = 0;
    std::uint32_t showCommand = 0;
    std::uint16_t hotkey = 0;
};

LinkHeader readHeader(const std::wstring &path)
{
    LinkHeader header;
    unsigned char bytes[0x4C] = {};
    FILE *file = _wfopen(path.c_str(), L"rb");
    if (!file)
        return header;
    const std::size_t got = std::fread(bytes, 1, sizeof bytes, file);
    std::fclose(file);
    auto u32 = [&bytes](int at) {
        return static_cast<std::uint32_t>(bytes[at]) | static_cast<std::uint32_t>(bytes[at + 1]) << 8
               | static_cast<std::uint32_t>(bytes[at + 2]) << 16 | static_cast<std::uint32_t>(bytes[at + 3]) << 24;
    };
    if (got != sizeof bytes || u32(0) != 0x4C)
        return header;
    header.valid = true;
    header.iconIndex = static_cast<std::int32_t>(u32(0x38));
    header.showCommand = u32(0x3C);
    header.hotkey = static_cast<std::uint16_t>(bytes[0x40] | bytes[0x41] << 8);
    return header;
}

ReadBack readShortcut(const std::wstring &path)
{
    ReadBack back;
    IShellLinkW *link = nullptr;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void **>(&link))))
        return back;
    IPersistFile *file = nullptr;
    if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void **>(&file)))) {
        if (SUCCEEDED(file->Load(path.c_str(), STGM_READ))) {
            back.loaded = true;
            std::vector<wchar_t> buffer(32768);
            const int size = static_cast<int>(buffer.size());
            if (SUCCEEDED(link->GetPath(buffer.data(), size, nullptr, SLGP_RAWPATH)))
                back.target = buffer.data();
            if (SUCCEEDED(link->GetArguments(buffer.data(), size)))
                back.arguments = buffer.data();
            if (SUCCEEDED(link->GetWorkingDirectory(buffer.data(), size)))
                back.workingDirectory = buffer.data();
            if (SUCCEEDED(link->GetIconLocation(buffer.data(), size, &back.iconIndex)))
                back.iconPath = buffer.data();
            link->GetHotkey(&back.hotkey);
            link->GetShowCmd(&back.showCommand);
        }
        file->Release();
    }
    link->Release();
    return back;
}

void checkShortcut(const std::wstring &runFolder)
{
    const std::wstring target = ownPath();
    platform::Shortcut shortcut;
    shortcut.target = target;
    shortcut.arguments = L"--run \"Программа ёлка\" --arg=\"--config_path \"\"C:\\Мои файлы\\cfg\"\" -x\"";
    shortcut.workingDirectory = runFolder + L"\\Папка A";
    shortcut.iconPath = runFolder + L"\\Папка A\\def.ico";
    shortcut.iconIndex = 2;
    shortcut.hotkey = MAKEWORD('K', HOTKEYF_CONTROL | HOTKEYF_ALT);
    shortcut.showCommand = SW_SHOWMAXIMIZED;

    const std::wstring path = runFolder + L"\\Ярлык «тест».lnk";
    checkEqual(platform::shortcutFilePath(path), path, L"shortcut file path kept");
    // An executable's own icon can be shown; a plain image cannot.
    check(platform::canBeShortcutIcon(L"C:\\Программы\\lab.exe"), L"an executable is an icon");
    check(platform::canBeShortcutIcon(L"C:\\Программы\\DEF.ICO"), L"an .ico file is an icon");
    check(platform::canBeShortcutIcon(L"C:\\Программы.v2\\lab"), L"a dot in a folder is no suffix");
    check(!platform::canBeShortcutIcon(L"C:\\kestraupd\\kestraupd.PNG"), L"a PNG image is no icon");
    std::wstring error;
    check(platform::writeShortcut(path, shortcut, &error), L"write shortcut: " + error);
    check(GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES, L"shortcut file exists");

    const ReadBack back = readShortcut(path);
    check(back.loaded, L"shortcut loads");
    checkEqual(back.target, shortcut.target, L"target");
    checkEqual(back.arguments, shortcut.arguments, L"arguments");
    checkEqual(back.workingDirectory, shortcut.workingDirectory, L"working folder");
    checkEqual(back.iconPath, shortcut.iconPath, L"icon path");
    check(back.iconIndex == shortcut.iconIndex, L"icon index");
    check(back.hotkey == shortcut.hotkey, L"hotkey");
    // wine's shell link reader does not hand the show command back (it
    // answers SW_SHOWNORMAL whatever the file says), so it is read from the
    // file's header, where the shell-link format keeps it.
    const LinkHeader header = readHeader(path);
    check(header.valid, L"shortcut header");
    check(header.showCommand == static_cast<std::uint32_t>(shortcut.showCommand),
          L"show command in the file: " + std::to_wstring(header.showCommand));
    check(header.iconIndex == shortcut.iconIndex, L"icon index in the file");
    check(header.hotkey == shortcut.hotkey, L"hotkey in the file");

    // Rewriting replaces the old shortcut.
    shortcut.arguments.clear();
    shortcut.showCommand = SW_SHOWNORMAL;
    check(platform::writeShortcut(path, shortcut, &error), L"rewrite shortcut: " + error);
    const ReadBack again = readShortcut(path);
    checkEqual(again.arguments, L"", L"rewritten arguments");
    check(readHeader(path).showCommand == SW_SHOWNORMAL, L"rewritten show command");

    error.clear();
    const std::wstring nowhere = runFolder + L"\\no such folder\\x.lnk";
    check(!platform::writeShortcut(nowhere, shortcut, &error), L"shortcut into a missing folder fails");
    check(!error.empty(), L"failure is explained");
    check(GetFileAttributesW(nowhere.c_str()) == INVALID_FILE_ATTRIBUTES, L"nothing written on failure");
}

// The arguments the system's own parser finds in text (after a program name).
std::vector<std::wstring> systemSplit(const std::wstring &text)
{
    std::vector<std::wstring> result;
    const std::wstring line = L"x.exe " + text;
    int count = 0;
    wchar_t **argv = CommandLineToArgvW(line.c_str(), &count);
    if (!argv)
        return {L"<CommandLineToArgvW failed>"};
    for (int i = 1; i < count; ++i)
        result.emplace_back(argv[i]);
    LocalFree(argv);
    return result;
}

std::wstring show(const std::vector<std::wstring> &list)
{
    std::wstring text;
    for (const std::wstring &item : list)
        text += L"[" + item + L"]";
    return text;
}

// The updater's own splitting of a shortcut's arguments (used on Linux) and
// its quoting agree with the system's parser.
void checkCommandLine()
{
    const std::wstring texts[] = {
        L"a b",
        L"  a   b\t ",
        L"\"a b\" c",
        L"\"a\"\"b\"",
        L"--arg=\"a \"\"b\"\" c\"",
        L"a\\\\b c\\",
        L"a\\\"b",
        L"a\\\\\"b c\"",
        L"\"a b\\\\\"",
        L"\"\"",
        L"\"\" x \"\"",
        L"a\"b\"c d",
        L"\"a\tb\"",
        L"--run \"Программа ё\" --arg=\"-c \\\"C:\\Мои файлы\\\\\"\"",
    };
    for (const std::wstring &text : texts)
        checkEqual(show(commandline::split(text)), show(systemSplit(text)), L"split of " + text);

    const std::vector<std::vector<std::wstring>> lists = {
        {L"--run", L"my prog", L"--arg=--config_path \"C:\\Program Files\\x\\\""},
        {L"", L"a", L""},
        {L"a\\", L"b\\\" c", L"\"", L"\\\"", L"Программа ё", L"tab\there"},
    };
    for (const std::vector<std::wstring> &list : lists) {
        std::wstring text;
        for (const std::wstring &argument : list)
            text += (text.empty() ? L"" : L" ") + commandline::quoteArgument(argument);
        checkEqual(show(systemSplit(text)), show(list), L"quoted list " + text);
        checkEqual(show(commandline::split(text)), show(list), L"own split of " + text);
    }

    // The shape of a run-mode shortcut: the value of --arg quoted on its own.
    const std::wstring parameters[] = {
        L"-a", L"--config_path \"C:/Program Files/x\"", L"a \"b\" c", L"x\"\"y", L"C:\\dir\\", L"\\\"", L"",
    };
    for (const std::wstring &value : parameters) {
        const std::wstring text = L"--run " + commandline::quoteArgument(L"my prog") + L" --arg=\""
                                  + commandline::escapeQuoted(value) + L"\"";
        const std::vector<std::wstring> expected = {L"--run", L"my prog", L"--arg=" + value};
        checkEqual(show(systemSplit(text)), show(expected), L"run-mode arguments " + text);
    }
}

// Whole-file helpers for the file-layer checks; they take any path the
// file layer does (long ones through its own "\\?\" form).
bool writeText(const std::wstring &path, const std::string &bytes)
{
    const HANDLE file = CreateFileW(winfile::longPath(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    const bool ok = WriteFile(file, bytes.data(), DWORD(bytes.size()), &written, nullptr) && written == bytes.size();
    CloseHandle(file);
    return ok;
}

std::string readText(const std::wstring &path)
{
    const HANDLE file = CreateFileW(winfile::longPath(path).c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return "<missing>";
    std::string bytes;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0)
        bytes.append(buffer, got);
    CloseHandle(file);
    return bytes;
}

DWORD attributesOf(const std::wstring &path)
{
    return GetFileAttributesW(winfile::longPath(path).c_str());
}

bool exists(const std::wstring &path)
{
    return attributesOf(path) != INVALID_FILE_ATTRIBUTES;
}

// Opens path the way a virus scanner does: reading, and refusing to let it
// be deleted or replaced while the handle is open.
HANDLE holdFile(const std::wstring &path)
{
    return CreateFileW(winfile::longPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

DWORD WINAPI releaseLater(void *handle)
{
    Sleep(400);
    CloseHandle(static_cast<HANDLE>(handle));
    return 0;
}

void checkLongPathForm()
{
    checkEqual(winfile::longPath(L"C:/a/./b/../c/"), L"\\\\?\\C:\\a\\c", L"drive path in the long form");
    checkEqual(winfile::longPath(L"C:\\..\\x"), L"\\\\?\\C:\\x", L"'..' stays at the drive's root");
    checkEqual(winfile::longPath(L"\\\\srv\\share\\d\\..\\..\\f"), L"\\\\?\\UNC\\srv\\share\\f",
               L"share path in the long form, '..' stays below the share");
    checkEqual(winfile::longPath(L"\\\\?\\C:\\a\\..\\b"), L"\\\\?\\C:\\a\\..\\b", L"long form passed on");
    checkEqual(winfile::longPath(L"rel/x"), L"rel\\x", L"relative path stays relative");
}

// A folder chain whose paths pass 260 characters, which plain paths do not reach.
std::wstring longFolder(const std::wstring &runFolder)
{
    std::wstring folder = runFolder + L"\\long";
    CreateDirectoryW(winfile::longPath(folder).c_str(), nullptr);
    for (int i = 0; i < 6; ++i) {
        folder += L"\\" + std::wstring(50, wchar_t(L'a' + i));
        CreateDirectoryW(winfile::longPath(folder).c_str(), nullptr);
    }
    return folder;
}

void checkFileLayer(const std::wstring &runFolder)
{
    checkLongPathForm();
    const std::wstring folder = longFolder(runFolder);
    check(folder.size() >= 300, L"long folder passes 260 characters: " + std::to_wstring(folder.size()));
    const std::wstring target = folder + L"\\файл.dll";
    // wine shows every name with a leading dot as hidden by itself: this
    // staging copy has none, so that its attribute is the file layer's.
    const std::wstring staging = folder + L"\\файл.dll.kestra-new";
    check(writeText(target, "old content"), L"write a file under a long path");

    std::int64_t size = -1;
    check(winfile::fileSize(target, &size) == winfile::SizeAnswer::Found && size == 11, L"size under a long path");
    check(winfile::fileSize(folder, &size) == winfile::SizeAnswer::Found && size == 0, L"a folder's size is 0");
    check(winfile::fileSize(folder + L"\\none", &size) == winfile::SizeAnswer::Missing, L"missing file");
    check(winfile::fileSize(folder + L"\\none\\x", &size) == winfile::SizeAnswer::Missing, L"missing folder");
    check(winfile::flush(target), L"flush a file under a long path");
    check(!winfile::flush(folder + L"\\none"), L"flush of a missing file fails");

    // Staging copy: hidden while it exists, the installed file is not.
    check(writeText(staging, "new content 1"), L"write the staging copy");
    check(!(attributesOf(staging) & FILE_ATTRIBUTE_HIDDEN), L"staging copy not hidden before");
    check(winfile::hide(staging) && (attributesOf(staging) & FILE_ATTRIBUTE_HIDDEN), L"staging copy hidden");
    // A read-only installed file is replaced all the same.
    check(SetFileAttributesW(winfile::longPath(target).c_str(), FILE_ATTRIBUTE_READONLY) != 0, L"make read-only");
    int retries = -1;
    std::wstring error;
    const bool movedOverReadOnly = winfile::moveOver(staging, target, &retries, &error);
    check(movedOverReadOnly, L"move over a read-only file: " + error);
    check(retries == 0, L"no retries for a free file");
    check(readText(target) == "new content 1", L"replaced content");
    check(!exists(staging), L"staging copy gone after the move");
    check(!(attributesOf(target) & FILE_ATTRIBUTE_HIDDEN), L"replaced file not hidden");

    // Replace over a file another program reads, sharing everything: the
    // system replaces it at once where it can replace open files, otherwise
    // once the reader lets go, well within the retries.
    const HANDLE reader = CreateFileW(winfile::longPath(target).c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    check(reader != INVALID_HANDLE_VALUE, L"open the file for reading");
    check(writeText(staging, "new content 2") && winfile::hide(staging), L"second staging copy");
    HANDLE releaser = CreateThread(nullptr, 0, releaseLater, reader, 0, nullptr);
    check(releaser != nullptr, L"start the releasing thread");
    const bool movedOverOpen = winfile::moveOver(staging, target, &retries, &error);
    check(movedOverOpen, L"move over an open file: " + error);
    WaitForSingleObject(releaser, 10000);
    CloseHandle(releaser);
    check(readText(target) == "new content 2", L"content after the move over an open file");

    // Held without sharing deletion: tried again until the holder lets go.
    HANDLE held = holdFile(target);
    check(held != INVALID_HANDLE_VALUE, L"hold the file");
    check(writeText(staging, "new content 3") && winfile::hide(staging), L"third staging copy");
    releaser = CreateThread(nullptr, 0, releaseLater, held, 0, nullptr);
    check(releaser != nullptr, L"start the releasing thread");
    error.clear();
    const bool movedOverHeld = winfile::moveOver(staging, target, &retries, &error);
    check(movedOverHeld, L"move over a file held for a moment: " + error);
    check(retries >= 1 && retries < winfile::kMoveAttempts, L"retried while held: " + std::to_wstring(retries));
    WaitForSingleObject(releaser, 10000);
    CloseHandle(releaser);
    check(readText(target) == "new content 3", L"content after the holder let go");

    // Held for good: a bounded wait, then a reason; both files as they were,
    // read-only mark included.
    check(SetFileAttributesW(winfile::longPath(target).c_str(), FILE_ATTRIBUTE_READONLY) != 0, L"make read-only");
    held = holdFile(target);
    check(writeText(staging, "new content 4") && winfile::hide(staging), L"fourth staging copy");
    const ULONGLONG start = GetTickCount64();
    error.clear();
    check(!winfile::moveOver(staging, target, &retries, &error), L"move over a file held for good fails");
    const ULONGLONG took = GetTickCount64() - start;
    CloseHandle(held);
    check(!error.empty(), L"the failure is explained");
    check(retries == winfile::kMoveAttempts - 1, L"every retry used: " + std::to_wstring(retries));
    check(took < 10000, L"gave up in bounded time: " + std::to_wstring(took) + L" ms");
    check(readText(target) == "new content 3", L"held file keeps its content");
    check((attributesOf(target) & FILE_ATTRIBUTE_READONLY) != 0, L"held file still read-only");
    check(readText(staging) == "new content 4" && (attributesOf(staging) & FILE_ATTRIBUTE_HIDDEN),
          L"staging copy kept, still hidden");
    check(!winfile::moveOver(folder + L"\\none", target, &retries, &error) && retries == 0,
          L"a missing source fails at once");

    // Deletion: read-only files too, and nothing there is no failure.
    check(SetFileAttributesW(winfile::longPath(target).c_str(), FILE_ATTRIBUTE_READONLY) != 0, L"make read-only");
    const bool removedReadOnly = winfile::remove(target, &error);
    check(removedReadOnly, L"delete a read-only file: " + error);
    check(!exists(target), L"read-only file gone");
    check(winfile::remove(staging, &error) && !exists(staging), L"delete the hidden staging copy");
    check(winfile::remove(folder + L"\\none", &error), L"deleting nothing succeeds");
    check(!winfile::remove(folder, &error) && exists(folder), L"a folder is not deleted as a file");
}

} // namespace

int wmain(int argc, wchar_t *argv[])
{
    if (argc > 1 && std::wcscmp(argv[1], L"--child") == 0) {
        Sleep(60000);
        return 0;
    }
    const std::wstring runFolder = folderOf(ownPath()) + L"\\run";
    CreateDirectoryW(runFolder.c_str(), nullptr);

    checkProcesses(runFolder);
    checkFolders();
    checkShortcut(runFolder);
    checkCommandLine();
    checkFileLayer(runFolder);
    checkEqual(platform::executableSuffix(), L".exe", L"executable suffix");

    std::wprintf(L"wincheck: %d checks, %d failed\n", g_checks, g_failures);
    return g_failures == 0 ? 0 : 1;
}
