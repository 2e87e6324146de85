#include "filestat.h"

#include <QFile>

#include <cstring>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

bool localFileSize(const QString &path, qint64 *size)
{
    struct stat info;
    // stat(2) follows links, as QFileInfo does.
    if (::stat(QFile::encodeName(path).constData(), &info) != 0) {
        *size = 0;
        return false;
    }
    *size = qint64(info.st_size);
    return true;
}

FolderFileSizes::FolderFileSizes(const QString &folder) : m_folder(folder)
{
    // A handle that names the folder without opening it for reading; the
    // lookups below start from it.
    m_handle = ::open(QFile::encodeName(folder).constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
}

FolderFileSizes::~FolderFileSizes()
{
    if (m_handle >= 0)
        ::close(int(m_handle));
}

bool FolderFileSizes::fileSize(const QString &name, qint64 *size) const
{
    // A folder that was not there may be made later: asked by path then.
    if (m_handle < 0)
        return localFileSize(m_folder + QLatin1Char('/') + name, size);
    struct stat info;
    if (::fstatat(int(m_handle), QFile::encodeName(name).constData(), &info, 0) != 0) {
        *size = 0;
        return false;
    }
    *size = qint64(info.st_size);
    return true;
}

namespace {

struct NamePattern
{
    QByteArray prefix;
    QByteArray suffix;

    bool matches(const char *name) const
    {
        const size_t length = std::strlen(name);
        return length > size_t(prefix.size() + suffix.size())
               && std::memcmp(name, prefix.constData(), size_t(prefix.size())) == 0
               && std::memcmp(name + length - size_t(suffix.size()), suffix.constData(), size_t(suffix.size())) == 0;
    }
};

// Walks the folder open as handle (which it closes); entries are looked at
// by the type the listing gives, asked of the system only when it gives none.
void walkFolder(int handle, const QByteArray &path, const NamePattern &pattern, QStringList *found)
{
    DIR *dir = ::fdopendir(handle);
    if (!dir) {
        ::close(handle);
        return;
    }
    std::vector<QByteArray> subfolders;
    while (const dirent *entry = ::readdir(dir)) {
        const char *name = entry->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
            continue;
        unsigned char type = entry->d_type;
        if (type == DT_UNKNOWN) {
            struct stat info;
            if (::fstatat(::dirfd(dir), name, &info, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            type = S_ISDIR(info.st_mode) ? DT_DIR : S_ISLNK(info.st_mode) ? DT_LNK : DT_REG;
        }
        if (type == DT_DIR)
            subfolders.emplace_back(name);
        else if (type != DT_LNK && pattern.matches(name))
            found->append(QFile::decodeName(path + '/' + name));
    }
    for (const QByteArray &name : subfolders) {
        // O_NOFOLLOW: a folder swapped for a link since the listing is not entered.
        const int child = ::openat(::dirfd(dir), name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (child >= 0)
            walkFolder(child, path + '/' + name, pattern, found);
    }
    ::closedir(dir);
}

} // namespace

QStringList findFilesNamed(const QString &folder, const QString &prefix, const QString &suffix)
{
    QStringList found;
    const QByteArray path = QFile::encodeName(folder);
    const int handle = ::open(path.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (handle >= 0)
        walkFolder(handle, path, NamePattern{QFile::encodeName(prefix), QFile::encodeName(suffix)}, &found);
    return found;
}
