// The streaming reader of file-information documents must read exactly what a DOM reads (the mirror path uses
// the DOM) and refuse what the DOM guard refuses. Its quick path, which reads the plain form straight from the
// bytes, must read exactly what the full reader reads, and leave everything else to it.

#include "fileinfoscan.h"
#include "testfiles.h"
#include "xmlguard.h"

#include <QDomDocument>
#include <QtTest>

namespace {

// What the quick reader may do with a document.
const int Declines = 0, Reads = 1, Either = 2;

// What a DOM gives for the same document: every "fileinfo" below the
// document element, attributes, and the text of the first "path"/"data".
QStringList domReading(const QByteArray &document)
{
    QDomDocument dom;
    if (!setUntrustedContent(dom, document))
        return {QStringLiteral("<refused>")};
    QStringList rows;
    const QDomNodeList nodes = dom.documentElement().elementsByTagName(QStringLiteral("fileinfo"));
    for (int i = 0; i < nodes.count(); ++i) {
        const QDomElement e = nodes.at(i).toElement();
        rows << QStringList{e.attribute("filename"), e.attribute("hash"), e.attribute("sha256"),
                            QString::number(fileInfoSize(e.attribute("size"))),
                            QString::number(fileInfoDeleteFlag(e.attribute("is_need_delete"))),
                            e.firstChildElement("path").text(), e.firstChildElement("data").text()}.join('|');
    }
    return rows;
}

QStringList rowsOf(const QVector<ScannedFileInfo> &entries)
{
    QStringList rows;
    for (const ScannedFileInfo &e : entries)
        rows << QStringList{e.fileName, e.hash, e.sha256, QString::number(e.size), QString::number(e.isNeedDelete),
                            e.path, e.data}.join('|');
    return rows;
}

// The whole reader (full: the full reader alone), refusals included.
QStringList scanReading(const QByteArray &document, bool full = false)
{
    QVector<ScannedFileInfo> entries;
    QString message;
    int line = 0, column = 0;
    const bool read = full ? fullScanFileInfoEntries(document, &entries, &message, &line, &column)
                           : scanFileInfoEntries(document, &entries, &message, &line, &column);
    return read ? rowsOf(entries) : QStringList{QStringLiteral("<refused>")};
}

// The quick reader alone; an empty list when it gives up.
bool quickReading(const QByteArray &document, QStringList *rows)
{
    QVector<ScannedFileInfo> entries;
    const bool read = quickScanFileInfoEntries(document, &entries);
    *rows = rowsOf(entries);
    return read;
}

} // namespace

class TestFileInfoScan : public QObject
{
    Q_OBJECT

private slots:
    void reading_data()
    {
        QTest::addColumn<QByteArray>("document");
        QTest::addColumn<int>("quick");
        QTest::newRow("plain text, entities, mixed CDATA, a SHA-256 first and empty elements")
            << QByteArray("<r><fileinfo filename=\"a&amp;b.txt\" size=\"x\"><path>/p&lt;q</path>"
                          "<data>m/<![CDATA[a&]]>b<!-- c -->.txt</data></fileinfo><fileinfo sha256=\"s&amp;2\" "
                          "filename=\"c.txt\" hash=\"h2\" size=\"3\"><path/><data/></fileinfo></r>")
            << Either;
        QTest::newRow("nested fileinfo")
            << QByteArray("<r><fileinfo filename=\"outer\"><fileinfo filename=\"inner\"><path>/i</path></fileinfo>"
                          "<path>/o</path></fileinfo></r>") << Either;
        QTest::newRow("document element named fileinfo is not an entry")
            << QByteArray("<fileinfo filename=\"root\"><fileinfo filename=\"child\"/></fileinfo>") << Either;
        QTest::newRow("declared namespace prefix")
            << QByteArray("<r xmlns:x=\"u\"><x:fileinfo filename=\"a\"/><fileinfo filename=\"b\"/></r>") << Either;
        // Sizes out of range, signed or padded read as the DOM's path reads them.
        QTest::newRow("numbers written otherwise")
            << QByteArray("<r><fileinfo filename=\"a\" size=\" 12 \" is_need_delete=\"+1\"/>"
                          "<fileinfo filename=\"b\" size=\"99999999999999999999\" is_need_delete=\"1x\"/>"
                          "<fileinfo filename=\"c\" size=\"-3\" is_need_delete=\"0001\"/></r>") << Either;
        QTest::newRow("not well-formed") << QByteArray("<r><fileinfo filename=\"a\"></r>") << Either;
        QTest::newRow("entity declaration refused")
            << QByteArray("<!DOCTYPE r [<!ENTITY a \"aaaaaaaaaa\">]><r><fileinfo filename=\"&a;\"/></r>") << Either;
        const QByteArray entry = "<fileinfo filename=\"a\" size=\"1\"><path>/p</path><data>d</data></fileinfo>";
        auto wrap = [&](const QByteArray &inside) { return "<r>" + inside + "</r>"; };
        // Well-formed, but outside the plain form.
        QTest::newRow("type declaration") << "<!DOCTYPE r>" + wrap(entry) << Declines;
        QTest::newRow("character reference in an attribute")
            << wrap("<fileinfo filename=\"&#x41;\"><path>/p</path><data>d</data></fileinfo>") << Declines;
        QTest::newRow("carriage returns") << wrap("\r\n" + entry + "\r\n") << Declines;
        QTest::newRow("byte order mark") << "\xef\xbb\xbf" + wrap(entry) << Declines;
        QTest::newRow("other encoding")
            << "<?xml version=\"1.0\" encoding=\"windows-1251\"?>" + wrap("<fileinfo filename=\"\xee\xf2\"/>")
            << Declines;
        // Not well-formed: the full reader refuses them with its own message.
        QTest::newRow("duplicate attribute") << wrap("<fileinfo filename=\"a\" filename=\"b\"/>") << Declines;
        QTest::newRow("nul") << wrap(QByteArray("<fileinfo filename=\"a\0b\"/>", 27)) << Declines;
        QTest::newRow("invalid utf-8") << wrap("<fileinfo filename=\"a\xff\"/>") << Declines;
        QTest::newRow("text after the document element") << wrap(entry) + "x" << Declines;
        QTest::newRow("nested one level too deep")
            << QByteArray("<x>").repeated(kMaxUntrustedXmlDepth + 1)
                   + QByteArray("</x>").repeated(kMaxUntrustedXmlDepth + 1) << Declines;
        // U+FEFF is a character inside a document, also where a text starts.
        QTest::newRow("zero width no-break space in a cdata section")
            << QByteArray("<r><fileinfo><data><![CDATA[\xef\xbb\xbf" "d]]></data></fileinfo></r>") << Reads;
        // As packwright writes it, which puts a SHA-256 after the attributes the reader knows.
        QByteArray pack = readFile(QStringLiteral(KESTRA_TEST_DATA_DIR "/pack_fileinfo.xml"));
        QVERIFY(pack.contains("is_need_delete=\"0\">"));
        QTest::newRow("pack form with names in Russian and sha256 attributes")
            << pack.replace("is_need_delete=\"0\">", "is_need_delete=\"0\" sha256=\"9f86d081884c7d65\">") << Reads;
    }

    void reading()
    {
        QFETCH(QByteArray, document);
        QFETCH(int, quick);
        // What the quick path declines, the DOM may read otherwise (line ends,
        // attribute blanks, malformed UTF-8): the full reader decides it.
        if (quick != Declines)
            QCOMPARE(scanReading(document), domReading(document));
        QCOMPARE(scanReading(document), scanReading(document, true));
        QStringList quickRows;
        const bool read = quickReading(document, &quickRows);
        if (quick != Either)
            QCOMPARE(read, quick == Reads);
        QCOMPARE(quickRows, read ? scanReading(document, true) : QStringList());
    }

    void fuzzRegressions()
    {
        // Documents the fuzzer (fuzz_fileinfo, which compares the quick and the
        // full reader on every input) once found the quick path reading otherwise.
        const QDir dir(QStringLiteral(KESTRA_FUZZ_REGRESSIONS_DIR "/fileinfo"));
        QVERIFY(!dir.isEmpty(QDir::Files));
        for (const QString &name : dir.entryList(QDir::Files)) {
            const QByteArray document = readFile(dir.filePath(name));
            QStringList quick;
            const bool read = quickReading(document, &quick);
            QCOMPARE(quick, read ? scanReading(document, true) : QStringList());
            QCOMPARE(scanReading(document), scanReading(document, true));
        }
    }
};

QTEST_GUILESS_MAIN(TestFileInfoScan)
#include "tst_fileinfoscan.moc"
