#include "filerange.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <unistd.h>

bool appendFileRange(QFile &in, qint64 offset, QFile &out, const char *bytes, qint64 length, QString *error)
{
    loff_t from = offset;
    qint64 done = 0;
    // File systems or kernels without in-kernel copies between these two
    // files refuse at once; the rest of the range is then written from bytes.
    while (done < length) {
        const ssize_t copied =
            ::copy_file_range(in.handle(), &from, out.handle(), nullptr, static_cast<size_t>(length - done), 0);
        if (copied <= 0)
            break;
        done += copied;
    }
    // The kernel moved out's file position; QFile must agree before it
    // writes, or it would put the rest back where its own count stands.
    if (!out.seek(out.pos() + done)) {
        if (error)
            *error = out.errorString();
        return false;
    }
    if (done == length || out.write(bytes + done, length - done) == length - done)
        return true;
    if (error)
        *error = out.errorString();
    return false;
}
