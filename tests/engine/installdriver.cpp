// Test tool: one installation run without windows. Fills the settings from a
// config.ini, runs one InstallThread with the selections given on the command
// line and prints every signal on its own line:
//   message<TAB>text, error<TAB>text, status<TAB>text,
//   progress<TAB>nDo<TAB>nAll<TAB>text
// and finally "finished<TAB>selfUpdatePending=0|1". Exit code 0 when the
// thread finished.

#include "installthread.h"
#include "settings.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>
#include <QThread>
#include <QTimer>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// "prog" or "prog:mod1,mod2"
void addSelection(QMap<QString, QStringList> *map, const QString &text)
{
    const int colon = text.indexOf(QLatin1Char(':'));
    const QString programm = colon < 0 ? text : text.left(colon);
    QStringList modules;
    if (colon >= 0)
        modules = text.mid(colon + 1).split(QLatin1Char(','), Qt::SkipEmptyParts);
    (*map)[programm] += modules;
}

// UTF-8 of text appended to line; a line break becomes a blank, so that
// every signal stays on one line.
void appendText(std::string *line, const QString &text)
{
    const std::size_t start = line->size();
    line->resize(start + std::size_t(text.size()) * 3); // room for the longest form
    char *out = &(*line)[start];
    for (const QChar c : text) {
        const ushort u = c.unicode();
        if (u < 0x80) {
            *out++ = u == '\n' ? ' ' : char(u);
        } else if (u < 0x800) {
            *out++ = char(0xc0 | (u >> 6));
            *out++ = char(0x80 | (u & 0x3f));
        } else if (u < 0xd800 || u > 0xdfff) {
            *out++ = char(0xe0 | (u >> 12));
            *out++ = char(0x80 | ((u >> 6) & 0x3f));
            *out++ = char(0x80 | (u & 0x3f));
        } else {
            // Surrogates: Qt's own encoder, which knows what to do with odd ones.
            line->resize(start);
            QByteArray bytes = text.toUtf8();
            bytes.replace('\n', ' ');
            line->append(bytes.constData(), std::size_t(bytes.size()));
            return;
        }
    }
    line->resize(std::size_t(out - line->data()));
}

void appendNumber(std::string *line, int n)
{
    char digits[16];
    const auto end = std::to_chars(digits, digits + sizeof digits, n).ptr;
    line->append(digits, end);
}

// One line of output, written whole: lines come from the install thread
// while the main thread's timer flushes, and stdio's lock keeps a line in
// one piece. Buffered; the timer flushes several times a second, so a
// watcher sees lines promptly without one write per line slowing long runs
// down.
void writeLine(const std::string &line)
{
    std::fwrite(line.data(), 1, line.size(), stdout);
}

void printLine(const char *kind, const QString &text)
{
    std::string line = kind;
    line += '\t';
    appendText(&line, text);
    line += '\n';
    writeLine(line);
}

void printProgress(int nDo, int nAll, const QString &text)
{
    // Reused: progress comes once per file.
    static thread_local std::string line;
    line.assign("progress\t");
    appendNumber(&line, nDo);
    line += '\t';
    appendNumber(&line, nAll);
    line += '\t';
    appendText(&line, text);
    line += '\n';
    writeLine(line);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    static char outputBuffer[1 << 16];
    std::setvbuf(stdout, outputBuffer, _IOFBF, sizeof outputBuffer);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption configOption(QStringLiteral("config"), QStringLiteral("config.ini to read"),
                                          QStringLiteral("path"));
    const QCommandLineOption installedOption(QStringLiteral("installed"), QStringLiteral("installed.json to use"),
                                             QStringLiteral("path"));
    const QCommandLineOption updateOption(QStringLiteral("update"), QStringLiteral("programm[:module,...]"),
                                          QStringLiteral("selection"));
    const QCommandLineOption removeOption(QStringLiteral("remove"), QStringLiteral("programm to remove whole"),
                                          QStringLiteral("programm"));
    const QCommandLineOption removePluginsOption(QStringLiteral("remove-plugins"),
                                                 QStringLiteral("programm:module,... to remove"),
                                                 QStringLiteral("selection"));
    const QCommandLineOption mirrorOption(QStringLiteral("mirror"), QStringLiteral("mirror mode"));
    const QCommandLineOption changeConfigOption(QStringLiteral("change-config"), QStringLiteral("write the registry"));
    const QCommandLineOption backupOption(QStringLiteral("backup"), QStringLiteral("zip module folders first"));
    const QCommandLineOption installPathOption(QStringLiteral("install-path"),
                                               QStringLiteral("root of the run (default: the install root)"),
                                               QStringLiteral("path"));
    const QCommandLineOption foldersOption(QStringLiteral("remove-folder"),
                                           QStringLiteral("folder under the root removed at the end of a mirror run"),
                                           QStringLiteral("name"));
    const QCommandLineOption interruptOption(
        QStringLiteral("interrupt-on"),
        QStringLiteral("kind:text - request interruption when a signal of that kind whose text contains text is "
                       "emitted (decided on the install thread, so the point is exact)"),
        QStringLiteral("signal"));
    const QCommandLineOption delayOption(QStringLiteral("delay-ms"),
                                         QStringLiteral("sleep on the install thread after each progress signal"),
                                         QStringLiteral("ms"));
    parser.addOptions({configOption, installedOption, updateOption, removeOption, removePluginsOption, mirrorOption,
                       changeConfigOption, backupOption, installPathOption, foldersOption, interruptOption,
                       delayOption});
    parser.process(app);

    Settings *settings = Settings::instance();
    if (parser.isSet(configOption))
        settings->setConfigPath(parser.value(configOption));
    if (parser.isSet(installedOption))
        settings->setRuntimeValue(QStringLiteral("General"), QStringLiteral("install_config_path"),
                                  parser.value(installedOption));
    settings->fillProjects();
    settings->fillMirrors();
    settings->loadInstalledProgramms();

    QMap<QString, QStringList> toUpdate;
    for (const QString &text : parser.values(updateOption))
        addSelection(&toUpdate, text);
    QMap<QString, QStringList> pluginsToRemove;
    for (const QString &text : parser.values(removePluginsOption))
        addSelection(&pluginsToRemove, text);

    InstallThread thread;
    thread.setTitle(QStringLiteral("Обновление программ"));
    thread.setProgrammsToUpdate(toUpdate);
    thread.setProgrammsToRemove(parser.values(removeOption));
    thread.setPluginsToRemove(pluginsToRemove);
    thread.setChangeConfig(parser.isSet(changeConfigOption));
    thread.setMirror(parser.isSet(mirrorOption));
    thread.setMakeBackup(parser.isSet(backupOption));
    // Without the option the thread falls back to the install root itself.
    if (parser.isSet(installPathOption))
        thread.setInstallPath(parser.value(installPathOption));
    thread.setFoldersToRemove(parser.values(foldersOption));

    // Printed on the install thread as the signals are emitted: in their
    // order, and without a queued event per signal for the main thread to
    // wake up for (a module of ten thousand files sends ten thousand).
    QObject::connect(&thread, &InstallThread::message, &thread,
                     [](const QString &text) { printLine("message", text); }, Qt::DirectConnection);
    QObject::connect(&thread, &InstallThread::error, &thread,
                     [](const QString &text) { printLine("error", text); }, Qt::DirectConnection);
    QObject::connect(&thread, &InstallThread::status, &thread,
                     [](const QString &text) { printLine("status", text); }, Qt::DirectConnection);
    QObject::connect(&thread, &InstallThread::progress, &thread, printProgress, Qt::DirectConnection);

    // Hooks that must act at an exact point of the run run on the install
    // thread itself.
    const QStringList interrupts = parser.values(interruptOption);
    auto check = [&thread, interrupts](const QString &kind, const QString &text) {
        for (const QString &point : interrupts) {
            const int colon = point.indexOf(QLatin1Char(':'));
            if (point.left(colon) == kind && text.contains(point.mid(colon + 1)))
                thread.requestInterruption();
        }
    };
    if (!interrupts.isEmpty()) {
        QObject::connect(&thread, &InstallThread::message, &thread,
                         [check](const QString &t) { check(QStringLiteral("message"), t); }, Qt::DirectConnection);
        QObject::connect(&thread, &InstallThread::error, &thread,
                         [check](const QString &t) { check(QStringLiteral("error"), t); }, Qt::DirectConnection);
        QObject::connect(&thread, &InstallThread::status, &thread,
                         [check](const QString &t) { check(QStringLiteral("status"), t); }, Qt::DirectConnection);
        QObject::connect(&thread, &InstallThread::progress, &thread,
                         [check](int, int, const QString &t) { check(QStringLiteral("progress"), t); },
                         Qt::DirectConnection);
    }
    const int delayMs = parser.value(delayOption).toInt();
    if (delayMs > 0) {
        QObject::connect(&thread, &InstallThread::progress, &thread,
                         [delayMs](int, int, const QString &) { QThread::msleep(ulong(delayMs)); },
                         Qt::DirectConnection);
    }

    QObject::connect(&thread, &QThread::finished, &app, [&app, settings]() {
        printLine("finished", QStringLiteral("selfUpdatePending=%1").arg(settings->selfUpdatePending() ? 1 : 0));
        std::fflush(stdout);
        app.exit(0);
    });
    QTimer flusher;
    QObject::connect(&flusher, &QTimer::timeout, &app, []() { std::fflush(stdout); });
    flusher.start(50);
    thread.start();
    const int code = app.exec();
    thread.wait();
    // Qt's threads are detached: one that has just finished may still be
    // tearing down its thread data while this one runs the static
    // destructors, which can crash the driver after a run that went well.
    // Everything it has to say is written, so it leaves at once.
    std::fflush(stdout);
    std::_Exit(code);
}
