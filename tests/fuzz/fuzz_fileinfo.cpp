// Pack file-information documents as an update server may send them. The module update reads the plain form straight
// from the bytes: what that quick path accepts must be what the full reader accepts, read the same, and neither may
// crash or hang on any input.

#include "fileinfoscan.h"
#include "fuzzsupport.h"

static QStringList fields(const QVector<ScannedFileInfo> &entries)
{
    QStringList result;
    for (const ScannedFileInfo &e : entries)
        result << e.fileName << e.hash << QString::number(e.size) << QString::number(e.isNeedDelete) << e.path << e.data
               << e.sha256;
    return result;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<int>(size));
    QVector<ScannedFileInfo> quick, full;
    QString message;
    int line = 0, column = 0;
    const bool fullRead = fullScanFileInfoEntries(bytes, &full, &message, &line, &column);
    if (!quickScanFileInfoEntries(bytes, &quick))
        return 0;
    if (!fullRead)
        fuzzFail("unsafe or inconsistent reading: quick reader accepted, the full reader refuses", message);
    if (fields(quick) != fields(full))
        fuzzFail("unsafe or inconsistent reading: quick reader accepted, the readings differ", QString::number(quick.size()));
    return 0;
}
