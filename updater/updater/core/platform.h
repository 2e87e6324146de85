#ifndef PLATFORM_H
#define PLATFORM_H

// What the updater needs of the operating system: the running processes
// (processlist.h, shared with the copier), the user's shortcut folders and a
// way to write a shortcut. One implementation
// per system (platform_win.cpp, platform_linux.cpp), chosen by the build.
//
// This header uses standard C++ only, so that the Windows implementation can
// be compiled and checked without Qt. Texts are UTF-16 on Windows and UCS-4
// on Linux (std::wstring); the Qt-facing callers convert with
// QString::fromStdWString / toStdWString.

#include "processlist.h"

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

enum class UserFolder
{
    Desktop,
    QuickLaunch,
    ProgramsMenu,
};

// The folder, without a trailing separator; empty when the system cannot
// tell. The folder need not exist yet.
std::wstring userFolder(UserFolder folder);

// What a shortcut holds. The arguments are one command-line text quoted by
// the Windows rules (commandline.h).
struct Shortcut
{
    std::wstring target;
    std::wstring arguments;
    std::wstring workingDirectory;
    std::wstring iconPath;
    int iconIndex = 0;
    std::uint16_t hotkey = 0;
    int showCommand = 1;
};

// The file a shortcut requested at path is really written to (".lnk" on
// Windows; a freedesktop ".desktop" file on Linux).
std::wstring shortcutFilePath(const std::wstring &path);

// True when the file at path can be shown as a shortcut's icon here. Windows
// shows the icon an executable or library carries and .ico files, but not
// plain images; desktop launchers elsewhere show image files only, never an
// executable.
bool canBeShortcutIcon(const std::wstring &path);

// Writes the shortcut to shortcutFilePath(path), replacing an existing one.
// On failure nothing is left behind and error (when given) says why.
bool writeShortcut(const std::wstring &path, const Shortcut &shortcut, std::wstring *error = nullptr);

// The full path of the executable this process runs, as it was started. It
// stays right after the file was replaced or removed while the process runs
// (a self-update does that), where the system's own answer may no longer
// name an existing file. Empty when the system cannot tell.
std::wstring runningExecutable();

// ".exe" on Windows, empty elsewhere.
const wchar_t *executableSuffix();

// A program built for the window subsystem has no standard output of its
// own when started from a console. For the command-line runs it takes the
// console of the process that started it, unless its output is already
// redirected (a scheduled task writing to a file keeps its handles).
// Nothing to do where every program has its standard streams.
void attachParentConsole();

} // namespace platform

#endif // PLATFORM_H
