#ifndef HEADLESSRUN_H
#define HEADLESSRUN_H

#include <QJsonArray>
#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>

class QCommandLineParser;
class QTextStream;

// The administrators' command-line runs (--check, --update-all, --install,
// --remove, --refresh-mirrors): the main window's actions without any
// window. They take the same install engine and the same selection rules,
// print progress and the engine's lines to standard output (to standard
// error with --json, whose one document then owns standard output), and end
// with an exit code a scheduler can act on.
class InstallationLock;

class HeadlessRun : public QObject
{
    Q_OBJECT

public:
    enum ExitCode { Done = 0, Failed = 1, BadUsage = 2, UpdatesAvailable = 3, Busy = 4 };

    // True when the arguments ask for one of these runs; decided before any
    // application object exists, so that such a run never needs a display.
    static bool requested(int argc, char *argv[]);
    // Adds the long options to the updater's parser.
    static void addOptions(QCommandLineParser &parser);

    // The run takes lock before it changes the installation (a --check only
    // reads and takes none); the caller lets it go at the hand-over.
    HeadlessRun(const QCommandLineParser &parser, InstallationLock &lock, QObject *parent = nullptr);

    // Loads servers and the registry, does the command, then the self-update
    // (except for --check) and the hand-over to the copier. Returns the exit
    // code.
    int exec();

private:
    struct EngineRun
    {
        QMap<QString, QStringList> programmsToUpdate;
        QStringList programmsToRemove;
        QMap<QString, QStringList> pluginsToRemove;
        bool changeConfig = false;
        bool makeBackup = false;
        bool isMirror = false;
        QString installPath;
    };

    bool usage(QString *command, QString *target);
    bool takeInstallation();
    int check();
    void checkModule(const QString &programm, const QString &module, QJsonArray *modules);
    void updateAll();
    bool install(const QString &target);
    bool remove(const QString &target);
    void refreshMirrors();
    void selfUpdate();
    bool targetRunning(const QString &programm);
    void runEngine(const QString &action, const EngineRun &run);
    void fail(const QString &text);
    void say(const QString &text);
    void act(const QString &kind, const QString &programm, const QString &detail = QString());
    int finish(const QString &command, int code);

    const QCommandLineParser &m_parser;
    InstallationLock &m_lock;
    bool m_json = false;
    QJsonArray m_programms;
    QJsonArray m_actions;
    QJsonArray m_errors;
    // The engine's step and item under way, naming its failures.
    QString m_step;
    QString m_item;
};

#endif // HEADLESSRUN_H
