#include "fuzzsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

namespace {

void silence(QtMsgType, const QMessageLogContext &, const QString &)
{
    // Rejections are logged at warning level on every other input; the
    // fuzzer's own output is what matters.
}

QTemporaryDir *scratch()
{
    static QTemporaryDir *dir = new QTemporaryDir(
        QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm/kestrafuzz-XXXXXX") : QString());
    return dir;
}

} // namespace

void initFuzzEnvironment(int *argc, char ***argv)
{
    qInstallMessageHandler(silence);
    static QCoreApplication *app = new QCoreApplication(*argc, *argv);
    Q_UNUSED(app);
    QCoreApplication::setApplicationName(QStringLiteral("kestraupd"));
    if (!scratch()->isValid())
        qFatal("no scratch folder");
}

QString scratchPath(const QString &name)
{
    return scratch()->filePath(name);
}

bool writeScratch(const QString &path, const QByteArray &data)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return file.write(data) == data.size();
}
