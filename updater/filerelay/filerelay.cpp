#include "filerelay.h"

#include "fileops.h"
#include "filesettings.h"
#include "installationlock.h"
#include "runningexecutables.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QThread>

namespace {

constexpr int kRetryPasses = 20;
constexpr unsigned long kRetryPauseMs = 1000;
// The updater lets go of the installation as it starts the copier; a wait
// this long covers its exit and a short run started meanwhile.
constexpr int kLockWaitMs = 60000;
// An updater still running from its folder holds its files (on Windows they
// cannot be replaced at all) and would go on with a folder half old, half
// new. The updater that started the copier exits within moments; one started
// by a shortcut meanwhile may run a while, and hands over again at its exit.
constexpr int kRunningWaitMs = 30000;
constexpr unsigned long kRunningPollMs = 250;
constexpr int kMaxLockRounds = 10;
// The updater's record of its files. It must only stand in the updater's
// folder once every file it lists is there: the updater compares it with
// its new copy's record to see whether a hand-over is still due.
const char kRecordName[] = "update_fileinfo.xml";

// True (and logged) when target is the source folder or lies inside it.
bool copiesIntoItself(const QString &source, const QString &target)
{
    if (target != source && !target.startsWith(source + QLatin1Char('/')))
        return false;
    qWarning().noquote() << QStringLiteral("can't copy folder into itself: from dir: ") + source
                                + QStringLiteral(" to dir: ") + target;
    return true;
}

// The names of the files in folder's tree: a process can only run from the
// folder when its executable carries one of them.
QSet<QString> fileNamesIn(const QDir &folder)
{
    const bool ignoreCase = pathCaseSensitivity() == Qt::CaseInsensitive;
    QSet<QString> names;
    QDirIterator it(folder.absolutePath(), QDir::Files | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        names.insert(ignoreCase ? it.fileName().toLower() : it.fileName());
    }
    return names;
}

// The programs other than this one that run from folder or below it, as
// "path (pid N)".
QStringList programsRunningFrom(const QDir &folder)
{
    const QString prefix = folder.canonicalPath() + QLatin1Char('/');
    QStringList running;
    const QList<RunningExecutable> candidates = runningExecutables(fileNamesIn(folder));
    for (const RunningExecutable &process : candidates) {
        if (process.path.startsWith(prefix, pathCaseSensitivity()))
            running.append(QStringLiteral("%1 (pid %2)").arg(process.path).arg(process.processId));
    }
    return running;
}

// Waits until no program runs from target, at most until deadline. After it
// nothing is copied: updater_temp stays whole for the next hand-over.
bool noneRunsFrom(const QDir &target, const QDeadlineTimer &deadline)
{
    QStringList running = programsRunningFrom(target);
    if (running.isEmpty())
        return true;
    qInfo().noquote() << QStringLiteral("waiting up to %1 ms for programs running from %2: %3")
                             .arg(deadline.remainingTime())
                             .arg(target.absolutePath(), running.join(QStringLiteral(", ")));
    while (!running.isEmpty() && !deadline.hasExpired()) {
        QThread::msleep(kRunningPollMs);
        running = programsRunningFrom(target);
    }
    if (running.isEmpty())
        return true;
    qWarning().noquote() << QStringLiteral("still running from %1 after %2 ms: %3; nothing copied, the updater's "
                                           "copy stays in place for its next start")
                                .arg(target.absolutePath())
                                .arg(kRunningWaitMs)
                                .arg(running.join(QStringLiteral(", ")));
    return false;
}

// The copy itself, with the installation held.
bool relayHeld(const QDir &source, const QDir &target)
{
    // Without the record during the copy, a copy cut short (a kill, a power
    // cut, a locked file) is seen as not handed over and repeated.
    const QString record = target.filePath(QLatin1String(kRecordName));
    if (QFileInfo::exists(record) && !QFile::remove(record)) {
        qWarning().noquote() << QStringLiteral("can't remove ") + record + QStringLiteral("; nothing copied");
        return false;
    }
    if (fileRelays(source, target))
        return true;
    QFile::remove(record);
    return false;
}

// The copy once no updater runs from the target and the installation is
// held: no updater runs installs in it, and none starts reading the
// updater's folder while it is half replaced.
bool relayLocked(const QDir &source, const QDir &target)
{
    QDir root(target);
    root.cdUp();
    const QDeadlineTimer deadline(kRunningWaitMs);
    for (int round = 0; round < kMaxLockRounds; ++round) {
        if (!noneRunsFrom(target, deadline))
            return false;
        InstallationLock lock(root.absolutePath());
        if (!lock.acquire(kLockWaitMs)) {
            qWarning().noquote()
                << QStringLiteral("nothing copied; the next start of the updater hands its copy over again");
            return false;
        }
        if (programsRunningFrom(target).isEmpty())
            return relayHeld(source, target);
        // An updater started meanwhile waits for this lock from the folder
        // about to be replaced: it gets the installation first.
        lock.release();
        QThread::msleep(kRunningPollMs);
    }
    qWarning().noquote() << QStringLiteral("updaters kept starting from %1; nothing copied").arg(target.absolutePath());
    return false;
}

} // namespace

bool fileRelays()
{
    const FileSettings &settings = FileSettings::instance();
    QDir base(QCoreApplication::applicationDirPath());
    base.cdUp();

    const QString fromPath = settings.fromPath();
    QDir source(base);
    if (!source.cd(fromPath)) {
        qWarning().noquote() << QStringLiteral("from dir: ") + fromPath + QStringLiteral(" not found in dir: ")
                                    + base.absolutePath();
        return false;
    }
    const QString toPath = settings.toPath();
    // Replacing a file deletes the target first: with the target equal to the
    // source that deletes the only copy, and a target inside the source would
    // be copied into itself without end. Checked before anything is created,
    // and again once links are resolved.
    const QString sourceCanonical = source.canonicalPath();
    const QString targetPath = QDir::cleanPath(base.absoluteFilePath(toPath));
    if (copiesIntoItself(sourceCanonical, targetPath) || copiesIntoItself(source.absolutePath(), targetPath))
        return false;
    if (!base.exists(toPath) && !base.mkpath(toPath)) {
        qWarning().noquote() << QStringLiteral("can't create dir: ") + toPath + QStringLiteral(" in dir: ")
                                    + base.absolutePath();
        return false;
    }
    QDir target(base);
    if (!target.cd(toPath)) {
        qWarning().noquote() << QStringLiteral("to dir: ") + toPath + QStringLiteral(" not found in dir: ")
                                    + base.absolutePath();
        return false;
    }

    if (copiesIntoItself(sourceCanonical, target.canonicalPath()))
        return false;
    return relayLocked(source, target);
}

bool fileRelays(const QDir &source, const QDir &target)
{
    bool ok = true;

    QStringList failed;
    const QStringList files = source.entryList(QDir::Files, QDir::NoSort);
    for (const QString &name : files) {
        // The updater's settings survive a self-update.
        if (name.contains(QLatin1String("config.ini")) && target.exists(name))
            continue;
        // A staging file of a killed run is no part of the new program.
        if (isStagingName(name))
            continue;
        if (!replaceLocalFile(source.filePath(name), target.filePath(name)))
            failed.append(name);
    }
    for (int pass = 0; pass < kRetryPasses && !failed.isEmpty(); ++pass) {
        QStringList stillFailed;
        for (const QString &name : qAsConst(failed)) {
            if (!replaceLocalFile(source.filePath(name), target.filePath(name)))
                stillFailed.append(name);
        }
        failed = stillFailed;
        if (!failed.isEmpty())
            QThread::msleep(kRetryPauseMs);
    }
    if (!failed.isEmpty()) {
        qWarning().noquote() << QStringLiteral("can't replace files: ") + failed.join(QStringLiteral(", "))
                                    + QStringLiteral(" in folder: ") + target.absolutePath();
        ok = false;
    }

    const QStringList folders = source.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::NoSort);
    for (const QString &name : folders) {
        if (!target.exists(name) && !target.mkdir(name)) {
            qWarning().noquote() << QStringLiteral("can't create dir: ") + name + QStringLiteral(" in dir: ")
                                        + target.absolutePath();
            return false;
        }
        QDir sourceSub(source);
        QDir targetSub(target);
        if (!sourceSub.cd(name) || !targetSub.cd(name)) {
            qWarning().noquote() << QStringLiteral("can't entry to dir: ") + name;
            ok = false;
            continue;
        }
        if (!fileRelays(sourceSub, targetSub))
            ok = false;
    }
    return ok;
}
