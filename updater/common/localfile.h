#ifndef LOCALFILE_H
#define LOCALFILE_H

#include <QString>

// Local file replacement shared by the updater and the copier.

// Copies source to destination; never overwrites an existing destination.
// On failure error (when given) receives
// "error copy file from %1 to %2 error %3".
bool copyLocalFile(const QString &source, const QString &destination, QString *error = nullptr);

// Removes an existing destination (clearing its read-only attribute first).
// On failure error (when given) receives "Ошибка при удалении файла %1, %2".
bool removeExistingFile(const QString &destination, QString *error = nullptr);

// Replaces destination by a copy of source. An existing destination is
// replaced in one step (the copy is made beside it, then moved over it), so
// it is never missing, also when the copy fails. On failure error (when given)
// receives the copy's text, or "Ошибка при удалении файла %1, %2" when the
// old file cannot be replaced.
bool replaceLocalFile(const QString &source, const QString &destination, QString *error = nullptr);

// Where a new copy of target is written before it is moved over it: beside
// it, hidden, as ".<name>.kestra-new". A name too long for that (file names
// end at 255 characters) is cut and told apart by a hash of the whole name,
// so that every file a module can hold can also be replaced.
QString stagingPath(const QString &target);

// True for a name stagingPath() gives (".<name>.kestra-new", also the cut
// form ".<start>~<8 hex>.kestra-new").
bool isStagingName(const QString &fileName);

// Removes the staging files a killed run left anywhere below folder (links
// are not followed); returns how many went.
int sweepStagingFiles(const QString &folder);

#endif // LOCALFILE_H
