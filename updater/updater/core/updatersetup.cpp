#include "updatersetup.h"

#include "edition.h"
#include "headlessrun.h"
#include "settings.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDate>
#include <QDebug>
#include <QNetworkProxy>
#include <QProcess>

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
    const QString dir = Settings::applicationDir();
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
    HeadlessRun::addOptions(parser);
}

void applyUpdaterOptions(const QCommandLineParser &parser)
{
    Settings *settings = Settings::instance();
    if (parser.isSet(QStringLiteral("config_path")))
        settings->setConfigPath(parser.value(QStringLiteral("config_path")));
    else
        settings->setConfigPath(Settings::applicationDir() + QStringLiteral("/config.ini"));

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
    // A port outside 1..65535 cut to 16 bits would send every request to
    // some unrelated port; such a proxy is refused and the reason logged.
    bool portOk = false;
    const int portValue = settings->value(group, QStringLiteral("port"), 8080).toInt(&portOk);
    if (!portOk || portValue < 1 || portValue > 65535) {
        qWarning().noquote() << QStringLiteral("proxy port %1 is outside 1-65535; the proxy is not used")
                                    .arg(settings->value(group, QStringLiteral("port")).toString());
        return;
    }
    const auto port = static_cast<quint16>(portValue);
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
