#ifndef INSTALLATIONLOCK_H
#define INSTALLATIONLOCK_H

#include <QString>

#include <functional>
#include <memory>

class QLockFile;

// One process at a time changes an installation: the updater while it runs,
// the copier while it replaces the updater's folder, a command-line run while
// it installs. The lock is a file in the install root holding the owner's
// process id and program name. The system releases it with the process, and
// a lock left by a crashed owner (its process is gone) is taken over, so a
// power cut never blocks an installation for good. The destructor releases a
// held lock, so every way out of the owner's scope lets it go.
class InstallationLock
{
public:
    // The lock of the installation whose root folder is installRoot.
    explicit InstallationLock(const QString &installRoot);
    ~InstallationLock();
    InstallationLock(const InstallationLock &) = delete;
    InstallationLock &operator=(const InstallationLock &) = delete;

    // Takes the lock, waiting at most waitMs milliseconds (0: one try) for
    // its owner to let go. False, with the reason in error, when the wait
    // ran out or the lock file cannot be written; both are logged.
    bool acquire(int waitMs, QString *error = nullptr);
    // Takes the lock for a run of the updater. When another process holds
    // it, waitFor is called once with the holder's program name ("filerelay",
    // "kestraupd", ...; empty when unknown) and returns how long to wait for
    // it, logging or telling the user as it sees fit. True when the lock is
    // taken, and also when the lock file cannot be written at all (a
    // read-only install root, logged): nothing there can be changed anyway,
    // and the programs in it must still start. False when the holder kept it.
    bool acquireOrWait(const std::function<int(const QString &holder)> &waitFor, QString *error = nullptr);
    void release();
    bool isHeld() const;
    // After a failed acquire(): true when another process holds the lock,
    // false when the lock file could not be written at all.
    bool heldByOther() const;

    // The owner named in the lock file, when this object does not hold it:
    // its process id and program name ("kestraupd", "filerelay", ...). It
    // may be a crashed owner whose lock acquire() would take over. False
    // when there is no lock file or this object holds the lock.
    bool holder(qint64 *pid, QString *program) const;

    // The lock file of an install root.
    static QString filePath(const QString &installRoot);

private:
    QString m_path;
    std::unique_ptr<QLockFile> m_file;
};

#endif // INSTALLATIONLOCK_H
