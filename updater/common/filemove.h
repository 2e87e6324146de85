#ifndef FILEMOVE_H
#define FILEMOVE_H

#include <QString>

// Moves from over to in one step: to names either its old content or the new
// one at every moment, never nothing. Both must be on one volume (the caller
// places from beside to). On failure to keeps its old content and error
// (when given) receives the system's reason.
bool moveFileOver(const QString &from, const QString &to, QString *error = nullptr);

// Moves a finished file from the temporary folder over to in one step, when
// the system allows that without side effects: same volume, and the moved
// file ends up with the permissions any file created in its new folder gets.
// Returns false, leaving both files as they were, when it cannot; the caller
// then copies. The content is not flushed here: a caller that adopts many
// files calls flushFileSystem once, before anything that names them (a
// module's record) is written.
bool adoptFile(const QString &from, const QString &to);

// Writes what the system still holds in memory for the volume of path
// (content, names, sizes) through to the disk. True when nothing needed it
// or it was done; false with the system's reason in error.
bool flushFileSystem(const QString &path, QString *error = nullptr);

// Deletes the file path, also when it is read-only (which Windows refuses to
// delete otherwise). A link is deleted itself, never what it leads to. True
// when nothing is left at path; on failure error (when given) receives the
// system's reason.
bool deleteFile(const QString &path, QString *error = nullptr);

// Hides a staging file (stagingPath) where a leading dot does not: a
// leftover must not show up among the user's files. moveFileOver does not
// carry the mark over to the file it replaces.
void hideStagingFile(const QString &path);

#endif // FILEMOVE_H
