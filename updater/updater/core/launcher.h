#ifndef LAUNCHER_H
#define LAUNCHER_H

#include <QChar>
#include <QString>
#include <QStringList>
#include <QtGlobal>

// Where a shortcut goes. The numbers are those of the shortcut menu's
// entries, in their order.
enum class LinkPlace { Desktop = 1, QuickLaunch = 2, StartMenu = 3 };

// Starts an installed program from its folder under the install root,
// detached, with arguments, or with its recorded parameters when arguments
// is empty. False (with a warning) when its executable is missing or lies
// outside the program's folder, or when it cannot be started.
bool startProgramm(const QString &programmName, const QStringList &arguments = QStringList());

// Writes one shortcut file. On Linux the ".lnk" of linkPath becomes
// ".desktop" (see platform::shortcutFilePath).
bool createShortcut(const QString &linkPath, const QString &targetPath, const QString &workingDirectory,
                    const QString &arguments, quint16 hotkey, int showCommand, const QString &iconPath,
                    int iconIndex);

// The folder shortcuts of a place go to (the Start-menu place includes the
// product's own menu folder); empty for an unknown place or when the system
// cannot tell.
QString linkPlaceFolder(LinkPlace place);

// A shortcut named displayName at place that starts the updater with
// arguments, working in the install root's folder folderName.
bool createLink(const QString &displayName, const QString &folderName, const QString &iconFile, LinkPlace place,
                const QString &arguments);

// The edition's icon image beside the updater ("kestraupd.png" and so on).
QString editionIconPath();

// The icon a shortcut to the install root's folder folderName gets: that
// folder's def.ico, its iconFile, the updater's def.ico, the edition's icon
// image, the first that exists and that this system can show as an icon;
// otherwise the updater's executable.
QString programmIconPath(const QString &folderName, const QString &iconFile);

// A shortcut that starts the updater in run mode for programmName (bringing
// it up to date, then launching it with parameters); the name "updater"
// gives a shortcut that just opens the updater.
bool createProgrammLink(const QString &displayName, const QString &programmName, const QString &iconFile,
                        const QString &parameters, LinkPlace place);

// text ready for a command line: with escape, each quote character doubled;
// wrapped in quote characters when force is set, when it holds the separator
// or a line feed, or (with escape) when it starts with the quote character.
QString quoteArgument(const QString &text, QChar separator, QChar quote, bool force, bool escape);

#endif // LAUNCHER_H
