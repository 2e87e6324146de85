#include "filerange.h"

#include <QFile>

bool appendFileRange(QFile &, qint64, QFile &out, const char *bytes, qint64 length, QString *error)
{
    if (out.write(bytes, length) == length)
        return true;
    if (error)
        *error = out.errorString();
    return false;
}
