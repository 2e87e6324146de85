#ifndef UPDATERSETUP_H
#define UPDATERSETUP_H

#include <QString>

class QCommandLineParser;

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

// The splash image of the running edition.
QString splashImagePath();

// The updater's own programm name: the edition key, or its development
// variant in a development installation.
QString updaterProgrammName();

// Starts the copier from updater_temp, detached, to copy the new updater over
// the installed one. Logs and returns false when it cannot be started.
bool startCopier();

#endif // UPDATERSETUP_H
