#include "startup.h"

#include "loghandler.h"
#include "settings.h"

#include <QApplication>
#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QDate>
#include <QDebug>
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

int startupRuns(const QCommandLineParser &parser, QSplashScreen &splash, QApplication &app)
{
    Q_UNUSED(parser);
    Q_UNUSED(splash);
    Q_UNUSED(app);
    return 0;
}

int qMain(int argc, char *argv[])
{
    QApplication app(argc, argv);
    initUpdaterResources();
    QCoreApplication::addLibraryPath(QCoreApplication::applicationDirPath());
    installLogHandler(updaterLogFilePath);

    QCommandLineParser parser;
    setupUpdaterOptions(parser);
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
