#include "filerelay.h"
#include "filesettings.h"
#include "loghandler.h"
#include "relaylog.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDebug>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationVersion(QStringLiteral(FILERELAY_VERSION));
    installLogHandler(filerelayLogFilePath);

    const QString ownFolder = QCoreApplication::applicationDirPath();
    QCommandLineParser parser;
    parser.setApplicationDescription(QCoreApplication::translate("main", "Medical sofware copy file"));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption configOption({QStringLiteral("c"), QStringLiteral("config_path")},
                                          QCoreApplication::translate("main", "Config file path <config_path>."),
                                          QCoreApplication::translate("main", "config_path"),
                                          ownFolder + QStringLiteral("/filerelay_config.ini"));
    const QCommandLineOption logsOption({QStringLiteral("l"), QStringLiteral("logs_path")},
                                        QCoreApplication::translate("main", "Logs directory path. <logs_path>."),
                                        QCoreApplication::translate("main", "logs_path"),
                                        ownFolder + QStringLiteral("/logs"));
    const QCommandLineOption toOption({QStringLiteral("to"), QStringLiteral("to_path")},
                                      QCoreApplication::translate("main", "copy to folder. <to_path>."),
                                      QCoreApplication::translate("main", "to_path"), QStringLiteral("updater"));
    const QCommandLineOption fromOption({QStringLiteral("from"), QStringLiteral("from_path")},
                                        QCoreApplication::translate("main", "copy from folder. <from_path>."),
                                        QCoreApplication::translate("main", "from_path"),
                                        QStringLiteral("updater_temp"));
    parser.addOption(configOption);
    parser.addOption(logsOption);
    parser.addOption(toOption);
    parser.addOption(fromOption);
    parser.process(app);

    FileSettings &settings = FileSettings::instance();
    settings.setConfigPath(parser.isSet(configOption) ? parser.value(configOption)
                                                      : ownFolder + QStringLiteral("/filerelay_config.ini"));
    // Only options given on the command line override the settings file.
    const QList<QPair<QCommandLineOption, QString>> overrides = {{logsOption, QStringLiteral("logs_path")},
                                                                 {toOption, QStringLiteral("to_path")},
                                                                 {fromOption, QStringLiteral("from_path")}};
    for (const auto &option : overrides) {
        if (parser.isSet(option.first))
            settings.setRuntimeValue(QStringLiteral("General"), option.second, parser.value(option.first));
    }

    qInfo().noquote() << QStringLiteral("file copy is started, version ") + QCoreApplication::applicationVersion();
    return fileRelays() ? 0 : 1;
}
