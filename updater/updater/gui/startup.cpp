#include "startup.h"

#include "updatersetup.h"

#include "edition.h"
#include "headlessrun.h"
#include "installdialog.h"
#include "installationlock.h"
#include "launcher.h"
#include "loghandler.h"
#include "platform.h"
#include "mainwindow.h"
#include "processinfo.h"
#include "runningexecutables.h"
#include "settings.h"
#include "transfer.h"

#include <QApplication>
#include <cstdio>
#include <memory>
#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QDate>
#include <QDebug>
#include <QDir>
#include <QEvent>
#include <QMessageBox>
#include <QProcess>
#include <QNetworkProxy>
#include <QPixmap>
#include <QLibraryInfo>
#include <QSplashScreen>
#include <QTranslator>

bool installQtTranslation()
{
    static QTranslator translator;
    for (const QString &folder :
         {Settings::applicationDir(), QLibraryInfo::location(QLibraryInfo::TranslationsPath)}) {
        if (translator.load(QStringLiteral("qtbase_ru"), folder)) {
            QCoreApplication::installTranslator(&translator);
            return true;
        }
    }
    qWarning().noquote() << QStringLiteral("Qt's Russian translation qtbase_ru.qm was not found");
    return false;
}

namespace {

// How long a start waits for another holder of the installation. A hand-over
// takes seconds; a run mode start waits as long as a shortcut's user would
// for the other run before the program is launched without its update.
constexpr int kHandOverWaitMs = 30000;
constexpr int kOtherRunWaitMs = 60000;
constexpr int kWindowedWaitMs = 2000;
// Let-go install threads of cancelled dialogs may still write in
// updater_temp; the copier must not start before they have ended.
constexpr int kDetachedWaitBeforeCopierMs = 30000;
// The runs of a start show their window once they have lasted this long or
// have files to change: a start that finds everything current, the common
// case of a shortcut, flashes no windows over the splash.
constexpr int kStartRunRevealMs = 500;

// Takes the installation for this process. A start during a hand-over waits
// for the copier; a run mode start also waits for another updater's run.
bool acquireInstallation(InstallationLock &lock, bool runMode)
{
    return lock.acquireOrWait([runMode](const QString &holder) {
        const int waitMs = runMode                                        ? kOtherRunWaitMs
                           : holder.startsWith(QLatin1String("filerelay")) ? kHandOverWaitMs
                                                                           : kWindowedWaitMs;
        qInfo().noquote() << QStringLiteral("installation is busy, waiting up to %1 ms").arg(waitMs);
        return waitMs;
    });
}

// Closes the splash as soon as one of the watched windows is shown, so the
// user sees that window rather than the splash on top of it. Nothing waits
// for a window to appear (QSplashScreen::finish would wait a second for one
// that already closed or is never shown, as in run mode).
class SplashCloser : public QObject
{
public:
    explicit SplashCloser(QSplashScreen &splash) : m_splash(splash) {}
    void watch(QWidget *window) { window->installEventFilter(this); }
    void close() { m_splash.close(); }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Show && m_splash.isVisible())
            m_splash.close();
        return QObject::eventFilter(watched, event);
    }

private:
    QSplashScreen &m_splash;
};

// Brings one installed program up to date before it is launched.
void updateRunProgramm(const QString &runName, SplashCloser &splash)
{
    Settings *settings = Settings::instance();
    const QString exe = settings->executeFilename(runName);
    const QString path = settings->executablePath(runName);
    // A program missing from the registry has no executable to look for:
    // asking the process list about an empty name and path would report any
    // process whose modules cannot be read as "running" and blame running
    // copies for an update that simply has nothing to do.
    if (path.isEmpty()) {
        qWarning().noquote() << QStringLiteral("programm ") + runName + QStringLiteral(" is not installed");
        return;
    }
    if (isProgrammRunning(exe, path)) {
        QMessageBox box;
        box.setText(QCoreApplication::translate("main", "Обновление программы не произведено из-за запущенных копий!"));
        splash.watch(&box);
        box.exec();
        return;
    }
    InstallDialog dialog;
    splash.watch(&dialog);
    dialog.setProgrammsToUpdate(settings->installedModules(runName));
    dialog.setChangeConfig(false);
    dialog.setCloseWhenFinished(true);
    dialog.setInstallPath(Settings::installRoot());
    dialog.setMakeBackup(settings->makeBackup());
    dialog.setRevealDelay(kStartRunRevealMs);
    dialog.startInstall(false);
}

} // namespace

namespace {

// In run mode without the installation: the program is launched as it is.
int launchWithoutUpdate(const QString &runName, const QStringList &runArguments)
{
    qWarning().noquote() << QStringLiteral("another updater keeps the installation busy; programm ") + runName
                                + QStringLiteral(" is launched without being updated");
    if (startProgramm(runName, runArguments))
        return 0;
    QMessageBox box;
    box.setText(QCoreApplication::translate("main", "Программа обновления уже запущена. Дождитесь её завершения."));
    box.exec();
    return 1;
}

// The copier of an earlier exit that still waits for the updaters running
// from the updater's folder (this one among them) to end.
bool copierRunning(const QString &program)
{
    const bool ignoreCase = pathCaseSensitivity() == Qt::CaseInsensitive;
    const QList<RunningExecutable> copiers =
        runningExecutables({ignoreCase ? kCopierFileName.toLower() : kCopierFileName});
    for (const RunningExecutable &copier : copiers) {
        if (copier.path.compare(program, pathCaseSensitivity()) == 0)
            return true;
    }
    return false;
}

} // namespace

bool handOverAtExit(InstallationLock &lock)
{
    const bool threadsEnded = InstallDialog::waitForDetachedThreads(kDetachedWaitBeforeCopierMs);
    lock.release();
    // Read once the let-go threads have ended: one that was in the updater's
    // own step has taken back the "complete" of an earlier run.
    if (!Settings::instance()->selfUpdatePending())
        return false;
    if (!threadsEnded) {
        qWarning().noquote() << QStringLiteral("install threads still run after %1 ms; the copier is not started")
                                    .arg(kDetachedWaitBeforeCopierMs);
        return false;
    }
    const QString copier = Settings::installRoot() + QLatin1Char('/') + kUpdaterTempFolder + QLatin1Char('/')
                           + kCopierFileName;
    if (copierRunning(copier)) {
        qInfo().noquote() << QStringLiteral("the copier %1 of an earlier exit still runs; it hands this copy over")
                                 .arg(copier);
        return false;
    }
    return startCopier();
}

int startupRuns(const QCommandLineParser &parser, QSplashScreen &splash, QApplication &app)
{
    Settings *settings = Settings::instance();
    const QString runName = parser.isSet(QStringLiteral("run")) ? parser.value(QStringLiteral("run")) : QString();
    const QStringList runArguments = parser.isSet(QStringLiteral("arg"))
                                         ? splitArguments(parser.value(QStringLiteral("arg")), QLatin1Char(' '),
                                                          QLatin1Char('"'))
                                         : QStringList();

    // One process changes an installation at a time: two updaters would run
    // installs on the same registry and updater_temp, and one started during
    // a hand-over would read a half-replaced folder.
    InstallationLock lock(Settings::installRoot());
    if (!acquireInstallation(lock, !runName.isEmpty())) {
        splash.close();
        if (!runName.isEmpty()) {
            settings->fillProjects();
            settings->loadInstalledProgramms();
            return launchWithoutUpdate(runName, runArguments);
        }
        QMessageBox box;
        box.setText(QCoreApplication::translate("main", "Программа обновления уже запущена. Дождитесь её завершения."));
        box.exec();
        return 1;
    }

    settings->fillProjects();
    settings->fillMirrors();
    settings->loadInstalledProgramms();
    // Logged at critical level already; the window also tells the user,
    // without blocking the start, where the damaged copy was kept.
    // Refused project documents are told the same way: their programs are
    // missing from the window, and the user should know why.
    QStringList notices = settings->projectDocumentErrors();
    notices.prepend(settings->takeRegistryNotice());
    notices.removeAll(QString());
    const QString registryNotice = notices.join(QLatin1Char('\n'));

    SplashCloser splashCloser(splash);
    if (!runName.isEmpty())
        updateRunProgramm(runName, splashCloser);

    // The updater itself is brought up to date at every start; the new copy
    // is assembled in updater_temp and handed to the copier at exit. Only
    // this step decides that (it also notices a copy that a killed updater
    // or a failed copier never handed over); a failed step hands nothing.
    InstallDialog selfUpdate;
    splashCloser.watch(&selfUpdate);
    selfUpdate.setChangeConfig(true);
    selfUpdate.setCloseWhenFinished(true);
    selfUpdate.setInstallPath(Settings::installRoot());
    selfUpdate.setMakeBackup(settings->makeBackup());
    QMap<QString, QStringList> self;
    self.insert(updaterProgrammName(), QStringList());
    selfUpdate.setProgrammsToUpdate(self);
    selfUpdate.setRevealDelay(kStartRunRevealMs);
    selfUpdate.startInstall(false);

    MainWindow window;
    splashCloser.watch(&window);

    if (runName.isEmpty()) {
        if (!registryNotice.isEmpty()) {
            auto *box = new QMessageBox(QMessageBox::Warning, QCoreApplication::applicationName(), registryNotice);
            box->setAttribute(Qt::WA_DeleteOnClose);
            box->open();
        }
        window.applyConfigLevel(QString());
    } else {
        window.applyConfigLevel(runName);
        qWarning().noquote() << QStringLiteral("replace schema files ") + runName;
    }

    int exitCode = 0;
    if (runName.isEmpty() || !startProgramm(runName, runArguments)) {
        window.refreshAndShow();
        QObject::connect(&app, &QGuiApplication::lastWindowClosed, &app, &QCoreApplication::quit);
        exitCode = QApplication::exec();
    }

    // The run is over whether or not a window was shown.
    splashCloser.close();
    handOverAtExit(lock);
    return exitCode;
}

namespace {

// A usage error of an administrators' run ends with its own exit code
// instead of the parser's; help and version behave as usual.
bool parseHeadless(QCommandLineParser &parser)
{
    if (!parser.parse(QCoreApplication::arguments())) {
        qWarning().noquote() << parser.errorText();
        fprintf(stderr, "%s\n", qPrintable(parser.errorText()));
        return false;
    }
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();
    return true;
}

int headlessRuns(const QCommandLineParser &parser)
{
    InstallationLock lock(Settings::installRoot());
    HeadlessRun run(parser, lock);
    const int exitCode = run.exec();
    handOverAtExit(lock);
    return exitCode;
}

} // namespace

int qMain(int argc, char *argv[])
{
    // Before anything else: the folder must be known while the executable
    // still is the one that started.
    Settings::applicationFile();
    // The administrators' runs get no application with a display at all:
    // nothing can then wait for a window no one sees, and a workstation
    // without a desktop session runs them as well.
    const bool headless = HeadlessRun::requested(argc, argv);
    std::unique_ptr<QCoreApplication> app(headless ? new QCoreApplication(argc, argv)
                                                   : new QApplication(argc, argv));
    if (!headless) {
        initUpdaterResources();
        installQtTranslation();
    }
    else
        platform::attachParentConsole();
    QCoreApplication::addLibraryPath(Settings::applicationDir());
    installLogHandler(updaterLogFilePath);

    QCommandLineParser parser;
    setupUpdaterOptions(parser);
    // Windows builds take the version from the executable's version
    // resource; elsewhere there is none, so the same number is set here.
    if (QCoreApplication::applicationVersion().isEmpty())
        QCoreApplication::setApplicationVersion(QLatin1String(kUpdaterVersion));
    if (!headless)
        parser.process(*app);
    else if (!parseHeadless(parser))
        return HeadlessRun::BadUsage;

    applyUpdaterOptions(parser);
    qInfo().noquote() << QStringLiteral("updater is started, version ") + QLatin1String(kUpdaterVersion);
    applyGlobalProxy();
    if (headless)
        return headlessRuns(parser);

    const QPixmap splashImage(splashImagePath());
    QSplashScreen splash(splashImage);
    splash.show();
    QCoreApplication::processEvents();

    return startupRuns(parser, splash, *static_cast<QApplication *>(app.get()));
}
