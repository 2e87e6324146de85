#include "localfile.h"

#include <QCoreApplication>
#include <QFile>

bool copyLocalFile(const QString &source, const QString &destination, QString *error)
{
    QFile file(source);
    if (file.copy(destination))
        return true;
    if (error)
        *error = QStringLiteral("error copy file from %1 to %2 error %3").arg(source, destination, file.errorString());
    return false;
}

bool removeExistingFile(const QString &destination, QString *error)
{
    QFile file(destination);
    if (!file.exists())
        return true;
    // A read-only file cannot be deleted on Windows; clear the attribute first.
    file.setPermissions(file.permissions() | QFileDevice::WriteOwner | QFileDevice::WriteUser);
    if (file.remove())
        return true;
    if (error)
        *error = QCoreApplication::translate("global", "Ошибка при удалении файла %1, %2")
                     .arg(destination, file.errorString());
    return false;
}

bool replaceLocalFile(const QString &source, const QString &destination, QString *error)
{
    return removeExistingFile(destination, error) && copyLocalFile(source, destination, error);
}
