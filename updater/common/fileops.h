#ifndef FILEOPS_H
#define FILEOPS_H

#include <QCryptographicHash>
#include <QString>

// Copying, replacing, removing and hashing local files, for the updater, the
// pack builder and the copier alike, on top of the platform layer (filemove,
// filerange). Each returns false (or an empty text) on failure with the reason
// in error when it is given. Nothing here logs, except calcHash for a caller
// that takes no reason: the others tell failures in their own words.

// Copies source to destination; never overwrites an existing destination.
// On failure error receives "error copy file from %1 to %2 error %3".
bool copyLocalFile(const QString &source, const QString &destination, QString *error = nullptr);

// The same copy, streamed: it hashes the bytes it moves, so each file is read
// once and memory stays at one buffer whatever the size. Gives the SHA-1
// (lowercase hexadecimal) and size of exactly the bytes copied, and their
// SHA-256 when sha256 is given. It writes in place, without the intermediate
// names QFile::copy uses: on failure nothing is left at destination, and error
// receives the text copyLocalFile gives.
bool copyFileHashing(const QString &source, const QString &destination, QString *sha1, QString *error = nullptr,
                     qint64 *size = nullptr, QString *sha256 = nullptr);

// Removes an existing destination (clearing its read-only attribute first).
// On failure error receives "Ошибка при удалении файла %1, %2".
bool removeExistingFile(const QString &destination, QString *error = nullptr);

// Replaces destination by a copy of source. An existing destination is
// replaced in one step (the copy is made beside it, then moved over it), so
// it is never missing, also when the copy fails. On failure error receives
// the copy's text, or "Ошибка при удалении файла %1, %2" when the old file
// cannot be replaced.
bool replaceLocalFile(const QString &source, const QString &destination, QString *error = nullptr);

// Lowercase hexadecimal SHA-1 (or SHA-256 for QCryptographicHash::Sha256, the
// only other one supported) of a whole file; empty when it cannot be read.
// Without error the failure is logged at warning level: callers compare the
// digest with an expected one, and an empty digest counts as a mismatch.
QString calcHash(const QString &fileName, QCryptographicHash::Algorithm algorithm = QCryptographicHash::Sha1,
                 QString *error = nullptr);

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

#endif // FILEOPS_H
