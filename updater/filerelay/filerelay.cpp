#include "filerelay.h"

#include "filesettings.h"
#include "installationlock.h"
#include "localfile.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>

namespace {

constexpr int kRetryPasses = 20;
constexpr unsigned long kRetryPauseMs = 1000;
// The updater lets go of the installation as it starts the copier; a wait
// this long covers its exit and a short run started meanwhile.
constexpr int kLockWaitMs = 60000;
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

// The copy while holding the installation: no updater runs installs in it,
// and none starts reading the updater's folder while it is half replaced.
bool relayLocked(const QDir &source, const QDir &target)
{
    QDir root(target);
    root.cdUp();
    InstallationLock lock(root.absolutePath());
    if (!lock.acquire(kLockWaitMs)) {
        qWarning().noquote() << QStringLiteral("nothing copied; the next start of the updater hands its copy over again");
        return false;
    }
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
