#ifndef FILEINFOSCAN_H
#define FILEINFOSCAN_H

#include <QByteArray>
#include <QString>
#include <QVector>

// The texts of one "fileinfo" element as the module update reads them.
struct ScannedFileInfo
{
    // The digest a file is checked by: SHA-256 when the entry has one (SHA-1
    // alone does not resist a collision made by whoever builds the pack),
    // SHA-1 otherwise. The two have different lengths, 64 and 40 digits.
    const QString &checkedHash() const { return sha256.isEmpty() ? hash : sha256; }

    QString fileName;     // attribute "filename"
    QString hash;         // attribute "hash"
    QString sha256;       // attribute "sha256", empty in older documents
    qint64 size = 0;      // attribute "size", read by fileInfoSize
    int isNeedDelete = 0; // attribute "is_need_delete", read by fileInfoDeleteFlag
    QString path;         // text of the first child element "path"
    QString data;         // text of the first child element "data"
};

// The "size" attribute: a 64-bit signed decimal byte count; text that is
// not a number counts as 0.
qint64 fileInfoSize(const QString &text);
// The "is_need_delete" attribute: a decimal integer, 0 when it is none.
int fileInfoDeleteFlag(const QString &text);

// Reads every "fileinfo" element below the document element, in document
// order, with the same texts a DOM would give (an element's text is all the
// character data inside it), in one streaming pass: a document of ten
// thousand entries is read in a fraction of the time a DOM takes to build
// and free, and one in the plain form pack builders write is read straight
// from its bytes. Untrusted input: entity declarations and nesting deeper
// than the DOM guard allows are refused. On failure message, line and column
// describe the problem.
bool scanFileInfoEntries(const QByteArray &document, QVector<ScannedFileInfo> *entries, QString *message,
                         int *line, int *column);

// The quick path of scanFileInfoEntries on its own: reads documents in the
// plain form pack builders write, and gives up (false, no entries) on
// anything else, which the full reader then decides. Whatever it accepts it
// reads exactly as the full reader does.
bool quickScanFileInfoEntries(const QByteArray &document, QVector<ScannedFileInfo> *entries);

// The full path of scanFileInfoEntries on its own: Qt's strict stream reader,
// for every document.
bool fullScanFileInfoEntries(const QByteArray &document, QVector<ScannedFileInfo> *entries, QString *message,
                             int *line, int *column);

#endif // FILEINFOSCAN_H
