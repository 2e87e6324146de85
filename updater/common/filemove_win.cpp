#include "filemove.h"

#include "longpath_win.h"

#include <windows.h>

bool moveFileOver(const QString &from, const QString &to, QString *error)
{
    const QString nativeFrom = longPathW(from);
    const QString nativeTo = longPathW(to);
    // The content must be on the disk before its name is: after a power cut
    // the module's record (renamed in last) must never name lost bytes.
    // MOVEFILE_WRITE_THROUGH covers the rename only, not the content.
    const HANDLE handle = CreateFileW(reinterpret_cast<LPCWSTR>(nativeFrom.utf16()), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        FlushFileBuffers(handle);
        CloseHandle(handle);
    }
    // A read-only destination cannot be replaced; the caller has cleared the
    // attribute already, this only covers a race with another writer.
    if (MoveFileExW(reinterpret_cast<LPCWSTR>(nativeFrom.utf16()), reinterpret_cast<LPCWSTR>(nativeTo.utf16()),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    if (error) {
        const DWORD code = GetLastError();
        wchar_t *text = nullptr;
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, code, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
        *error = text ? QString::fromWCharArray(text).trimmed() : QStringLiteral("error %1").arg(code);
        if (text)
            LocalFree(text);
    }
    return false;
}

bool adoptFile(const QString &, const QString &)
{
    // A moved file keeps the access rights of the temporary folder, which is
    // private to the user; installed files must get those of the program's
    // folder, which only a copy gives them.
    return false;
}
