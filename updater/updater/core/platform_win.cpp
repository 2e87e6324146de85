// Windows: shell folders and shell links.
//
// Plain Win32 and standard C++ only (no Qt), so this file can be built with a
// cross compiler and checked under wine on its own (tests/platform/wincheck.cpp).

#include "platform.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <cstdio>
#include <cwctype>

namespace platform {

namespace {

// Releases a COM interface however the sequence of calls ends.
template <typename T>
class ComPtr
{
public:
    ComPtr() = default;
    ~ComPtr()
    {
        if (m_ptr)
            m_ptr->Release();
    }
    ComPtr(const ComPtr &) = delete;
    ComPtr &operator=(const ComPtr &) = delete;

    T *operator->() const { return m_ptr; }
    T *get() const { return m_ptr; }
    void **out() { return reinterpret_cast<void **>(&m_ptr); }

private:
    T *m_ptr = nullptr;
};

std::wstring describeFailure(const wchar_t *step, HRESULT result)
{
    wchar_t code[16];
    std::swprintf(code, sizeof code / sizeof code[0], L"0x%08lX", static_cast<unsigned long>(result));
    return std::wstring(step) + L" failed (" + code + L")";
}

std::wstring shellFolder(int csidl)
{
    wchar_t buffer[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, buffer)))
        return std::wstring();
    std::wstring folder(buffer);
    while (folder.size() > 3 && (folder.back() == L'\\' || folder.back() == L'/'))
        folder.pop_back();
    return folder;
}

} // namespace

std::wstring userFolder(UserFolder folder)
{
    switch (folder) {
    case UserFolder::Desktop:
        return shellFolder(CSIDL_DESKTOPDIRECTORY);
    case UserFolder::QuickLaunch: {
        const std::wstring appData = shellFolder(CSIDL_APPDATA);
        if (appData.empty())
            return appData;
        return appData + L"\\Microsoft\\Internet Explorer\\Quick Launch";
    }
    case UserFolder::ProgramsMenu:
        return shellFolder(CSIDL_PROGRAMS);
    }
    return std::wstring();
}

std::wstring shortcutFilePath(const std::wstring &path)
{
    return path;
}

bool writeShortcut(const std::wstring &path, const Shortcut &shortcut, std::wstring *error)
{
    auto fail = [error](const wchar_t *step, HRESULT result) {
        if (error)
            *error = describeFailure(step, result);
        return false;
    };
    // The shell link object needs COM on this thread. A thread that already
    // has it gets S_FALSE or RPC_E_CHANGED_MODE; both leave COM usable, so the
    // result is not checked and COM is left initialised.
    CoInitialize(nullptr);

    ComPtr<IShellLinkW> link;
    HRESULT result = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, link.out());
    if (FAILED(result))
        return fail(L"CoCreateInstance(ShellLink)", result);
    if (FAILED(result = link->SetPath(shortcut.target.c_str())))
        return fail(L"IShellLinkW::SetPath", result);
    if (FAILED(result = link->SetArguments(shortcut.arguments.c_str())))
        return fail(L"IShellLinkW::SetArguments", result);
    if (FAILED(result = link->SetWorkingDirectory(shortcut.workingDirectory.c_str())))
        return fail(L"IShellLinkW::SetWorkingDirectory", result);
    if (FAILED(result = link->SetIconLocation(shortcut.iconPath.c_str(), shortcut.iconIndex)))
        return fail(L"IShellLinkW::SetIconLocation", result);
    if (FAILED(result = link->SetHotkey(shortcut.hotkey)))
        return fail(L"IShellLinkW::SetHotkey", result);
    if (FAILED(result = link->SetShowCmd(shortcut.showCommand)))
        return fail(L"IShellLinkW::SetShowCmd", result);
    ComPtr<IPersistFile> file;
    if (FAILED(result = link->QueryInterface(IID_IPersistFile, file.out())))
        return fail(L"IShellLinkW::QueryInterface(IPersistFile)", result);
    if (FAILED(result = file->Save(shortcutFilePath(path).c_str(), TRUE)))
        return fail(L"IPersistFile::Save", result);
    return true;
}

std::wstring runningExecutable()
{
    // The loader's record of the image path does not follow a rename of the
    // file, so it still names the updater's folder during a hand-over.
    std::wstring path(MAX_PATH, L'\0');
    for (int attempt = 0; attempt < 6; ++attempt) {
        const DWORD length = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
        if (length == 0)
            return std::wstring();
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
    return std::wstring();
}

const wchar_t *executableSuffix()
{
    return L".exe";
}

void attachParentConsole()
{
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out != nullptr && out != INVALID_HANDLE_VALUE && GetFileType(out) != FILE_TYPE_UNKNOWN)
        return;
    if (!AttachConsole(ATTACH_PARENT_PROCESS))
        return;
    if (!std::freopen("CONOUT$", "w", stdout) || !std::freopen("CONOUT$", "w", stderr))
        return;
}

bool canBeShortcutIcon(const std::wstring &path)
{
    // An icon location names an .ico file or a file with icon resources
    // (executables, libraries); plain images give a blank shortcut.
    const std::wstring::size_type dot = path.find_last_of(L"./\\");
    if (dot == std::wstring::npos || path[dot] != L'.')
        return true;
    std::wstring suffix = path.substr(dot + 1);
    for (wchar_t &c : suffix)
        c = static_cast<wchar_t>(towlower(c));
    return suffix != L"png" && suffix != L"svg" && suffix != L"svgz" && suffix != L"xpm" && suffix != L"jpg"
           && suffix != L"bmp";
}

} // namespace platform
