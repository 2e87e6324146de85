#ifndef STARTUP_H
#define STARTUP_H

class InstallationLock;
class QApplication;
class QCommandLineParser;
class QSplashScreen;

// Loads Qt's own Russian texts (standard buttons, file dialogs) from Qt's
// translations folder or, as the Windows build ships it, from beside the
// updater. False when neither holds it; the windows then show Qt's English.
bool installQtTranslation();

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
