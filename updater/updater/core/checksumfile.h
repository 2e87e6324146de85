#ifndef CHECKSUMFILE_H
#define CHECKSUMFILE_H

#include <QString>

// The checksum file a pack (and a mirror) publishes beside a
// file-information document: the document's SHA-1 as 40 lowercase hex
// digits, a tab and the document's name. Reading it first lets an
// up-to-date start transfer a few dozen bytes instead of the document.

// "update_fileinfo.xml" -> "update_fileinfo.sha1".
QString checksumFileName(const QString &documentName);

// The SHA-1 named by the checksum file at path; empty when it is missing,
// too long or not of that form.
QString readChecksumFile(const QString &path);

// Writes the checksum file of the document at documentPath beside it,
// atomically. False with the reason when it could not be written.
bool writeChecksumFile(const QString &documentPath, QString *error = nullptr);

// The local record's modification time stands for the last time its
// document was downloaded whole. A checksum file that was not updated with a
// document replaced by hand must not hide the update for long: after a day
// the document is fetched whole again whatever the checksum file says.
bool fetchedWholeRecently(const QString &recordPath);
void markFetchedWhole(const QString &recordPath);

#endif // CHECKSUMFILE_H
