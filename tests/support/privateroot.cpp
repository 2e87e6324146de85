#include "privateroot.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstdio>
#include <unistd.h>

static const char *const kRootVariable = "KESTRA_PRIVATE_INSTALL_ROOT";

int enterPrivateInstallRoot(char **argv, const char *folderName, const char *exeName)
{
    if (!qEnvironmentVariableIsEmpty(kRootVariable))
        return 0;

    QTemporaryDir root(QDir::tempPath() + QStringLiteral("/kestra-root-XXXXXX"));
    const QString self = QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget();
    const QString folder = root.path() + QLatin1Char('/') + QString::fromUtf8(folderName);
    const QString copy = folder + QLatin1Char('/') + QString::fromUtf8(exeName);
    if (!root.isValid() || self.isEmpty() || !QDir().mkpath(folder) || !QFile::copy(self, copy)
        || !QFile::setPermissions(copy, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner)) {
        std::fprintf(stderr, "can't copy %s into a temporary install root %s\n", qPrintable(self), qPrintable(folder));
        return 2;
    }
    qputenv(kRootVariable, QFile::encodeName(root.path()));
    const QByteArray program = QFile::encodeName(copy);
    argv[0] = const_cast<char *>(program.constData());
    // A successful execv runs no destructor, so root stays for the copy; it is removed only when execv fails.
    ::execv(program.constData(), argv);
    std::perror("execv");
    return 2;
}

QString privateInstallRoot()
{
    return qEnvironmentVariable(kRootVariable);
}

void removePrivateInstallRoot()
{
    const QString root = privateInstallRoot();
    if (!root.isEmpty() && root.startsWith(QDir::tempPath()))
        QDir(root).removeRecursively();
}
