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

// The "path" text of an entry: empty, or components separated by "/" (a
// leading "/" is the normal form, "/sub/folder"); no "\", ":", NUL, and no
// component made of dots only.
bool isSafeSubPath(const QString &path);

// The "data" text of an entry: a location relative to the pack folder, which
// the engine appends to the pack folder and a "/" (so leading slashes, as a
// mirror writes them for files in sub-folders, stay inside it). Not empty,
// no "\", ":", NUL, "?" or "#", no component made of dots only, also after
// percent-decoding (a web server decodes "%2e%2e"), and it names a file.
bool isSafeDataPath(const QString &data);

#endif // SAFEPATH_H
