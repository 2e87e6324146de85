#include "filehold.h"

#include "testfiles.h"
#include "testprocess.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <unistd.h>

bool FileHold::isAvailable(const QString &folder, QString *why)
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
    const bool blocked = !QFile::remove(probe);
    hold.release();
    if (!blocked && why)
        *why = QStringLiteral("the hold did not block deletion");
    return blocked;
}

bool FileHold::hold(const QString &path, Kind kind, QString *error)
{
    release();
    const QFileInfo info(path);
    m_immutable = ::geteuid() == 0;
    if (m_immutable) {
        m_target = info.absoluteFilePath();
        if (!runTool(QStringLiteral("chattr"), {QStringLiteral("+i"), m_target}, error))
            return false;
    } else {
        m_target = kind == Entry ? info.absolutePath() : info.absoluteFilePath();
        if (!QFile::setPermissions(m_target, QFileDevice::ReadOwner | QFileDevice::ExeOwner)) {
            if (error)
                *error = QStringLiteral("can't make %1 read-only").arg(m_target);
            return false;
        }
    }
    m_held = true;
    return true;
}

bool FileHold::release()
{
    if (!m_held)
        return true;
    m_held = false;
    if (m_immutable)
        return runTool(QStringLiteral("chattr"), {QStringLiteral("-i"), m_target}, nullptr);
    return QFile::setPermissions(m_target, QFile::permissions(m_target) | QFileDevice::WriteOwner);
}
