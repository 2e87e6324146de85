#pragma once

// Shared by the fuzz targets (each includes it once): a quiet application object, a scratch folder (in memory where the
// system has one) for the input files, and the way a target reports a broken rule.

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

inline QTemporaryDir *fuzzScratch()
{
    static QTemporaryDir *dir = new QTemporaryDir(
        QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm/kestrafuzz-XXXXXX") : QString());
    return dir;
}

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    // Rejections are logged at warning level on every other input; the fuzzer's own output is what matters.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    new QCoreApplication(*argc, *argv); // for the whole run, reachable through QCoreApplication::instance()
    QCoreApplication::setApplicationName(QStringLiteral("kestraupd"));
    if (!fuzzScratch()->isValid())
        qFatal("no scratch folder");
    return 0;
}

// The input written as a file of the scratch folder; its path.
inline QString writeScratch(const QString &name, const uint8_t *data, size_t size)
{
    const QString path = fuzzScratch()->filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || file.write(reinterpret_cast<const char *>(data), static_cast<qint64>(size)) != static_cast<qint64>(size))
        abort();
    return path;
}

[[noreturn]] inline void fuzzFail(const char *what, const QString &detail)
{
    fprintf(stderr, "%s: %s\n", what, qPrintable(detail));
    abort();
}
