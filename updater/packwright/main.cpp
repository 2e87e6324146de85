#include "loghandler.h"
#include "packwrightlog.h"
#include "packwrightthread.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDebug>
#include <QVersionNumber>

int main(int argc, char *argv[])
{
    installLogHandler(packwrightLogFilePath);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationVersion(QStringLiteral(PACKWRIGHT_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QCoreApplication::translate("main", "Updater pack builder"));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOption({{QStringLiteral("m"), QStringLiteral("module")},
                      QCoreApplication::translate("main", "Module name <module>.")});
    parser.addOption({{QStringLiteral("f"), QStringLiteral("folder_path")},
                      QCoreApplication::translate("main", "Source folder path <folder_path>")});
    parser.addOption({{QStringLiteral("o"), QStringLiteral("output_path")},
                      QCoreApplication::translate("main", "Output path. <output_path>.")});
    parser.addOption({QStringLiteral("k"),
                      QCoreApplication::translate("main", "Sign with the private key <NAME.key>.")});
    parser.addOption({QStringLiteral("new-key"),
                      QCoreApplication::translate("main", "Write a new key pair <NAME>.key and <NAME>.pub.")});
    parser.addOption({QStringLiteral("sign"), QCoreApplication::translate("main", "Sign the document <FILE>.")});
    parser.addOption({QStringLiteral("expires"),
                      QCoreApplication::translate("main", "Signature expiry: <days> or <UTC time>.")});
    parser.process(app);

    const QVersionNumber version = QVersionNumber::fromString(QCoreApplication::applicationVersion());
    qInfo().noquote() << QStringLiteral("pack builder is started, version ")
                             + QVersionNumber(version.majorVersion(), version.minorVersion(), version.microVersion())
                                   .toString();

    PackwrightThread worker;
    // The flags take their values from the raw arguments, not from the parser.
    worker.takeArguments(QCoreApplication::arguments());
    // Queued to the main thread: the exit request then waits in the event
    // queue until exec() runs, so a worker that fails at once still ends the
    // program with its code instead of leaving the loop waiting forever.
    QObject::connect(
        &worker, &QThread::finished, &app, [&worker]() { QCoreApplication::exit(worker.resultCode()); },
        Qt::QueuedConnection);
    worker.start(QThread::InheritPriority);
    const int code = app.exec();
    worker.wait();
    return code;
}
