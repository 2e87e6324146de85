#ifndef SAFEPATH_H
#define SAFEPATH_H

#include <QString>

// Checks for the texts of file-information and project documents that name
// places on disk. Those documents come from update servers and mirrors we do
// not control; a text that could lead a write, delete or download outside the
// folder it belongs to is refused before it is joined to any path.

// One component: not empty, not made of dots only, no "/", "\", ":" or NUL.
// Used for file names of entries and for folder names taken from project
// elements (module names, guids in mirror mode).
bool isSafePathComponent(const QString &name);

// The folder of a program or module directly under the root of a run: a
// safe component that Windows would not take for something else and that
// is none of the folders the updater keeps there itself. Refused, without
// regard to case: updaterFolder (the updater's own folder), "updater_temp"
// (the next copy of the updater, which the copier later copies over it),
// "backup", the device names (CON, PRN, AUX, NUL, COM0-9, LPT0-9, CONIN$,
// CONOUT$, also with an extension: "nul.txt"), and names ending in a dot
// or a blank, which Windows drops ("kestraupd." is "kestraupd" there).
bool isSafeModuleFolderName(const QString &name, const QString &updaterFolder);

// The "path" text of an entry: empty, or components separated by "/" (a
// leading "/" is the normal form, "/sub/folder"); no "\", ":", NUL, and no
// component made of dots only.
bool isSafeSubPath(const QString &path);

// folder and the "path" text of an entry joined with one "/" between them:
// the text's leading and trailing slashes are dropped, and an empty text
// gives folder itself. Paths in log lines and messages read as the user
// would type them ("/m/sub/a.dll", never "/m//sub/a.dll"); a trailing "/"
// of folder is dropped unless folder is the root itself.
QString joinSubPath(const QString &folder, const QString &path);

// The "data" text of an entry: a location relative to the pack folder, which
// the engine appends to the pack folder and a "/" (so leading slashes, as a
// mirror writes them for files in sub-folders, stay inside it). Not empty,
// no "\", ":", NUL, "?" or "#", no component made of dots only, also after
// percent-decoding (a web server decodes "%2e%2e"), and it names a file.
bool isSafeDataPath(const QString &data);

// On disk: whether a folder (or, with withLast, the file itself) between
// base, not included, and path is a symbolic link or a junction. A module
// folder may itself be a link an administrator made; a link inside it leads
// writes and deletions elsewhere, wherever someone pointed it. The walk ends
// at the first part that does not exist.
bool linkOnTheWay(const QString &base, const QString &path, bool withLast);

// Removes path and everything below it without following links: a link or
// junction met on the way (or path itself being one) is removed itself,
// never what it leads to. False when anything stayed.
bool removeTree(const QString &path);

#endif // SAFEPATH_H
