#ifndef STARTUP_H
#define STARTUP_H

#include <QString>

class InstallationLock;
class QApplication;
class QCommandLineParser;
class QSplashScreen;

// The version text the updater logs at start and shows in window titles.
extern const char *const kUpdaterVersion;

// Registers the images compiled into the updater's library.
void initUpdaterResources();

// Where kestraupd's daily log file lies today.
QString updaterLogFilePath();

// Adds the updater's options to the parser (help, version, c, i, l, r, a).
void setupUpdaterOptions(QCommandLineParser &parser);

// Points the settings store at its INI file and applies the run-time
// overrides of the log folder and the registry path.
void applyUpdaterOptions(const QCommandLineParser &parser);

// Sets the application proxy from the global_proxy group, when asked for.
void applyGlobalProxy();

// Loads Qt's own Russian texts (standard buttons, file dialogs) from Qt's
// translations folder or, as the Windows build ships it, from beside the
// updater. False when neither holds it; the windows then show Qt's English.
bool installQtTranslation();

// The splash image of the running edition.
QString splashImagePath();

// The updater's own programm name: the edition key, or its development
// variant in a development installation.
QString updaterProgrammName();

// Starts the copier from updater_temp, detached, to copy the new updater over
// the installed one. Logs and returns false when it cannot be started.
bool startCopier();

// The hand-over at exit: releases the installation (the copier takes it
// next) and starts the copier, but only for a complete new copy of the
// updater and only once no install thread that a cancelled dialog let go can
// still write in it (waiting a bounded time for them). True when the copier
// was started.
bool handOverAtExit(InstallationLock &lock);

// The runs after the splash: projects, run mode, self-update, main window,
// hand-over to the copier. Returns the exit code.
int startupRuns(const QCommandLineParser &parser, QSplashScreen &splash, QApplication &app);

// The whole entry point of kestraupd.
int qMain(int argc, char *argv[]);

#endif // STARTUP_H
