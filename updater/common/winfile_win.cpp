// Windows: the file calls of the install engine and the copier.
//
// Plain Win32 and standard C++ only (no Qt), so this file can be built with a
// cross compiler and checked under wine on its own (tests/platform/wincheck.cpp).

#include "winfile.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <vector>

namespace winfile {

namespace {

std::wstring describe(DWORD code)
{
    wchar_t *text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   code, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    std::wstring result;
    if (text) {
        result = text;
        LocalFree(text);
    }
    while (!result.empty() && (result.back() == L'\n' || result.back() == L'\r' || result.back() == L' '))
        result.pop_back();
    if (result.empty())
        result = L"error " + std::to_wstring(code);
    return result;
}

bool fail(std::wstring *error, DWORD code)
{
    if (error)
        *error = describe(code);
    return false;
}

// The refusals another process's open handle causes; anything else (a
// missing folder, a full disk) does not go away by waiting.
bool heldByAnother(DWORD code)
{
    return code == ERROR_SHARING_VIOLATION || code == ERROR_ACCESS_DENIED || code == ERROR_LOCK_VIOLATION;
}

// Resolves "." and ".." in the part of the path after its root; ".." never
// climbs above the root.
std::wstring cleanTail(const std::wstring &tail)
{
    std::vector<std::wstring> parts;
    std::size_t start = 0;
    while (start <= tail.size()) {
        std::size_t end = tail.find(L'\\', start);
        if (end == std::wstring::npos)
            end = tail.size();
        const std::wstring part = tail.substr(start, end - start);
        if (part == L"..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != L".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    std::wstring result;
    for (const std::wstring &part : parts)
        result += (result.empty() ? L"" : L"\\") + part;
    return result;
}

} // namespace

std::wstring longPath(const std::wstring &path)
{
    const std::wstring prefix = L"\\\\?\\";
    if (path.compare(0, prefix.size(), prefix) == 0)
        return path;
    std::wstring native = path;
    for (wchar_t &c : native) {
        if (c == L'/')
            c = L'\\';
    }
    if (native.size() >= 3 && native[1] == L':' && native[2] == L'\\')
        return prefix + native.substr(0, 3) + cleanTail(native.substr(3));
    if (native.compare(0, 2, L"\\\\") == 0) {
        // \\server\share is the root of a share: ".." stays below it.
        const std::size_t server = native.find(L'\\', 2);
        const std::size_t share = server == std::wstring::npos ? server : native.find(L'\\', server + 1);
        if (share == std::wstring::npos)
            return prefix + L"UNC\\" + native.substr(2);
        return prefix + L"UNC\\" + native.substr(2, share - 1) + cleanTail(native.substr(share + 1));
    }
    return native;
}

bool flush(const std::wstring &path)
{
    const HANDLE handle = CreateFileW(longPath(path).c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    const bool flushed = FlushFileBuffers(handle) != 0;
    CloseHandle(handle);
    return flushed;
}

bool moveOver(const std::wstring &from, const std::wstring &to, int *retries, std::wstring *error)
{
    const std::wstring source = longPath(from);
    const std::wstring target = longPath(to);
    if (retries)
        *retries = 0;
    // The content must be on the disk before its name is: after a power cut
    // the module's record (renamed in last) must never name lost bytes.
    // MOVEFILE_WRITE_THROUGH covers the rename only, not the content.
    flush(from);

    const DWORD targetAttributes = GetFileAttributesW(target.c_str());
    const bool writable = targetAttributes != INVALID_FILE_ATTRIBUTES && (targetAttributes & FILE_ATTRIBUTE_READONLY)
                          && !(targetAttributes & FILE_ATTRIBUTE_DIRECTORY);
    if (writable)
        SetFileAttributesW(target.c_str(), targetAttributes & ~DWORD(FILE_ATTRIBUTE_READONLY));
    // The moved file keeps its attributes: an installed file must not
    // inherit the hidden mark of its staging copy.
    const DWORD sourceAttributes = GetFileAttributesW(source.c_str());
    const bool unhide = sourceAttributes != INVALID_FILE_ATTRIBUTES && (sourceAttributes & FILE_ATTRIBUTE_HIDDEN);
    if (unhide) {
        const DWORD plain = sourceAttributes & ~DWORD(FILE_ATTRIBUTE_HIDDEN);
        SetFileAttributesW(source.c_str(), plain ? plain : FILE_ATTRIBUTE_NORMAL);
    }

    DWORD code = ERROR_SUCCESS;
    for (int attempt = 0; attempt < kMoveAttempts; ++attempt) {
        if (attempt > 0) {
            Sleep(kMoveRetryDelayMs);
            if (retries)
                *retries = attempt;
        }
        if (MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return true;
        code = GetLastError();
        if (!heldByAnother(code))
            break;
    }
    if (unhide)
        SetFileAttributesW(source.c_str(), sourceAttributes);
    if (writable)
        SetFileAttributesW(target.c_str(), targetAttributes);
    return fail(error, code);
}

bool remove(const std::wstring &path, std::wstring *error)
{
    const std::wstring native = longPath(path);
    const DWORD attributes = GetFileAttributesW(native.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD code = GetLastError();
        return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ? true : fail(error, code);
    }
    // A read-only file cannot be deleted: otherwise a file marked for
    // deletion would fail on every run and its module never be recorded.
    if (attributes & FILE_ATTRIBUTE_READONLY)
        SetFileAttributesW(native.c_str(), attributes & ~DWORD(FILE_ATTRIBUTE_READONLY));
    // A link to a folder is a folder entry itself: removing it leaves the
    // folder it leads to alone, as DeleteFileW does for a file link.
    const bool folderLink = (attributes & FILE_ATTRIBUTE_DIRECTORY) && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
    if (folderLink ? RemoveDirectoryW(native.c_str()) : DeleteFileW(native.c_str()))
        return true;
    const DWORD code = GetLastError();
    if (attributes & FILE_ATTRIBUTE_READONLY)
        SetFileAttributesW(native.c_str(), attributes);
    return fail(error, code);
}

bool hide(const std::wstring &path)
{
    const std::wstring native = longPath(path);
    const DWORD attributes = GetFileAttributesW(native.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES
           && ((attributes & FILE_ATTRIBUTE_HIDDEN)
               || SetFileAttributesW(native.c_str(), (attributes & ~DWORD(FILE_ATTRIBUTE_NORMAL)) | FILE_ATTRIBUTE_HIDDEN));
}

SizeAnswer fileSize(const std::wstring &path, std::int64_t *size)
{
    *size = 0;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(longPath(path).c_str(), GetFileExInfoStandard, &data)) {
        const DWORD code = GetLastError();
        return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ? SizeAnswer::Missing : SizeAnswer::Unknown;
    }
    // The attributes of a link are its own, not those of what it leads to.
    if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return SizeAnswer::Unknown;
    if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        *size = std::int64_t((std::uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
    return SizeAnswer::Found;
}

} // namespace winfile
