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
    void documents_data()
    {
        QTest::addColumn<QByteArray>("xml");  // null: no file at all
        QTest::addColumn<QStringList>("first"); // file name, path, data, hash, size, flag; empty: refused
        const QString h = QStringLiteral("da39a3ee5e6b4b0d3255bfef95601890afd80709");
        QTest::newRow("cyrillic name in a folder with a blank")
            << document(entry("Отчёт (1).txt", "/Папка с пробелом/inner", "m/0a_b/inner/ABC.txt", "6442450944"))
            << QStringList{"Отчёт (1).txt", "/Папка с пробелом/inner", "m/0a_b/inner/ABC.txt", h, "6442450944", "0"};
        QTest::newRow("file marked for deletion without data") << document(entry("old.dll", "/bin", "", "0", "1"))
                                                               << QStringList{"old.dll", "/bin", "", h, "0", "1"};
        QTest::newRow("missing numbers count as zero, entries outside files read too")
            << QByteArray("<!DOCTYPE a><a><b><fileinfo filename=\"n\"><path/><data>m/n</data></fileinfo></b></a>")
            << QStringList{"n", "", "m/n", "", "0", "0"};
        QTest::newRow("missing file") << QByteArray() << QStringList();
        QTest::newRow("not xml") << QByteArray("this is not a document") << QStringList();
        QTest::newRow("truncated") << document(entry("a", "", "m/a")).left(120) << QStringList();
        QTest::newRow("entity expansion") << QByteArray(
            "<?xml version=\"1.0\"?><!DOCTYPE p [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;\">]>"
            "<p><fileinfo filename=\"&b;\"/></p>") << QStringList();
        const QList<QPair<const char *, QByteArray>> hostile = {
            {"file name climbing up", entry("..", "", "m/x")},
            {"file name with a slash", entry("../../evil.exe", "", "m/x")},
            {"file name with a backslash", entry("..\\..\\evil.exe", "", "m/x")},
            {"file name with a drive", entry("C:evil.exe", "", "m/x")},
            {"empty file name", entry("", "", "m/x")},
            {"path climbing up", entry("a", "/../../Windows", "m/a")},
            {"path without leading slash", entry("a", "sub", "m/a")},
            {"path with a backslash segment", entry("a", "/..\\..", "m/a")},
            {"path with an empty segment", entry("a", "/sub//x", "m/a")},
            {"data absolute", entry("a", "", "/etc/passwd")},
            {"data climbing up", entry("a", "", "m/../../secret")},
            {"data with a drive", entry("a", "", "C:/secret")},
            {"negative size", entry("a", "", "m/a", "-1")},
            {"size not a number", entry("a", "", "m/a", "12kB")},
            {"deletion flag not a number", entry("a", "", "m/a", "1", "yes")},
            {"deletion flag beyond int", entry("a", "", "m/a", "1", "99999999999")},
            {"control character in a name", entry("a&#1;b", "", "m/a")},
        };
        for (const auto &row : hostile)
            QTest::newRow(row.first) << document(entry("ok.txt", "", "m/ok.txt") + row.second) << QStringList();
    }

    void documents()
    {
        QFETCH(QByteArray, xml);
        QFETCH(QStringList, first);
        // From memory and, as a downloaded pack is read, from a file; a
        // refused document changes nothing for the caller.
        const QList<FileInfoEntry> before{FileInfoEntry{QStringLiteral("untouched"), {}, 1, 0, {}, {}}};
        QList<FileInfoEntry> entries = before, fromFile = before;
        QString error, fileError;
        const QString path = m_dir.filePath(QStringLiteral("update_fileinfo.xml"));
        QFile::remove(path);
        QVERIFY(xml.isNull() || writeFile(path, xml));
        const bool ok = !first.isEmpty();
        QCOMPARE(readFileInfoDocument(path, &fromFile, &fileError), ok);
        QCOMPARE(!xml.isNull() && parseFileInfoDocument(xml, &entries, &error), ok);
        QCOMPARE(fileError.isEmpty(), ok);
        QCOMPARE(error.isEmpty(), ok || xml.isNull());
        if (!ok) {
            QVERIFY(!xml.isNull() || fileError.contains(path));
            QCOMPARE(entries.size() + fromFile.size(), 2);
            QCOMPARE(entries.first().fileName + fromFile.first().fileName, QStringLiteral("untoucheduntouched"));
            return;
        }
        QCOMPARE(entries.size(), 1);
        const FileInfoEntry &e = entries.first();
        QCOMPARE(QStringList({e.fileName, e.path, e.data, e.hash, QString::number(e.size), QString::number(e.isNeedDelete)}),
                 first);
        QCOMPARE(fromFile.size(), 1);
        QCOMPARE(fromFile.first().data, e.data);
    }

private:
    QTemporaryDir m_dir;
};

QTEST_GUILESS_MAIN(TestFileInfo)
#include "tst_fileinfo.moc"
