// The reader of pack file-information documents, which the updater runs on
// documents fetched from servers: what it accepts and what it refuses.

#include "fileinfo.h"
#include "testfiles.h"

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
    void accepted_data()
    {
        QTest::addColumn<QByteArray>("xml");
        QTest::addColumn<int>("count");
        QTest::addColumn<QStringList>("first"); // file name, path, data, hash
        QTest::addColumn<qint64>("size");
        QTest::addColumn<int>("flag");
        const QString h = QStringLiteral("da39a3ee5e6b4b0d3255bfef95601890afd80709");
        QTest::newRow("file at the module root")
            << document(entry("a.txt", "", "m/a.txt")) << 1 << QStringList{"a.txt", "", "m/a.txt", h} << qint64(5) << 0;
        QTest::newRow("cyrillic name in a folder with a blank")
            << document(entry("Отчёт (1).txt", "/Папка с пробелом/inner", "m/0a_b/inner/ABC.txt")) << 1
            << QStringList{"Отчёт (1).txt", "/Папка с пробелом/inner", "m/0a_b/inner/ABC.txt", h} << qint64(5) << 0;
        QTest::newRow("size above 4 GiB") << document(entry("big.bin", "", "m/big.bin", "6442450944")) << 1
                                          << QStringList{"big.bin", "", "m/big.bin", h} << qint64(6442450944LL) << 0;
        QTest::newRow("file marked for deletion without data") << document(entry("old.dll", "/bin", "", "0", "1")) << 1
                                                               << QStringList{"old.dll", "/bin", "", h} << qint64(0) << 1;
        QTest::newRow("entries outside files are read too, in document order")
            << QByteArray("<?xml version=\"1.0\"?><x>" + entry("first", "", "m/first") + "<y>" + entry("second", "", "m/s")
                          + "</y></x>")
            << 2 << QStringList{"first", "", "m/first", h} << qint64(5) << 0;
        QTest::newRow("missing numbers count as zero")
            << QByteArray("<a><fileinfo filename=\"n\"><path/><data>m/n</data></fileinfo></a>") << 1
            << QStringList{"n", "", "m/n", ""} << qint64(0) << 0;
        QTest::newRow("plain doctype without entities")
            << QByteArray("<?xml version=\"1.0\"?><!DOCTYPE updater_pack><updater_pack>" + entry("a", "", "m/a")
                          + "</updater_pack>")
            << 1 << QStringList{"a", "", "m/a", h} << qint64(5) << 0;
        QTest::newRow("no entries") << document(QByteArray()) << 0 << QStringList() << qint64(0) << 0;
    }

    void accepted()
    {
        QFETCH(QByteArray, xml);
        QFETCH(int, count);
        QFETCH(QStringList, first);
        // From memory and, as the updater reads a downloaded pack, from a file.
        QList<FileInfoEntry> entries, fromFile;
        QString error;
        QVERIFY2(parseFileInfoDocument(xml, &entries, &error), qPrintable(error));
        const QString path = m_dir.filePath(QStringLiteral("update_fileinfo.xml"));
        QVERIFY(writeFile(path, xml));
        QVERIFY2(readFileInfoDocument(path, &fromFile, &error), qPrintable(error));
        QCOMPARE(entries.size(), count);
        QCOMPARE(fromFile.size(), count);
        if (count == 0)
            return;
        const FileInfoEntry &e = entries.first();
        QCOMPARE(QStringList({e.fileName, e.path, e.data, e.hash}), first);
        QCOMPARE(QStringList({fromFile.first().fileName, fromFile.first().data}), QStringList({first.at(0), first.at(2)}));
        QTEST(e.size, "size");
        QTEST(e.isNeedDelete, "flag");
    }

    void refused_data()
    {
        QTest::addColumn<QByteArray>("xml"); // null: no file at all
        QTest::newRow("missing file") << QByteArray();
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

    void refused()
    {
        QFETCH(QByteArray, xml);
        // A refused document changes nothing for the caller.
        const QList<FileInfoEntry> before{FileInfoEntry{QStringLiteral("untouched"), {}, 1, 0, {}, {}}};
        QList<FileInfoEntry> entries = before, fromFile = before;
        QString error, fileError;
        const QString path = m_dir.filePath(QStringLiteral("refused.xml"));
        QFile::remove(path);
        if (!xml.isNull()) {
            QVERIFY(writeFile(path, xml));
            QVERIFY(!parseFileInfoDocument(xml, &entries, &error));
            QVERIFY(!error.isEmpty());
        }
        QVERIFY(!readFileInfoDocument(path, &fromFile, &fileError));
        QVERIFY(!xml.isNull() || fileError.contains(QStringLiteral("refused.xml")));
        QVERIFY(!fileError.isEmpty());
        QCOMPARE(entries.size(), 1);
        QCOMPARE(entries.first().fileName, QStringLiteral("untouched"));
        QCOMPARE(fromFile.size(), 1);
        QCOMPARE(fromFile.first().fileName, QStringLiteral("untouched"));
    }

private:
    QTemporaryDir m_dir;
};

QTEST_GUILESS_MAIN(TestFileInfo)
#include "tst_fileinfo.moc"
