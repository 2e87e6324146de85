#ifndef FILERANGE_H
#define FILERANGE_H

#include <QString>

class QFile;

// Appends bytes [offset, offset + length) of in to out at out's position.
// bytes holds exactly those bytes, already read (the caller hashed them):
// where the system can copy between files inside the kernel the range is
// copied there, from the page cache the read just filled, which spares a
// copy through our buffer; elsewhere bytes is written.
bool appendFileRange(QFile &in, qint64 offset, QFile &out, const char *bytes, qint64 length,
                     QString *error = nullptr);

#endif // FILERANGE_H
