#include "headlessrun.h"

#include "edition.h"
#include "fileinfoscan.h"
#include "fileops.h"
#include "installationlock.h"
#include "installplan.h"
#include "installthread.h"
#include "mirrordescription.h"
#include "packfetcher.h"
#include "processinfo.h"
#include "projectdescription.h"
#include "safepath.h"
#include "settings.h"
#include "transfer.h"
#include "updatelookahead.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDebug>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTextStream>

#include <cstdio>

namespace {

const QString kCheck = QStringLiteral("check");
const QString kUpdateAll = QStringLiteral("update-all");
const QString kInstall = QStringLiteral("install");
const QString kRemove = QStringLiteral("remove");
const QString kRefreshMirrors = QStringLiteral("refresh-mirrors");
const QString kJson = QStringLiteral("json");

const QStringList &commandNames()
{
    static const QStringList names{kCheck, kUpdateAll, kInstall, kRemove, kRefreshMirrors};
    return names;
}

QString updaterName()
{
    return Settings::isDevelopmentInstallation() ? devEditionKey() : editionKey();
}

bool isUpdater(const QString &name)
{
    return name == editionKey() || name == devEditionKey();
}

const ProjectDescription *descriptionOf(const QString &name)
{
    for (const ProjectDescription *description : Settings::instance()->programmDescriptions()) {
        if (description && description->base() && description->base()->name() == name)
            return description;
    }
    return nullptr;
}

// What updating one module would change, decided as the module step decides
// it, from the fetched document and the files on disk; nothing is written.
struct ModuleCheck
{
    int files = 0;
    qint64 bytes = 0;
    QString error;
};

ModuleCheck compareModule(const PluginBinary &binary, const QString &folder, const QStringList &doNotDelete)
{
    ModuleCheck result;
    QTemporaryDir temp;
    QString sourceDir = binary.fullPath();
    if (!sourceDir.endsWith(QLatin1Char('/')))
        sourceDir += QLatin1Char('/');
    const QString source = sourceDir + binary.fileName();
    const QString document = temp.path() + QStringLiteral("/fileinfo.xml");
    QString error;
    const bool fetched = PackFetcher::isRemote(source) ? fetchFile(source, document, &error,
                                                                   Settings::instance()->transferOptions())
                                                       : copyFileHashing(source, document, nullptr, &error);
    if (!temp.isValid() || !fetched) {
        result.error = QStringLiteral("can't fetch %1: %2").arg(source, error);
        return result;
    }
    QFile file(document);
    const QByteArray bytes = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    QFile local(folder + QStringLiteral("/update_fileinfo.xml"));
    const bool compareHash = !local.open(QIODevice::ReadOnly) || local.readAll() != bytes;
    QVector<ScannedFileInfo> entries;
    int line = 0;
    int column = 0;
    if (!scanFileInfoEntries(bytes, &entries, &error, &line, &column)) {
        result.error = QStringLiteral("bad file-information document %1: %2, line %3, column %4")
                           .arg(source, error)
                           .arg(line)
                           .arg(column);
        return result;
    }
    for (const ScannedFileInfo &e : entries) {
        if (!isSafePathComponent(e.fileName) || !isSafeSubPath(e.path) || doNotDelete.contains(e.fileName))
            continue;
        const QString target = folder + QLatin1Char('/') + (e.path.isEmpty() ? e.fileName : e.path + QLatin1Char('/') + e.fileName);
        const bool change = e.isNeedDelete == 1 ? QFile::exists(target)
                                                : fileNeedsUpdate(target, e.checkedHash(), e.size, compareHash);
        if (change) {
            ++result.files;
            if (e.isNeedDelete != 1)
                result.bytes += e.size;
        }
    }
    return result;
}

} // namespace

bool HeadlessRun::requested(int argc, char *argv[])
{
    for (int i = 1; i < argc; ++i) {
        const QString argument = QString::fromLocal8Bit(argv[i]);
        if (argument == QLatin1String("--"))
            break;
        for (const QString &name : commandNames() + QStringList{kJson}) {
            const QString option = QStringLiteral("--") + name;
            if (argument == option || argument.startsWith(option + QLatin1Char('=')))
                return true;
        }
    }
    return false;
}

void HeadlessRun::addOptions(QCommandLineParser &parser)
{
    parser.addOption(QCommandLineOption(kCheck, QStringLiteral("Report what is out of date; change nothing.")));
    parser.addOption(QCommandLineOption(kUpdateAll, QStringLiteral("Update every installed program that is not running.")));
    parser.addOption(QCommandLineOption(kInstall, QStringLiteral("Install a program with the named modules."),
                                        QStringLiteral("programm[,module...]")));
    parser.addOption(QCommandLineOption(kRemove, QStringLiteral("Remove a program, or one of its modules."),
                                        QStringLiteral("programm[:module]")));
    parser.addOption(QCommandLineOption(kRefreshMirrors, QStringLiteral("Refresh every configured mirror.")));
    parser.addOption(QCommandLineOption(kJson, QStringLiteral("Print the report as one JSON document.")));
}

HeadlessRun::HeadlessRun(const QCommandLineParser &parser, InstallationLock &lock, QObject *parent)
    : QObject(parent)
    , m_parser(parser)
    , m_lock(lock)
    , m_json(parser.isSet(kJson))
{
}

void HeadlessRun::say(const QString &text)
{
    // With --json the document alone goes to standard output, so scripts
    // can parse it; the running commentary goes to standard error.
    static QTextStream out(stdout);
    static QTextStream err(stderr);
    QTextStream &stream = m_json ? err : out;
    stream.setCodec("UTF-8");
    stream << text << '\n';
    stream.flush();
}

void HeadlessRun::fail(const QString &text)
{
    // The engine's lines do not always say which module and file they are
    // about; the step and the item under way when the line came name them.
    QJsonObject failure{{QStringLiteral("message"), text}};
    QString where;
    if (!m_step.isEmpty()) {
        failure.insert(QStringLiteral("step"), m_step);
        where = m_step;
    }
    if (!m_item.isEmpty()) {
        failure.insert(QStringLiteral("item"), m_item);
        where += QStringLiteral(" / ") + m_item;
    }
    if (!where.isEmpty())
        where = QStringLiteral(" [") + where + QLatin1Char(']');
    qWarning().noquote() << text + where;
    say(QStringLiteral("ERROR: ") + text + where);
    m_errors.append(failure);
}

void HeadlessRun::act(const QString &kind, const QString &programm, const QString &detail)
{
    QJsonObject action{{QStringLiteral("action"), kind}, {QStringLiteral("programm"), programm}};
    if (!detail.isEmpty())
        action.insert(QStringLiteral("detail"), detail);
    m_actions.append(action);
}

bool HeadlessRun::usage(QString *command, QString *target)
{
    QStringList given;
    for (const QString &name : commandNames()) {
        if (m_parser.isSet(name))
            given.append(name);
    }
    QString problem;
    if (given.size() != 1)
        problem = QStringLiteral("exactly one of --check, --update-all, --install, --remove, --refresh-mirrors is needed");
    else if (m_parser.isSet(QStringLiteral("run")))
        problem = QStringLiteral("--run cannot be combined with --") + given.first();
    else if (!m_parser.positionalArguments().isEmpty())
        problem = QStringLiteral("unexpected arguments: ") + m_parser.positionalArguments().join(QLatin1Char(' '));
    if (!problem.isEmpty()) {
        fail(problem);
        return false;
    }
    *command = given.first();
    *target = (*command == kInstall || *command == kRemove) ? m_parser.value(*command) : QString();
    if ((*command == kInstall || *command == kRemove) && target->trimmed().isEmpty()) {
        fail(QStringLiteral("--%1 needs a programm name").arg(*command));
        return false;
    }
    return true;
}

int HeadlessRun::exec()
{
    QString command;
    QString target;
    if (!usage(&command, &target))
        return finish(command, BadUsage);

    Settings *settings = Settings::instance();
    settings->fillProjects();
    settings->fillMirrors();
    settings->loadInstalledProgramms();
    // Without a single program description nothing can be compared or
    // updated: a scheduled run must not report that as "all current".
    if (settings->programmDescriptions().isEmpty()) {
        fail(QStringLiteral("no programms could be read from the update servers"));
        return finish(command, Failed);
    }

    if (command == kCheck)
        return finish(command, check());

    // Taken before the first change to the installation and held through
    // the self-update: a second updater run (windowed or not) waits briefly,
    // and this one ends with Busy when the wait runs out.
    if (!takeInstallation())
        return finish(command, Busy);
    bool usable = true;
    if (command == kUpdateAll)
        updateAll();
    else if (command == kInstall)
        usable = install(target);
    else if (command == kRemove)
        usable = remove(target);
    else
        refreshMirrors();
    if (!usable)
        return finish(command, BadUsage);
    selfUpdate();
    return finish(command, m_errors.isEmpty() ? Done : Failed);
}

bool HeadlessRun::takeInstallation()
{
    // A scheduled run may meet a user's updater or a hand-over; a few
    // seconds cover a hand-over, a user's run is not waited for.
    constexpr int kBusyWaitMs = 10000;
    const bool taken = m_lock.acquireOrWait([this](const QString &) {
        say(QStringLiteral("another updater run is in progress, waiting up to %1 s").arg(kBusyWaitMs / 1000));
        return kBusyWaitMs;
    });
    if (taken)
        return true;
    fail(QStringLiteral("another updater run keeps the installation busy"));
    return false;
}

int HeadlessRun::finish(const QString &command, int code)
{
    if (code == Done && !m_errors.isEmpty())
        code = Failed;
    qInfo().noquote() << QStringLiteral("command-line run %1 ends with exit code %2").arg(command).arg(code);
    if (m_json) {
        QJsonObject report{{QStringLiteral("command"), command},
                           {QStringLiteral("exit_code"), code},
                           {QStringLiteral("programms"), m_programms},
                           {QStringLiteral("actions"), m_actions},
                           {QStringLiteral("errors"), m_errors}};
        QFile out;
        if (out.open(stdout, QIODevice::WriteOnly))
            out.write(QJsonDocument(report).toJson(QJsonDocument::Indented));
    } else {
        say(QStringLiteral("exit code %1").arg(code));
    }
    return code;
}

int HeadlessRun::check()
{
    Settings *settings = Settings::instance();
    const QMap<QString, QStringList> installed = settings->installedModules(QString());
    bool outdated = false;
    for (auto it = installed.constBegin(); it != installed.constEnd(); ++it) {
        const QString &name = it.key();
        const bool running = !isUpdater(name) && !settings->executablePath(name).isEmpty()
                             && isProgrammRunning(settings->executeFilename(name), settings->executablePath(name));
        QJsonArray modules;
        checkModule(name, name, &modules);
        for (const QString &module : it.value())
            checkModule(name, module, &modules);
        bool current = true;
        for (const QJsonValue &module : modules)
            current = current && module.toObject().value(QStringLiteral("current")).toBool();
        outdated = outdated || !current;
        const ProjectDescription *description = descriptionOf(name);
        m_programms.append(QJsonObject{
            {QStringLiteral("programm_name"), name},
            {QStringLiteral("display_name"), description ? description->base()->ruName() : QString()},
            {QStringLiteral("running"), running},
            {QStringLiteral("current"), current},
            {QStringLiteral("modules"), modules}});
        say(QStringLiteral("%1: %2%3").arg(name, current ? QStringLiteral("current") : QStringLiteral("out of date"),
                                           running ? QStringLiteral(" (running)") : QString()));
    }
    if (!m_errors.isEmpty())
        return Failed;
    return outdated ? UpdatesAvailable : Done;
}

void HeadlessRun::checkModule(const QString &programm, const QString &module, QJsonArray *modules)
{
    const ProjectPluginPtr plugin = Settings::instance()->allPlugins().value(module);
    QJsonObject row{{QStringLiteral("name"), module}, {QStringLiteral("current"), false}};
    if (!plugin || plugin->binaries().isEmpty()) {
        fail(QStringLiteral("%1: no update server describes module %2").arg(programm, module));
        modules->append(row);
        return;
    }
    // The updater's own files are those of the running copy, not the folder
    // a self-update assembles in.
    InstallThread paths;
    paths.setInstallPath(Settings::installRoot());
    const QString folder = isUpdater(module) ? Settings::installRoot() + QLatin1Char('/') + module
                                             : paths.programmPath(module);
    const PluginBinary *binary = plugin->binaries().first();
    const ModuleCheck result = compareModule(*binary, folder, plugin->doNotDelete());
    row.insert(QStringLiteral("display_name"), plugin->ruName());
    row.insert(QStringLiteral("version"), binary->date().toString(Qt::ISODateWithMs));
    row.insert(QStringLiteral("files"), result.files);
    row.insert(QStringLiteral("bytes"), double(result.bytes));
    if (!result.error.isEmpty()) {
        fail(QStringLiteral("%1: %2").arg(module, result.error));
        row.insert(QStringLiteral("error"), result.error);
    } else {
        row.insert(QStringLiteral("current"), result.files == 0);
        if (result.files > 0)
            say(QStringLiteral("  %1: %2 files, %3 bytes to change").arg(module).arg(result.files).arg(result.bytes));
    }
    modules->append(row);
}

bool HeadlessRun::targetRunning(const QString &programm)
{
    Settings *settings = Settings::instance();
    const QString path = settings->executablePath(programm);
    if (path.isEmpty() || !isProgrammRunning(settings->executeFilename(programm), path))
        return false;
    // The window would leave a running program alone; so does a run no one
    // watches, and it says why.
    fail(QStringLiteral("%1 is running and is left unchanged").arg(programm));
    act(QStringLiteral("skipped_running"), programm);
    return true;
}

void HeadlessRun::updateAll()
{
    const RefreshSet set = collectRefreshSet();
    for (const QString &name : set.runningNames) {
        // The window's warning box, answered: the program is not updated.
        say(QStringLiteral("%1 is running and will not be updated").arg(name));
        qInfo().noquote() << QStringLiteral("skipping running programm ") + name;
        act(QStringLiteral("skipped_running"), name);
    }
    if (set.toUpdate.isEmpty()) {
        say(QStringLiteral("no programms to update"));
        qInfo().noquote() << QStringLiteral("no programms to update");
        return;
    }
    EngineRun run;
    run.programmsToUpdate = set.toUpdate;
    run.makeBackup = Settings::instance()->makeBackup();
    runEngine(kUpdateAll, run);
}

namespace {

SelectionRow *findRow(QList<SelectionRow> &rows, const QString &name)
{
    for (SelectionRow &row : rows) {
        if (row.name == name)
            return &row;
    }
    return nullptr;
}

} // namespace

bool HeadlessRun::install(const QString &target)
{
    const QStringList parts = target.split(QLatin1Char(','));
    const QString programm = parts.first().trimmed();
    Settings *settings = Settings::instance();
    const QMap<QString, QStringList> installed = settings->installedModules(QString());
    // The selection dialog's starting state, with the program and the named
    // modules ticked: necessary modules come along as the locked rows do.
    QList<SelectionRow> rows = selectionRows(settings->programmDescriptions(), installed);
    SelectionRow *row = findRow(rows, programm);
    if (!row) {
        fail(QStringLiteral("no update server offers programm %1").arg(programm));
        return false;
    }
    row->ticked = true;
    for (int i = 1; i < parts.size(); ++i) {
        SelectionRow *plugin = findRow(row->plugins, parts.at(i).trimmed());
        if (!plugin) {
            fail(QStringLiteral("programm %1 has no module %2").arg(programm, parts.at(i).trimmed()));
            return false;
        }
        plugin->ticked = true;
    }
    if (targetRunning(programm))
        return true;
    const QMap<QString, QStringList> selection = selectionOf(rows);
    const SelectionChange change = compareSelection(installed, selection);
    EngineRun run;
    run.programmsToUpdate = selection;
    run.programmsToRemove = change.programmsToRemove;
    run.pluginsToRemove = change.pluginsToRemove;
    run.changeConfig = true;
    act(kInstall, programm, selection.value(programm).join(QLatin1Char(',')));
    runEngine(kInstall, run);
    return true;
}

bool HeadlessRun::remove(const QString &target)
{
    const int colon = target.indexOf(QLatin1Char(':'));
    const QString programm = target.left(colon).trimmed();
    const QString module = colon < 0 ? QString() : target.mid(colon + 1).trimmed();
    Settings *settings = Settings::instance();
    const QMap<QString, QStringList> installed = settings->installedModules(QString());
    if (isUpdater(programm)) {
        fail(QStringLiteral("the updater's own programm cannot be removed"));
        return false;
    }
    if (!installed.contains(programm)) {
        fail(QStringLiteral("programm %1 is not installed").arg(programm));
        return false;
    }
    EngineRun run;
    run.changeConfig = true;
    if (module.isEmpty()) {
        // The removal button's run; the question it asks is answered by the
        // command itself.
        run.programmsToRemove = QStringList{programm};
    } else {
        // The selection dialog with one plugin unticked, under its rules: a
        // necessary module stays.
        QList<SelectionRow> rows = selectionRows(settings->programmDescriptions(), installed);
        SelectionRow *row = findRow(rows, programm);
        SelectionRow *plugin = row ? findRow(row->plugins, module) : nullptr;
        if (!plugin || !installed.value(programm).contains(module)) {
            fail(QStringLiteral("module %1 of %2 is not installed").arg(module, programm));
            return false;
        }
        if (plugin->locked) {
            fail(QStringLiteral("module %1 is necessary for %2 and cannot be removed").arg(module, programm));
            return false;
        }
        plugin->ticked = false;
        const QMap<QString, QStringList> selection = selectionOf(rows);
        const SelectionChange change = compareSelection(installed, selection);
        run.programmsToUpdate = selection;
        run.programmsToRemove = change.programmsToRemove;
        run.pluginsToRemove = change.pluginsToRemove;
    }
    if (targetRunning(programm))
        return true;
    act(kRemove, programm, module);
    runEngine(kRemove, run);
    return true;
}

void HeadlessRun::refreshMirrors()
{
    const QList<MirrorDescription *> mirrors = Settings::instance()->mirrors();
    if (mirrors.isEmpty())
        say(QStringLiteral("no mirrors configured"));
    for (const MirrorDescription *mirror : mirrors) {
        if (!mirror)
            continue;
        EngineRun run;
        run.programmsToUpdate = mirrorUpdateSet(*mirror);
        run.isMirror = true;
        run.installPath = mirror->mirrorFolder;
        act(kRefreshMirrors, mirror->mainServerName, mirror->mirrorFolder);
        runEngine(kRefreshMirrors, run);
    }
}

void HeadlessRun::selfUpdate()
{
    // As at every ordinary start: the updater's own project is assembled in
    // updater_temp and handed to the copier when the process ends. Only the
    // engine's step decides the hand-over: after a failed step the copy is
    // half new and must not reach the updater's folder.
    EngineRun run;
    run.programmsToUpdate.insert(updaterName(), QStringList());
    run.changeConfig = true;
    run.makeBackup = Settings::instance()->makeBackup();
    runEngine(QStringLiteral("self-update"), run);
}

void HeadlessRun::runEngine(const QString &action, const EngineRun &run)
{
    say(QStringLiteral("== ") + action);
    InstallThread thread;
    thread.setObjectName(QStringLiteral("mainthread1111"));
    thread.setTitle(tr("Обновление программ"));
    thread.setProgrammsToUpdate(run.programmsToUpdate);
    thread.setProgrammsToRemove(run.programmsToRemove);
    thread.setPluginsToRemove(run.pluginsToRemove);
    thread.setChangeConfig(run.changeConfig);
    thread.setInstallPath(run.installPath.isEmpty() ? Settings::installRoot() : run.installPath);
    thread.setMirror(run.isMirror);
    thread.setMakeBackup(run.makeBackup);

    QElapsedTimer sinceProgress;
    sinceProgress.start();
    connect(&thread, &InstallThread::message, this, [this, action](const QString &text) {
        qInfo().noquote() << text;
        say(text);
        act(QStringLiteral("message"), action, text);
    });
    connect(&thread, &InstallThread::error, this, [this](const QString &text) { fail(text); });
    connect(&thread, &InstallThread::status, this, [this](const QString &text) {
        m_step = text;
        m_item.clear();
        say(text);
    });
    connect(&thread, &InstallThread::progress, this, [this, &sinceProgress](int nDo, int nAll, const QString &text) {
        m_item = text;
        // A few lines a second at most; the last of a module always.
        if (nDo != nAll && sinceProgress.elapsed() < 1000)
            return;
        sinceProgress.restart();
        say(QStringLiteral("  %1/%2 KiB %3").arg(nDo).arg(nAll).arg(text));
    });
    QEventLoop loop;
    connect(&thread, &QThread::finished, &loop, &QEventLoop::quit);
    thread.start(QThread::InheritPriority);
    loop.exec();
    thread.wait();
    // Lines the thread queued before it finished are delivered before the
    // thread object goes away.
    QCoreApplication::sendPostedEvents(this);
    m_step.clear();
    m_item.clear();
}
