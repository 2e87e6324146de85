#ifndef FILEINFO_H
#define FILEINFO_H

#include <QList>
#include <QString>

// One "fileinfo" element of a pack's file-information document
// (update_fileinfo.xml): a file, its place in the module, its SHA-1, its size
// and where the stored copy lies in the pack.
struct FileInfoEntry
{
    QString fileName;  // "filename"
    QString hash;      // "hash", lowercase hexadecimal SHA-1
    qint64 size = 0;   // "size"
    int isNeedDelete = 0; // "is_need_delete"
    QString path;      // text of "path": "" or "/sub/folder"
    QString data;      // text of "data": stored copy relative to the pack folder
};

// Reads every "fileinfo" element anywhere in the document, in document order.
// Untrusted input: documents with entity declarations are refused.
bool parseFileInfoDocument(const QByteArray &data, QList<FileInfoEntry> *entries, QString *error = nullptr);
bool readFileInfoDocument(const QString &filePath, QList<FileInfoEntry> *entries, QString *error = nullptr);

#endif // FILEINFO_H
