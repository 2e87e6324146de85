#include "filestat.h"

#include "longpath_win.h"
#include <QFileInfo>

#include <windows.h>

bool localFileSize(const QString &path, qint64 *size)
{
    // The long form reaches paths of 260 characters and more; links are not
    // followed by the attribute call and are left to QFileInfo.
    const QString native = longPathW(path);
    {
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (GetFileAttributesExW(reinterpret_cast<const wchar_t *>(native.utf16()), GetFileExInfoStandard, &data)) {
            if (!(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
                *size = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                            ? 0
                            : qint64((quint64(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
                return true;
            }
        } else {
            const DWORD failure = GetLastError();
            if (failure == ERROR_FILE_NOT_FOUND || failure == ERROR_PATH_NOT_FOUND) {
                *size = 0;
                return false;
            }
        }
    }
    const QFileInfo info(path);
    *size = info.size();
    return info.exists();
}

// Windows has no lookup relative to a folder handle that is cheaper than the
// attribute call by path.
FolderFileSizes::FolderFileSizes(const QString &folder) : m_folder(folder) {}

FolderFileSizes::~FolderFileSizes() = default;

bool FolderFileSizes::fileSize(const QString &name, qint64 *size) const
{
    return localFileSize(m_folder + QLatin1Char('/') + name, size);
}
