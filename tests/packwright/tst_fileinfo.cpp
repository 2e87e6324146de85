// The reader of pack file-information documents, which the updater runs on
// documents fetched from servers: what it accepts and what it refuses.

#include "entryname.h"
#include "fileinfo.h"
#include "testfiles.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QByteArray document(const QByteArray &fileInfos)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<updater_pack datetime=\"2026-12-06T10:00:00Z\" "
           "guid=\"{00000000-0000-0000-0000-000000000000}\">\n<modules><infoaboutmodule name=\"m\" "
           "is_required=\"0\"><files>\n"
           + fileInfos + "\n</files></infoaboutmodule></modules><commands/></updater_pack>\n";
}

QByteArray entry(const QByteArray &fileName, const QByteArray &path, const QByteArray &data,
                 const QByteArray &size = "5", const QByteArray &flag = "0")
{
    return "<fileinfo filename=\"" + fileName + "\" hash=\"da39a3ee5e6b4b0d3255bfef95601890afd80709\" size=\"" + size
           + "\" is_need_delete=\"" + flag + "\"><path><![CDATA[" + path + "]]></path><data><![CDATA[" + data
           + "]]></data></fileinfo>";
}

} // namespace

class TestFileInfo : public QObject
{
    Q_OBJECT

private slots:
    void accepted_data();
    void accepted();
    void refused_data();
    void refused();
    void readsFile();
    void fuzzRegressions();
};

void TestFileInfo::accepted_data()
{
    QTest::addColumn<QByteArray>("xml");
    QTest::addColumn<int>("count");
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("data");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<int>("flag");

    QTest::newRow("file at the module root") << document(entry("a.txt", "", "m/a.txt")) << 1 << "a.txt" << ""
                                             << "m/a.txt" << qint64(5) << 0;
    QTest::newRow("cyrillic name in a folder with a blank")
        << document(entry("Отчёт (1).txt", "/Папка с пробелом/inner", "m/0a_b/inner/ABC.txt")) << 1
        << "Отчёт (1).txt"
        << "/Папка с пробелом/inner"
        << "m/0a_b/inner/ABC.txt" << qint64(5) << 0;
    QTest::newRow("size above 4 GiB") << document(entry("big.bin", "", "m/big.bin", "6442450944")) << 1 << "big.bin"
                                      << ""
                                      << "m/big.bin" << qint64(6442450944LL) << 0;
    QTest::newRow("file marked for deletion without data")
        << document(entry("old.dll", "/bin", "", "0", "1")) << 1 << "old.dll"
        << "/bin" << "" << qint64(0) << 1;
    QTest::newRow("entries outside files are read too, in document order")
        << QByteArray("<?xml version=\"1.0\"?><x>" + entry("first", "", "m/first") + "<y>" + entry("second", "", "m/s")
                      + "</y></x>")
        << 2 << "first"
        << ""
        << "m/first" << qint64(5) << 0;
    QTest::newRow("missing numbers count as zero")
        << QByteArray("<a><fileinfo filename=\"n\"><path/><data>m/n</data></fileinfo></a>") << 1 << "n"
        << ""
        << "m/n" << qint64(0) << 0;
    QTest::newRow("plain doctype without entities")
        << QByteArray("<?xml version=\"1.0\"?><!DOCTYPE updater_pack><updater_pack>" + entry("a", "", "m/a")
                      + "</updater_pack>")
        << 1 << "a"
        << ""
        << "m/a" << qint64(5) << 0;
    QTest::newRow("no entries") << document(QByteArray()) << 0 << "" << "" << "" << qint64(0) << 0;
}

void TestFileInfo::accepted()
{
    QFETCH(QByteArray, xml);
    QFETCH(int, count);
    QList<FileInfoEntry> entries;
    QString error;
    QVERIFY2(parseFileInfoDocument(xml, &entries, &error), qPrintable(error));
    QCOMPARE(entries.size(), count);
    if (count == 0)
        return;
    QTEST(entries.first().fileName, "fileName");
    QTEST(entries.first().path, "path");
    QTEST(entries.first().data, "data");
    QTEST(entries.first().size, "size");
    QTEST(entries.first().isNeedDelete, "flag");
    QCOMPARE(entries.first().hash, entries.first().size == 0 && count == 1 && entries.first().fileName == "n"
                                       ? QString()
                                       : QStringLiteral("da39a3ee5e6b4b0d3255bfef95601890afd80709"));
}

void TestFileInfo::refused_data()
{
    QTest::addColumn<QByteArray>("xml");
    QTest::newRow("not xml") << QByteArray("this is not a document");
    QTest::newRow("truncated") << document(entry("a", "", "m/a")).left(120);
    QTest::newRow("entity expansion") << QByteArray(
        "<?xml version=\"1.0\"?><!DOCTYPE p [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;\">]>"
        "<p><fileinfo filename=\"&b;\"/></p>");
    QTest::newRow("file name climbing up") << document(entry("..", "", "m/x"));
    QTest::newRow("file name with a slash") << document(entry("../../evil.exe", "", "m/x"));
    QTest::newRow("file name with a backslash") << document(entry("..\\..\\evil.exe", "", "m/x"));
    QTest::newRow("file name with a drive") << document(entry("C:evil.exe", "", "m/x"));
    QTest::newRow("empty file name") << document(entry("", "", "m/x"));
    QTest::newRow("path climbing up") << document(entry("a", "/../../Windows", "m/a"));
    QTest::newRow("path without leading slash") << document(entry("a", "sub", "m/a"));
    QTest::newRow("path with a backslash segment") << document(entry("a", "/..\\..", "m/a"));
    QTest::newRow("path with an empty segment") << document(entry("a", "/sub//x", "m/a"));
    QTest::newRow("data absolute") << document(entry("a", "", "/etc/passwd"));
    QTest::newRow("data climbing up") << document(entry("a", "", "m/../../secret"));
    QTest::newRow("data with a drive") << document(entry("a", "", "C:/secret"));
    QTest::newRow("negative size") << document(entry("a", "", "m/a", "-1"));
    QTest::newRow("size not a number") << document(entry("a", "", "m/a", "12kB"));
    QTest::newRow("deletion flag not a number") << document(entry("a", "", "m/a", "1", "yes"));
    QTest::newRow("deletion flag beyond int") << document(entry("a", "", "m/a", "1", "99999999999"));
    QTest::newRow("control character in a name") << document(entry("a&#1;b", "", "m/a"));
}

void TestFileInfo::refused()
{
    QFETCH(QByteArray, xml);
    QList<FileInfoEntry> entries{FileInfoEntry{QStringLiteral("untouched"), {}, 1, 0, {}, {}}};
    QString error;
    QVERIFY(!parseFileInfoDocument(xml, &entries, &error));
    QVERIFY(!error.isEmpty());
    // A refused document changes nothing for the caller.
    QCOMPARE(entries.size(), 1);
    QCOMPARE(entries.first().fileName, QStringLiteral("untouched"));
}

void TestFileInfo::readsFile()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("update_fileinfo.xml"));
    QVERIFY(writeFile(path, document(entry("a.txt", "/sub", "m/sub/a.txt"))));
    QList<FileInfoEntry> entries;
    QString error;
    QVERIFY2(readFileInfoDocument(path, &entries, &error), qPrintable(error));
    QCOMPARE(entries.size(), 1);
    QCOMPARE(entries.first().data, QStringLiteral("m/sub/a.txt"));
    QVERIFY(!readFileInfoDocument(dir.filePath(QStringLiteral("missing.xml")), &entries, &error));
    QVERIFY(error.contains(QStringLiteral("missing.xml")));
}

void TestFileInfo::fuzzRegressions()
{
    // Inputs the fuzzer once failed on are kept under
    // tests/fuzz/regressions/fileinfo/; each must be read or refused cleanly.
    const QDir dir(QStringLiteral(KESTRA_FUZZ_REGRESSIONS_DIR "/fileinfo"));
    const QStringList files = dir.entryList(QDir::Files);
    if (files.isEmpty())
        QSKIP("no kept fuzz inputs for the pack reader");
    for (const QString &name : files) {
        QList<FileInfoEntry> entries;
        QString error;
        if (parseFileInfoDocument(readFile(dir.filePath(name)), &entries, &error)) {
            for (const FileInfoEntry &entry : qAsConst(entries))
                QVERIFY2(isPortableEntryName(entry.fileName), qPrintable(name));
        } else {
            QVERIFY2(!error.isEmpty(), qPrintable(name));
        }
    }
}

QTEST_GUILESS_MAIN(TestFileInfo)
#include "tst_fileinfo.moc"
