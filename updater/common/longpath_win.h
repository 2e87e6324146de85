#ifndef LONGPATH_WIN_H
#define LONGPATH_WIN_H

#include <QDir>
#include <QString>

// The form of path the wide Windows calls take beyond 260 characters:
// "\\?\C:\..." for a drive, "\\?\UNC\server\share\..." for a share. That form
// is passed on unparsed, so "." and ".." are resolved here first; a relative
// path stays as it is (the system resolves it against the current folder).
inline QString longPathW(const QString &path)
{
    const QString prefix = QStringLiteral("\\\\?\\");
    if (path.startsWith(prefix))
        return path;
    const QString native = QDir::toNativeSeparators(QDir::cleanPath(path));
    if (native.startsWith(QLatin1String("\\\\")))
        return prefix + QStringLiteral("UNC\\") + native.mid(2);
    if (native.size() >= 3 && native.at(1) == QLatin1Char(':') && native.at(2) == QLatin1Char('\\'))
        return prefix + native;
    return native;
}

#endif // LONGPATH_WIN_H
