// Pack file-information documents as an update server may send them: the
// reader either refuses a document or returns entries that stay inside the
// module folder and the pack folder. The module update's own reader reads
// the plain form straight from the bytes: what that quick path accepts must
// be what the full reader accepts, read the same.

#include "entryname.h"
#include "fileinfo.h"
#include "fileinfoscan.h"
#include "fuzzsupport.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

void fail(const char *what, const QString &detail)
{
    fprintf(stderr, "unsafe or inconsistent reading: %s: %s\n", what, qPrintable(detail));
    abort();
}

bool relativeInside(const QString &text)
{
    const QStringList segments = text.split(QLatin1Char('/'));
    return std::all_of(segments.begin(), segments.end(), isPortableEntryName);
}

QStringList fields(const QVector<ScannedFileInfo> &entries)
{
    QStringList result;
    for (const ScannedFileInfo &e : entries)
        result << e.fileName << e.hash << QString::number(e.size) << QString::number(e.isNeedDelete) << e.path << e.data;
    return result;
}

void checkQuickReader(const QByteArray &bytes)
{
    QVector<ScannedFileInfo> quick, full;
    QString message;
    int line = 0;
    int column = 0;
    if (!quickScanFileInfoEntries(bytes, &quick))
        return;
    if (!fullScanFileInfoEntries(bytes, &full, &message, &line, &column))
        fail("quick reader accepted, the full reader refuses", message);
    if (fields(quick) != fields(full))
        fail("quick reader accepted, the readings differ", QString::number(quick.size()));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    initFuzzEnvironment(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<int>(size));
    checkQuickReader(bytes);
    QList<FileInfoEntry> entries;
    if (!parseFileInfoDocument(bytes, &entries))
        return 0;
    for (const FileInfoEntry &entry : entries) {
        if (!isPortableEntryName(entry.fileName))
            fail("file name", entry.fileName);
        if (!entry.path.isEmpty() && (!entry.path.startsWith(QLatin1Char('/')) || !relativeInside(entry.path.mid(1))))
            fail("path", entry.path);
        if (!entry.data.isEmpty() && !relativeInside(entry.data))
            fail("data", entry.data);
        if (entry.size < 0)
            fail("size", QString::number(entry.size));
    }
    // The file form reads the same.
    static const QString path = scratchPath(QStringLiteral("update_fileinfo.xml"));
    QList<FileInfoEntry> fromFile;
    if (!writeScratch(path, bytes) || !readFileInfoDocument(path, &fromFile) || fromFile.size() != entries.size())
        fail("file read differs", QString::number(entries.size()));
    return 0;
}
