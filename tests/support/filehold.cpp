#include "filehold.h"

#include "testfiles.h"
#include "testprocess.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <unistd.h>

bool FileHold::isAvailable(const QString &folder, QString *why, bool besideWritable)
{
    QTemporaryDir probeDir(folder + QStringLiteral("/hold-probe-XXXXXX"));
    const QString probe = probeDir.filePath(QStringLiteral("probe"));
    if (!writeFile(probe, QByteArray())) {
        if (why)
            *why = QStringLiteral("can't write in ") + folder;
        return false;
    }
    FileHold hold;
    if (!hold.hold(probe, Entry, why))
        return false;
    const bool blocked = !QFile::remove(probe); // hold lets go of it before probeDir is removed
    if (!blocked && why)
        *why = QStringLiteral("the hold did not block deletion");
    if (blocked && besideWritable && !writeFile(probeDir.filePath(QStringLiteral("beside")), QByteArray())) {
        if (why)
            *why = QStringLiteral("a hold here makes the whole folder read-only (only root can make a file immutable)");
        return false;
    }
    return blocked;
}

bool FileHold::hold(const QString &path, Kind kind, QString *error)
{
    release();
    const QFileInfo info(path);
    m_immutable = ::geteuid() == 0;
    m_target = m_immutable || kind == Contents ? info.absoluteFilePath() : info.absolutePath();
    m_held = m_immutable ? runTool(QStringLiteral("chattr"), {QStringLiteral("+i"), m_target}, error)
                         : QFile::setPermissions(m_target, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    if (!m_held && !m_immutable && error)
        *error = QStringLiteral("can't make %1 read-only").arg(m_target);
    return m_held;
}

bool FileHold::release()
{
    if (!m_held)
        return true;
    m_held = false;
    return m_immutable ? runTool(QStringLiteral("chattr"), {QStringLiteral("-i"), m_target}, nullptr)
                       : QFile::setPermissions(m_target, QFile::permissions(m_target) | QFileDevice::WriteOwner);
}
