#include "installationlock.h"

#include <QDebug>
#include <QDir>
#include <QLockFile>

namespace {

const char kLockFileName[] = "installation.lock";

QString describeHolder(const QLockFile &file)
{
    qint64 pid = 0;
    QString host;
    QString program;
    if (!file.getLockInfo(&pid, &host, &program))
        return QStringLiteral("an unknown process");
    return QStringLiteral("%1 (pid %2)").arg(program).arg(pid);
}

} // namespace

InstallationLock::InstallationLock(const QString &installRoot)
    : m_path(filePath(installRoot)), m_file(new QLockFile(m_path))
{
    // An installation can stay busy for a long install; only a dead owner
    // makes the lock stale, never its age.
    m_file->setStaleLockTime(0);
}

InstallationLock::~InstallationLock() = default;

QString InstallationLock::filePath(const QString &installRoot)
{
    return QDir(installRoot).filePath(QLatin1String(kLockFileName));
}

bool InstallationLock::acquire(int waitMs, QString *error)
{
    if (m_file->isLocked())
        return true;
    if (m_file->tryLock(qMax(0, waitMs)))
        return true;
    QString reason;
    if (m_file->error() == QLockFile::LockFailedError)
        reason = QStringLiteral("installation is locked by %1 after waiting %2 ms: %3")
                     .arg(describeHolder(*m_file))
                     .arg(waitMs)
                     .arg(m_path);
    else
        reason = QStringLiteral("can't write the installation lock %1").arg(m_path);
    qWarning().noquote() << reason;
    if (error)
        *error = reason;
    return false;
}

bool InstallationLock::acquireOrWait(const std::function<int(const QString &)> &waitFor, QString *error)
{
    if (m_file->isLocked() || m_file->tryLock(0))
        return true;
    if (heldByOther()) {
        QString program;
        holder(nullptr, &program);
        if (acquire(waitFor(program), error))
            return true;
        if (heldByOther())
            return false;
    }
    qWarning().noquote() << QStringLiteral("the installation lock %1 cannot be written; going on without it").arg(m_path);
    return true;
}

void InstallationLock::release()
{
    m_file->unlock();
}

bool InstallationLock::isHeld() const
{
    return m_file->isLocked();
}

bool InstallationLock::heldByOther() const
{
    return !m_file->isLocked() && m_file->error() == QLockFile::LockFailedError;
}

bool InstallationLock::holder(qint64 *pid, QString *program) const
{
    if (m_file->isLocked())
        return false;
    QString host;
    qint64 id = 0;
    QString name;
    if (!m_file->getLockInfo(&id, &host, &name))
        return false;
    if (pid)
        *pid = id;
    if (program)
        *program = name;
    return true;
}
