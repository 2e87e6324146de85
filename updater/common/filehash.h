#ifndef FILEHASH_H
#define FILEHASH_H

#include <QString>

// Streaming SHA-1 over files: memory use stays at one buffer whatever the
// file size, and a copy hashes the bytes it moves, so each file is read once.

// The SHA-1 of the file's content as 40 lowercase hexadecimal characters;
// empty when the file cannot be opened or read (reason in error).
QString fileSha1Hex(const QString &path, QString *error = nullptr);

// Which side of a copy failed.
enum class FileCopyFault {
    None,
    SourceOpen,  // the source cannot be opened for reading
    SourceRead,  // reading the source failed part way
    Destination  // the destination cannot be created or written
};

// Copies source to a new file destination (an existing destination is an
// error, never overwritten) and returns the SHA-1 (lowercase hexadecimal)
// and size of exactly the bytes copied. On failure nothing is left at the
// destination; fault and error (when given) tell what went wrong. With
// sha256Hex the same pass also gives the SHA-256 of those bytes.
bool copyFileWithSha1(const QString &source, const QString &destination, QString *sha1Hex, qint64 *size,
                      FileCopyFault *fault = nullptr, QString *error = nullptr, QString *sha256Hex = nullptr);

#endif // FILEHASH_H
