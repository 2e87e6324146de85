#ifndef FUZZSUPPORT_H
#define FUZZSUPPORT_H

// Shared by the fuzz targets: a quiet application object and a scratch
// folder (in memory where the system has one) for the input files.

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

inline QTemporaryDir *fuzzScratch()
{
    static QTemporaryDir *dir = new QTemporaryDir(
        QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm/kestrafuzz-XXXXXX") : QString());
    return dir;
}

inline void initFuzzEnvironment(int *argc, char ***argv)
{
    // Rejections are logged at warning level on every other input; the
    // fuzzer's own output is what matters.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    static QCoreApplication *app = new QCoreApplication(*argc, *argv);
    Q_UNUSED(app);
    QCoreApplication::setApplicationName(QStringLiteral("kestraupd"));
    if (!fuzzScratch()->isValid())
        qFatal("no scratch folder");
}

inline QString scratchPath(const QString &name)
{
    return fuzzScratch()->filePath(name);
}

inline bool writeScratch(const QString &path, const QByteArray &data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size();
}

#endif // FUZZSUPPORT_H
