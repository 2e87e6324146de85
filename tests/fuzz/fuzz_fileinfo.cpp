// Pack file-information documents as an update server may send them: the
// reader either refuses a document or returns entries that stay inside the
// module folder and the pack folder. The module update's own reader reads
// the plain form straight from the bytes: what that quick path accepts must
// be what the full reader accepts, read the same.

#include "fileinfo.h"
#include "fileinfoscan.h"
#include "fuzzsupport.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

void fail(const char *what, const QString &detail)
{
    fprintf(stderr, "unsafe entry accepted: %s: %s\n", what, qPrintable(detail));
    abort();
}

bool relativeInside(const QString &text)
{
    for (const QString &segment : text.split(QLatin1Char('/'))) {
        if (!isPortableEntryName(segment))
            return false;
    }
    return true;
}

void differ(const char *what, const QString &detail)
{
    fprintf(stderr, "quick reader accepted a document: %s: %s\n", what, qPrintable(detail));
    abort();
}

bool sameEntries(const QVector<ScannedFileInfo> &a, const QVector<ScannedFileInfo> &b)
{
    if (a.size() != b.size())
        return false;
    for (int i = 0; i < a.size(); ++i) {
        if (a[i].fileName != b[i].fileName || a[i].hash != b[i].hash || a[i].size != b[i].size
            || a[i].isNeedDelete != b[i].isNeedDelete || a[i].path != b[i].path || a[i].data != b[i].data)
            return false;
    }
    return true;
}

void checkQuickReader(const QByteArray &bytes)
{
    QVector<ScannedFileInfo> quick;
    if (!quickScanFileInfoEntries(bytes, &quick))
        return;
    QVector<ScannedFileInfo> full;
    QString message;
    int line = 0;
    int column = 0;
    if (!fullScanFileInfoEntries(bytes, &full, &message, &line, &column))
        differ("the full reader refuses it", message);
    if (!sameEntries(quick, full))
        differ("the readings differ", QString::number(quick.size()));
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
    if (!writeScratch(path, bytes))
        abort();
    QList<FileInfoEntry> fromFile;
    if (!readFileInfoDocument(path, &fromFile) || fromFile.size() != entries.size())
        fail("file read differs", QString::number(entries.size()));
    return 0;
}
