// Test tool: one installation run without windows, from a config.ini and the selections on the command line.
// Prints every signal on its own line (message, error, status: kind<TAB>text; progress<TAB>nDo<TAB>nAll<TAB>text),
// then "finished<TAB>selfUpdatePending=0|1". Exit code 0 when the thread finished.

#include "installthread.h"
#include "settings.h"

#include <QtCore>

#include <cstdio>
#include <cstdlib>

namespace {

// "prog" or "prog:mod1,mod2"
void addSelections(QMap<QString, QStringList> *map, const QStringList &texts)
{
    for (const QString &text : texts)
        (*map)[text.section(QLatin1Char(':'), 0, 0)] +=
            text.section(QLatin1Char(':'), 1).split(',', Qt::SkipEmptyParts);
}

// Written whole: stdio's lock keeps the line in one piece while the main thread's timer flushes. Buffered, as a
// module of ten thousand files sends ten thousand lines.
void printLine(const char *kind, const QString &text)
{
    const QByteArray line = kind + ('\t' + text.toUtf8().replace('\n', ' ')) + '\n';
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    static char outputBuffer[1 << 16];
    std::setvbuf(stdout, outputBuffer, _IOFBF, sizeof outputBuffer);
    QCommandLineParser parser;
    // --interrupt-on kind:text interrupts when a signal of that kind whose text contains text is emitted (decided
    // on the install thread, so the point is exact); --delay-ms sleeps there after each progress signal.
    const QStringList valued{"config", "installed", "update", "remove", "remove-plugins", "install-path",
                             "remove-folder", "interrupt-on", "delay-ms"};
    for (const QString &name : valued)
        parser.addOption(QCommandLineOption(name, name, QStringLiteral("value")));
    for (const char *flag : {"mirror", "change-config", "backup"})
        parser.addOption(QCommandLineOption(QString::fromLatin1(flag), QString::fromLatin1(flag)));
    parser.process(app);

    Settings *settings = Settings::instance();
    settings->setConfigPath(parser.value("config"));
    settings->setRuntimeValue(QStringLiteral("General"), QStringLiteral("install_config_path"), parser.value("installed"));
    settings->fillProjects();
    settings->fillMirrors();
    settings->loadInstalledProgramms();

    QMap<QString, QStringList> toUpdate, pluginsToRemove;
    addSelections(&toUpdate, parser.values("update"));
    addSelections(&pluginsToRemove, parser.values("remove-plugins"));
    InstallThread thread;
    thread.setProgrammsToUpdate(toUpdate);
    thread.setProgrammsToRemove(parser.values("remove"));
    thread.setPluginsToRemove(pluginsToRemove);
    thread.setChangeConfig(parser.isSet("change-config"));
    thread.setMirror(parser.isSet("mirror"));
    thread.setMakeBackup(parser.isSet("backup"));
    // Empty without the option: the thread then falls back to the install root itself.
    thread.setInstallPath(parser.value("install-path"));
    thread.setFoldersToRemove(parser.values("remove-folder"));

    // Printed and checked on the install thread as the signals are emitted: in their order, at the exact point,
    // and without a queued event per signal for the main thread to wake up for.
    const QStringList interrupts = parser.values("interrupt-on");
    const ulong delayMs = parser.value("delay-ms").toULong();
    auto seen = [&thread, interrupts](const char *kind, const QString &text) {
        printLine(kind, text);
        for (const QString &point : interrupts) {
            if (point.section(QLatin1Char(':'), 0, 0) == QLatin1String(kind)
                && text.contains(point.section(QLatin1Char(':'), 1)))
                thread.requestInterruption();
        }
    };
    const auto direct = Qt::DirectConnection;
    for (const auto &signal : {std::make_pair(&InstallThread::message, "message"),
                               std::make_pair(&InstallThread::error, "error"),
                               std::make_pair(&InstallThread::status, "status")})
        QObject::connect(&thread, signal.first, &thread, [seen, signal](const QString &t) { seen(signal.second, t); }, direct);
    QObject::connect(&thread, &InstallThread::progress, &thread, [seen, delayMs](int nDo, int nAll, const QString &t) {
        seen("progress", QStringLiteral("%1\t%2\t%3").arg(nDo).arg(nAll).arg(t));
        if (delayMs > 0)
            QThread::msleep(delayMs);
    }, direct);
    QObject::connect(&thread, &QThread::finished, &app, [&app, settings]() {
        printLine("finished", QStringLiteral("selfUpdatePending=%1").arg(settings->selfUpdatePending() ? 1 : 0));
        app.exit(0);
    });
    QTimer flusher;
    QObject::connect(&flusher, &QTimer::timeout, &app, []() { std::fflush(stdout); });
    flusher.start(50);
    thread.start();
    const int code = app.exec();
    thread.wait();
    // Qt's threads are detached: one just finished may still tear down its thread data while this one runs the
    // static destructors, which can crash the driver after a good run. All is said, so it leaves at once.
    std::fflush(stdout);
    std::_Exit(code);
}
