#include "startup.h"

#include "edition.h"
#include "installdialog.h"
#include "launcher.h"
#include "loghandler.h"
#include "mainwindow.h"
#include "processinfo.h"
#include "settings.h"
#include "transfer.h"

#include <QApplication>
#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QDate>
#include <QDebug>
#include <QMessageBox>
#include <QProcess>
#include <QNetworkProxy>
#include <QPixmap>
#include <QSplashScreen>

const char *const kUpdaterVersion = "1.0.0.25";

void initUpdaterResources()
{
    // The images live in a static library; its resources must be registered
    // by hand or the splash and the icons would silently come out empty.
    Q_INIT_RESOURCE(resources);
}

QString updaterLogFilePath()
{
    return Settings::instance()->logsPath() + QLatin1Char('/') + QDate::currentDate().toString(Qt::ISODate)
           + QStringLiteral(".txt");
}

void setupUpdaterOptions(QCommandLineParser &parser)
{
    const QString dir = QCoreApplication::applicationDirPath();
    parser.setApplicationDescription(QCoreApplication::translate("main", "Medical sofware updater"));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOption(QCommandLineOption(QStringList{QStringLiteral("c"), QStringLiteral("config_path")},
                                       QCoreApplication::translate("main", "Config file path <config_path>."),
                                       QCoreApplication::translate("main", "config_path"),
                                       dir + QStringLiteral("/config.ini")));
    parser.addOption(QCommandLineOption(
        QStringList{QStringLiteral("i"), QStringLiteral("install_config_path")},
        QCoreApplication::translate("main", "Installed config file path <install_config_path>."),
        QCoreApplication::translate("main", "install_config_path"), dir + QStringLiteral("/installed.json")));
    parser.addOption(QCommandLineOption(QStringList{QStringLiteral("l"), QStringLiteral("logs_path")},
                                       QCoreApplication::translate("main", "Logs directory path. <logs_path>."),
                                       QCoreApplication::translate("main", "logs_path"),
                                       dir + QStringLiteral("/logs")));
    parser.addOption(QCommandLineOption(
        QStringList{QStringLiteral("r"), QStringLiteral("run")},
        QCoreApplication::translate("main", "Run programm and avtomatically close <programm_name>."),
        QCoreApplication::translate("main", "run")));
    parser.addOption(QCommandLineOption(
        QStringList{QStringLiteral("a"), QStringLiteral("arg")},
        QCoreApplication::translate("main", "Optional arguments to runned <programm_name>."),
        QCoreApplication::translate("main", "arg")));
}

void applyUpdaterOptions(const QCommandLineParser &parser)
{
    Settings *settings = Settings::instance();
    if (parser.isSet(QStringLiteral("config_path")))
        settings->setConfigPath(parser.value(QStringLiteral("config_path")));
    else
        settings->setConfigPath(QCoreApplication::applicationDirPath() + QStringLiteral("/config.ini"));

    // Held in memory only: config.ini is never rewritten by an override.
    if (parser.isSet(QStringLiteral("logs_path")))
        settings->setRuntimeValue(QStringLiteral("General"), QStringLiteral("logs_path"),
                                  parser.value(QStringLiteral("logs_path")));
    if (parser.isSet(QStringLiteral("install_config_path")))
        settings->setRuntimeValue(QStringLiteral("General"), QStringLiteral("install_config_path"),
                                  parser.value(QStringLiteral("install_config_path")));
}

void applyGlobalProxy()
{
    Settings *settings = Settings::instance();
    const QString group = QStringLiteral("global_proxy");
    if (!settings->value(group, QStringLiteral("is_need"), false).toBool())
        return;
    const QString host = settings->value(group, QStringLiteral("host")).toString();
    if (host.isEmpty())
        return;
    const auto port = static_cast<quint16>(settings->value(group, QStringLiteral("port"), 8080).toInt());
    const QString user = settings->value(group, QStringLiteral("user")).toString();
    const QString password = settings->value(group, QStringLiteral("password")).toString();
    QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::HttpProxy, host, port, user, password));
}

QString splashImagePath()
{
    const QString name = QCoreApplication::applicationName();
    if (name.contains(QLatin1String("orvelupd"), Qt::CaseInsensitive))
        return QStringLiteral(":/images/splash_orvel.png");
    if (name.contains(QLatin1String("kestra"), Qt::CaseInsensitive))
        return QStringLiteral(":/images/splash_kestra.png");
    return QStringLiteral(":/images/splash.png");
}

QString updaterProgrammName()
{
    return Settings::isDevelopmentInstallation() ? devEditionKey() : editionKey();
}

bool startCopier()
{
    const QString root = Settings::installRoot();
    const QString from = root + QLatin1Char('/') + kUpdaterTempFolder;
    const QString program = from + QLatin1Char('/') + kCopierFileName;
    const QStringList arguments{QStringLiteral("--from_path"), from, QStringLiteral("--to_path"),
                                root + QLatin1Char('/') + updaterProgrammName()};
    if (QProcess::startDetached(program, arguments))
        return true;
    qWarning().noquote() << QStringLiteral("can't start copyer from ") + program;
    return false;
}

namespace {

// Brings one installed program up to date before it is launched.
void updateRunProgramm(const QString &runName, QSplashScreen &splash)
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
        box.exec();
        return;
    }
    InstallDialog dialog;
    dialog.setProgrammsToUpdate(settings->installedModules(runName));
    dialog.setChangeConfig(false);
    dialog.setCloseWhenFinished(true);
    dialog.setInstallPath(Settings::installRoot());
    dialog.setMakeBackup(settings->makeBackup());
    dialog.startInstall(false);
    splash.finish(&dialog);
}

} // namespace

int startupRuns(const QCommandLineParser &parser, QSplashScreen &splash, QApplication &app)
{
    Settings *settings = Settings::instance();
    settings->fillProjects();
    settings->fillMirrors();
    settings->loadInstalledProgramms();
    // Logged at critical level already; the window also tells the user,
    // without blocking the start, where the damaged copy was kept.
    const QString registryNotice = settings->takeRegistryNotice();

    const QString runName = parser.isSet(QStringLiteral("run")) ? parser.value(QStringLiteral("run")) : QString();
    const QStringList runArguments = parser.isSet(QStringLiteral("arg"))
                                         ? splitArguments(parser.value(QStringLiteral("arg")), QLatin1Char(' '),
                                                          QLatin1Char('"'))
                                         : QStringList();

    if (!runName.isEmpty())
        updateRunProgramm(runName, splash);

    // The updater itself is brought up to date at every start; the new copy
    // is assembled in updater_temp and handed to the copier at exit.
    InstallDialog selfUpdate;
    selfUpdate.setChangeConfig(true);
    selfUpdate.setCloseWhenFinished(true);
    selfUpdate.setInstallPath(Settings::installRoot());
    selfUpdate.setMakeBackup(settings->makeBackup());
    QMap<QString, QStringList> self;
    self.insert(updaterProgrammName(), QStringList());
    selfUpdate.setProgrammsToUpdate(self);
    selfUpdate.startInstall(false);

    settings->setSelfUpdatePending(true);

    MainWindow window;
    splash.finish(&window);

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

    if (settings->selfUpdatePending())
        startCopier();
    return exitCode;
}

int qMain(int argc, char *argv[])
{
    QApplication app(argc, argv);
    initUpdaterResources();
    QCoreApplication::addLibraryPath(QCoreApplication::applicationDirPath());
    installLogHandler(updaterLogFilePath);

    QCommandLineParser parser;
    setupUpdaterOptions(parser);
    // Windows builds take the version from the executable's version
    // resource; elsewhere there is none, so the same number is set here.
    if (QCoreApplication::applicationVersion().isEmpty())
        QCoreApplication::setApplicationVersion(QLatin1String(kUpdaterVersion));
    parser.process(app);

    applyUpdaterOptions(parser);
    qInfo().noquote() << QStringLiteral("updater is started, version ") + QLatin1String(kUpdaterVersion);
    applyGlobalProxy();

    const QPixmap splashImage(splashImagePath());
    QSplashScreen splash(splashImage);
    splash.show();
    QCoreApplication::processEvents();

    return startupRuns(parser, splash, app);
}
