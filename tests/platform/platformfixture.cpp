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
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    QFile::remove(path);
    if (!QFile::copy(recorderProgram(), path))
        return false;
    return QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

bool readRecord(const QString &folder, QString *workingFolder, QStringList *arguments, int timeoutMs)
{
    QFile file(folder + QStringLiteral("/arguments.rec"));
    QElapsedTimer timer;
    timer.start();
    while (!file.exists()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QThread::msleep(20);
    }
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QList<QByteArray> parts = file.readAll().split('\0');
    if (parts.size() < 2 || !parts.last().isEmpty())
        return false;
    parts.removeLast();
    *workingFolder = QFile::decodeName(parts.takeFirst());
    arguments->clear();
    for (const QByteArray &part : parts)
        arguments->append(QString::fromUtf8(part));
    return true;
}
