#ifndef FILEINFOSCAN_H
#define FILEINFOSCAN_H

#include <QByteArray>
#include <QString>
#include <QVector>

// The texts of one "fileinfo" element as the module update reads them.
struct ScannedFileInfo
{
    QString fileName;     // attribute "filename"
    QString hash;         // attribute "hash"
    QString size;         // attribute "size"
    QString isNeedDelete; // attribute "is_need_delete"
    QString path;         // text of the first child element "path"
    QString data;         // text of the first child element "data"
};

// Reads every "fileinfo" element below the document element, in document
// order, with the same texts a DOM would give (an element's text is all the
// character data inside it), in one streaming pass: a document of ten
// thousand entries is read in a fraction of the time a DOM takes to build
// and free. Untrusted input: entity declarations and nesting deeper than the
// DOM guard allows are refused. On failure message, line and column describe
// the problem.
bool scanFileInfoEntries(const QByteArray &document, QVector<ScannedFileInfo> *entries, QString *message,
                         int *line, int *column);

#endif // FILEINFOSCAN_H
