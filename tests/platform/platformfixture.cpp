#include "platformfixture.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>

QString recorderProgram()
{
    return QStringLiteral(KESTRA_BIN_DIR "/argrecorder");
}

bool installRecorder(const QString &path)
{
    QFile::remove(path);
    return QDir().mkpath(QFileInfo(path).absolutePath()) && QFile::copy(recorderProgram(), path)
           && QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

bool readRecord(const QString &folder, QString *workingFolder, QStringList *arguments, int timeoutMs)
{
    QFile file(folder + QStringLiteral("/arguments.rec"));
    QElapsedTimer timer;
    timer.start();
    while (!file.exists() && timer.elapsed() < timeoutMs)
        QThread::msleep(20);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QList<QByteArray> parts = file.readAll().split('\0');
    if (parts.size() < 2 || !parts.takeLast().isEmpty())
        return false;
    *workingFolder = QFile::decodeName(parts.takeFirst());
    arguments->clear();
    for (const QByteArray &part : parts)
        arguments->append(QString::fromUtf8(part));
    return true;
}
