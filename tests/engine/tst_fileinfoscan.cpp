// The streaming reader of file-information documents must read exactly what
// a DOM reads (the mirror path uses the DOM), and refuse what the DOM guard
// refuses. Its quick path, which reads the plain form straight from the
// bytes, must read exactly what the full reader reads, and leave everything
// else to it.

#include "fileinfoscan.h"
#include "xmlguard.h"

#include <QDomDocument>
#include <QtTest>

#include <random>

namespace {

// Newer documents carry a SHA-256 too; rows of older ones stay as they were.
QString withSha256(const QString &sha256)
{
    return sha256.isEmpty() ? QString() : QStringLiteral("|sha256=") + sha256;
}

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
        rows << QStringList{e.attribute(QStringLiteral("filename")), e.attribute(QStringLiteral("hash")),
                            QString::number(fileInfoSize(e.attribute(QStringLiteral("size")))),
                            QString::number(fileInfoDeleteFlag(e.attribute(QStringLiteral("is_need_delete")))),
                            e.firstChildElement(QStringLiteral("path")).text(),
                            e.firstChildElement(QStringLiteral("data")).text()}
                        .join(QLatin1Char('|'))
                    + withSha256(e.attribute(QStringLiteral("sha256")));
    }
    return rows;
}

QStringList scanReading(const QByteArray &document)
{
    QVector<ScannedFileInfo> entries;
    QString message;
    int line = 0;
    int column = 0;
    if (!scanFileInfoEntries(document, &entries, &message, &line, &column))
        return {QStringLiteral("<refused>")};
    QStringList rows;
    for (const ScannedFileInfo &e : entries)
        rows << QStringList{e.fileName, e.hash, QString::number(e.size), QString::number(e.isNeedDelete), e.path, e.data}
                        .join(QLatin1Char('|'))
                    + withSha256(e.sha256);
    return rows;
}

QStringList rowsOf(const QVector<ScannedFileInfo> &entries)
{
    QStringList rows;
    for (const ScannedFileInfo &e : entries)
        rows << QStringList{e.fileName, e.hash, QString::number(e.size), QString::number(e.isNeedDelete), e.path,
                            e.data}
                        .join(QLatin1Char('|'))
                    + withSha256(e.sha256);
    return rows;
}

// The full reader alone, refusals included.
QStringList fullReading(const QByteArray &document)
{
    QVector<ScannedFileInfo> entries;
    QString message;
    int line = 0;
    int column = 0;
    if (!fullScanFileInfoEntries(document, &entries, &message, &line, &column))
        return {QStringLiteral("<refused>")};
    return rowsOf(entries);
}

// The quick reader alone; an empty list when it gives up.
bool quickReading(const QByteArray &document, QStringList *rows)
{
    QVector<ScannedFileInfo> entries;
    const bool read = quickScanFileInfoEntries(document, &entries);
    *rows = rowsOf(entries);
    return read;
}

// A document as packwright writes it, with a few files of every kind.
QByteArray packDocument()
{
    return QByteArray("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<updater_pack datetime=\"2026-12-07T00:31:13Z\" guid=\"{61978a36-c3fa}\">\n"
                      "    <modules>\n"
                      "        <infoaboutmodule name=\"app\" is_required=\"0\">\n"
                      "            <files>\n"
                      "                <fileinfo filename=\"a.exe\" hash=\"25e70cf156ea7a9bfe090487c2586f82d816376b\" "
                      "size=\"14294\" is_need_delete=\"0\">\n"
                      "                    <path><![CDATA[]]></path>\n"
                      "                    <data><![CDATA[app/a.exe]]></data>\n"
                      "                </fileinfo>\n"
                      "                <fileinfo filename=\"\xd0\xbe\xd1\x82\xd1\x87\xd1\x91\xd1\x82 &amp; "
                      "\xe2\x84\x96" "1.txt\" hash=\"b7183665a22fefd9d15bf5f9e044ecd623a31b7a\" size=\"8650\" "
                      "is_need_delete=\"0\">\n"
                      "                    <path><![CDATA[/docs]]></path>\n"
                      "                    <data><![CDATA[app/docs/\xd0\xbe\xd1\x82\xd1\x87\xd1\x91\xd1\x82 & "
                      "\xe2\x84\x96" "1.txt]]></data>\n"
                      "                </fileinfo>\n"
                      "                <fileinfo filename=\"b.dll\" hash=\"215510caa002f228487d6ffdb4a9942d749f2dfb\" "
                      "size=\"5153\" is_need_delete=\"0\">\n"
                      "                    <path><![CDATA[/docs]]></path>\n"
                      "                    <data><![CDATA[app/docs/b.dll]]></data>\n"
                      "                </fileinfo>\n"
                      "                <fileinfo filename=\"old.cfg\" hash=\"\" size=\"0\" is_need_delete=\"1\">\n"
                      "                    <path><![CDATA[/etc]]></path>\n"
                      "                    <data><![CDATA[]]></data>\n"
                      "                </fileinfo>\n"
                      "            </files>\n"
                      "        </infoaboutmodule>\n"
                      "        <description><![CDATA[]]></description>\n"
                      "        <localizedname><![CDATA[\xd0\x9f\xd1\x80\xd0\xbe\xd0\xb3\xd1\x80\xd0\xb0\xd0"
                      "\xbc\xd0\xbc\xd0\xb0]]></localizedname>\n"
                      "    </modules>\n"
                      "    <commands/>\n"
                      "</updater_pack>\n");
}

} // namespace

class TestFileInfoScan : public QObject
{
    Q_OBJECT

private slots:
    void sameAsDom_data();
    void sameAsDom();
    void reportsPosition();
    void quickReadsPackForm();
    void quickLeavesTheRest_data();
    void quickLeavesTheRest();
    void quickReadsAsFull_data();
    void quickReadsAsFull();
    void quickNeverDiffersFromFull_data();
    void quickNeverDiffersFromFull();
    void fuzzRegressions();
};

void TestFileInfoScan::sameAsDom_data()
{
    QTest::addColumn<QByteArray>("document");
    QTest::newRow("pack form")
        << QByteArray("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<updater_pack datetime=\"x\"><modules>"
                      "<infoaboutmodule name=\"m\"><files>"
                      "<fileinfo filename=\"a.txt\" hash=\"h1\" size=\"12\" is_need_delete=\"0\">"
                      "<path><![CDATA[]]></path><data><![CDATA[m/a.txt]]></data></fileinfo>"
                      "<fileinfo filename=\"c.txt\" hash=\"h2\" size=\"3\" is_need_delete=\"1\">"
                      "<path><![CDATA[/sub]]></path><data><![CDATA[m/sub/c.txt]]></data></fileinfo>"
                      "</files></infoaboutmodule><description><![CDATA[]]></description></modules>"
                      "<commands/></updater_pack>\n");
    QTest::newRow("pack form with SHA-256")
        << QByteArray("<updater_pack><modules><infoaboutmodule name=\"m\"><files>"
                      "<fileinfo filename=\"a.txt\" hash=\"h1\" size=\"12\" is_need_delete=\"0\" sha256=\"s1\">"
                      "<path><![CDATA[]]></path><data><![CDATA[m/a.txt]]></data></fileinfo>"
                      "<fileinfo sha256=\"s&amp;2\" filename=\"c.txt\" hash=\"h2\" size=\"3\">"
                      "<path/><data/></fileinfo></files></infoaboutmodule></modules></updater_pack>");
    QTest::newRow("plain text, entities and mixed CDATA")
        << QByteArray("<r><fileinfo filename=\"a&amp;b.txt\" size=\"x\"><path>/p&lt;q</path>"
                      "<data>m/<![CDATA[a&]]>b<!-- c -->.txt</data></fileinfo></r>");
    QTest::newRow("only the first path and data count")
        << QByteArray("<r><fileinfo filename=\"a\"><path>/one</path><path>/two</path><data>d1</data>"
                      "<data>d2</data></fileinfo></r>");
    QTest::newRow("text of nested elements belongs to the path")
        << QByteArray("<r><fileinfo filename=\"a\"><path>/x<b>/y</b></path></fileinfo></r>");
    QTest::newRow("fileinfo anywhere, in document order")
        << QByteArray("<r><a><b><fileinfo filename=\"deep\"/></b></a><fileinfo filename=\"top\"/></r>");
    QTest::newRow("nested fileinfo")
        << QByteArray("<r><fileinfo filename=\"outer\"><fileinfo filename=\"inner\"><path>/i</path></fileinfo>"
                      "<path>/o</path></fileinfo></r>");
    QTest::newRow("path of a grandchild is not the entry's")
        << QByteArray("<r><fileinfo filename=\"a\"><x><path>/not</path></x></fileinfo></r>");
    QTest::newRow("document element named fileinfo is not an entry")
        << QByteArray("<fileinfo filename=\"root\"><fileinfo filename=\"child\"/></fileinfo>");
    QTest::newRow("pack form with names in Russian") << packDocument();
    QTest::newRow("numbers written otherwise")
        << QByteArray("<r><fileinfo filename=\"a\" size=\" 12 \" is_need_delete=\"+1\"/>"
                      "<fileinfo filename=\"b\" size=\"99999999999999999999\" is_need_delete=\"1x\"/>"
                      "<fileinfo filename=\"c\" size=\"-3\" is_need_delete=\"0001\"/>"
                      "<fileinfo filename=\"d\" size=\"1&#48;\" is_need_delete=\"&#49;\"/>"
                      "<fileinfo filename=\"e\" size=\"123456789012345678\" is_need_delete=\"\"/></r>");
    QTest::newRow("undeclared prefixes, as a schema reference writes them")
        << QByteArray("<updater_pack xsi:noNamespaceSchemaLocation=\"p.xsd\"><fileinfo filename=\"a\" x:note=\"n\">"
                      "<path>/p</path></fileinfo><x:fileinfo filename=\"b\"/></updater_pack>");
    QTest::newRow("declared namespace prefix")
        << QByteArray("<r xmlns:x=\"u\"><x:fileinfo filename=\"a\"/><fileinfo filename=\"b\"/></r>");
    QTest::newRow("no entries") << QByteArray("<updater_pack><modules/></updater_pack>");
    QTest::newRow("not well-formed") << QByteArray("<r><fileinfo filename=\"a\"></r>");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("entity declaration refused")
        << QByteArray("<!DOCTYPE r [<!ENTITY a \"aaaaaaaaaa\">]><r><fileinfo filename=\"&a;\"/></r>");
    QByteArray deep;
    for (int i = 0; i < 5000; ++i)
        deep += "<x>";
    QTest::newRow("nesting too deep refused") << deep;
}

void TestFileInfoScan::sameAsDom()
{
    QFETCH(QByteArray, document);
    QCOMPARE(scanReading(document), domReading(document));
}

void TestFileInfoScan::reportsPosition()
{
    QVector<ScannedFileInfo> entries;
    QString message;
    int line = 0;
    int column = 0;
    QVERIFY(!scanFileInfoEntries("<r>\n<fileinfo filename=\"a\">\n</r>", &entries, &message, &line, &column));
    QVERIFY(!message.isEmpty());
    QCOMPARE(line, 3);
    QVERIFY(column > 0);
    QVERIFY(entries.isEmpty());
}

void TestFileInfoScan::quickReadsPackForm()
{
    // The form pack builders write is what the quick path is for.
    QStringList quick;
    QVERIFY(quickReading(packDocument(), &quick));
    QCOMPARE(quick.size(), 4);
    QCOMPARE(quick, fullReading(packDocument()));
    QCOMPARE(quick.at(1), QString::fromUtf8("отчёт & №1.txt|b7183665a22fefd9d15bf5f9e044ecd623a31b7a|8650|0|/docs|"
                                            "app/docs/отчёт & №1.txt"));
}

void TestFileInfoScan::quickLeavesTheRest_data()
{
    QTest::addColumn<QByteArray>("document");
    const QByteArray entry = "<fileinfo filename=\"a\" size=\"1\"><path>/p</path><data>d</data></fileinfo>";
    auto wrap = [&](const QByteArray &inside) { return "<r>" + inside + "</r>"; };
    // Well-formed, but outside the plain form.
    QTest::newRow("type declaration") << "<!DOCTYPE r>" + wrap(entry);
    QTest::newRow("processing instruction") << "<?pi x?>" + wrap(entry);
    QTest::newRow("character reference in an attribute")
        << wrap("<fileinfo filename=\"&#x41;\"><path>/p</path><data>d</data></fileinfo>");
    QTest::newRow("character reference in text")
        << wrap("<fileinfo filename=\"a\"><path>/&#112;</path><data>d</data></fileinfo>");
    QTest::newRow("namespace prefix") << QByteArray("<r xmlns:x=\"u\"><x:fileinfo filename=\"a\"/></r>");
    QTest::newRow("default namespace") << QByteArray("<r xmlns=\"u\"><fileinfo filename=\"a\"/></r>");
    QTest::newRow("carriage returns") << wrap("\r\n" + entry + "\r\n");
    QTest::newRow("carriage return in a path")
        << wrap("<fileinfo filename=\"a\"><path>/p\rq</path><data>d</data></fileinfo>");
    QTest::newRow("byte order mark") << "\xef\xbb\xbf" + wrap(entry);
    QTest::newRow("other encoding")
        << "<?xml version=\"1.0\" encoding=\"windows-1251\"?>" + wrap("<fileinfo filename=\"\xee\xf2\"/>");
    QTest::newRow("version 1.1") << "<?xml version=\"1.1\"?>" + wrap(entry);
    QTest::newRow("tab in an attribute") << wrap("<fileinfo filename=\"a\tb\"/>");
    QTest::newRow("line break in an attribute") << wrap("<fileinfo filename=\"a\nb\"/>");
    QTest::newRow("C1 control") << wrap("<fileinfo filename=\"a\xc2\x85\"/>");
    // Not well-formed: the full reader refuses them with its own message.
    QTest::newRow("duplicate attribute") << wrap("<fileinfo filename=\"a\" filename=\"b\"/>");
    QTest::newRow("double hyphen in a comment") << wrap("<!-- a -- b -->" + entry);
    QTest::newRow("comment ending in a hyphen") << wrap("<!-- a --->" + entry);
    QTest::newRow("cdata end in text") << wrap("]]>" + entry);
    QTest::newRow("control character") << wrap(entry + "\x01");
    QTest::newRow("nul") << wrap(QByteArray("<fileinfo filename=\"a\0b\"/>", 27));
    QTest::newRow("invalid utf-8") << wrap("<fileinfo filename=\"a\xff\"/>");
    QTest::newRow("overlong utf-8") << wrap("<fileinfo filename=\"\xc0\xaf\"/>");
    QTest::newRow("encoded surrogate") << wrap("<fileinfo filename=\"\xed\xa0\x80\"/>");
    QTest::newRow("non-character") << wrap("<fileinfo filename=\"\xef\xbf\xbf\"/>");
    QTest::newRow("truncated utf-8") << wrap("<fileinfo filename=\"a\"/>\xd0");
    QTest::newRow("less-than in an attribute") << wrap("<fileinfo filename=\"a<b\"/>");
    QTest::newRow("unknown entity") << wrap("<fileinfo filename=\"&nbsp;\"/>");
    QTest::newRow("bare ampersand") << wrap("<fileinfo><path>a & b</path></fileinfo>");
    QTest::newRow("attributes not apart") << wrap("<fileinfo filename=\"a\"size=\"1\"/>");
    QTest::newRow("unquoted attribute") << wrap("<fileinfo filename=a/>");
    QTest::newRow("mismatched end tag") << wrap("<fileinfo><path>/p</data></fileinfo>");
    QTest::newRow("unclosed cdata") << wrap("<fileinfo><path><![CDATA[/p</path></fileinfo>");
    QTest::newRow("unclosed element") << QByteArray("<r>") + entry;
    QTest::newRow("text after the document element") << wrap(entry) + "x";
    QTest::newRow("second document element") << wrap(entry) + "<r/>";
    QTest::newRow("declaration not at the start") << " <?xml version=\"1.0\"?>" + wrap(entry);
    QTest::newRow("name starting with a digit") << wrap("<1a/>");
    QTest::newRow("empty") << QByteArray();
    QByteArray deep;
    for (int i = 0; i < kMaxUntrustedXmlDepth + 1; ++i)
        deep += "<x>";
    for (int i = 0; i < kMaxUntrustedXmlDepth + 1; ++i)
        deep += "</x>";
    QTest::newRow("nested one level too deep") << deep;
}

void TestFileInfoScan::quickLeavesTheRest()
{
    QFETCH(QByteArray, document);
    QStringList quick;
    QVERIFY(!quickReading(document, &quick));
    QVERIFY(quick.isEmpty());
    // The whole reader still reads it, as the full reader alone does.
    QCOMPARE(scanReading(document), fullReading(document));
}

void TestFileInfoScan::quickReadsAsFull_data()
{
    QTest::addColumn<QByteArray>("document");
    QTest::newRow("SHA-256 before and after the other attributes")
        << QByteArray("<r><fileinfo sha256=\"s1\" filename=\"a\" hash=\"h\"/>"
                      "<fileinfo filename=\"b\" size=\"1\" sha256=\"s2\"><path/><data>d</data></fileinfo></r>");
    // U+FEFF is a character inside a document, also where a text starts.
    QTest::newRow("zero width no-break space opening a path")
        << QByteArray("<r><fileinfo filename=\"a\"><path>\xef\xbb\xbf/x</path><data>d</data></fileinfo></r>");
    QTest::newRow("zero width no-break space opening a name")
        << QByteArray("<r><fileinfo filename=\"\xef\xbb\xbf\xef\xbb\xbf\"/></r>");
    QTest::newRow("zero width no-break space after an entity")
        << QByteArray("<r><fileinfo filename=\"&amp;\xef\xbb\xbf" "a\"><path>&lt;\xef\xbb\xbf</path></fileinfo></r>");
    QTest::newRow("zero width no-break space in a cdata section")
        << QByteArray("<r><fileinfo><data><![CDATA[\xef\xbb\xbf" "d]]></data></fileinfo></r>");
    QTest::newRow("four-byte character") << QByteArray("<r><fileinfo filename=\"\xf0\x9f\x98\x80\"/></r>");
    // packwright writes a SHA-256 after the attributes the reader knows.
    QTest::newRow("pack form with sha256 attributes")
        << packDocument().replace("is_need_delete=\"0\">", "is_need_delete=\"0\" sha256=\"9f86d081884c7d65\">");
}

void TestFileInfoScan::quickReadsAsFull()
{
    QFETCH(QByteArray, document);
    QStringList quick;
    QVERIFY(quickReading(document, &quick));
    QCOMPARE(quick, fullReading(document));
}

void TestFileInfoScan::quickNeverDiffersFromFull_data()
{
    QTest::addColumn<QByteArray>("document");
    QTest::addColumn<quint32>("seed");
    QTest::newRow("pack form") << packDocument() << quint32(1);
    QTest::newRow("entities and comments")
        << QByteArray("<?xml version='1.0' encoding='utf-8' standalone='no'?><!-- head --><r a='&quot;x&apos;'>"
                      "<fileinfo filename=\"x&amp;y\" hash='h' size=\"7\" is_need_delete='1'><!-- c -->"
                      "<path>/a&lt;b<![CDATA[&c]]></path><data>d<b>e</b>f&gt;</data><path>/no</path></fileinfo>"
                      "<fileinfo filename=\"z\"><x><path>/not</path></x></fileinfo></r>\n<!-- tail -->")
        << quint32(2);
}

// Documents broken at random places: whatever the quick path accepts must be
// well-formed and read exactly as the full reader reads it.
void TestFileInfoScan::quickNeverDiffersFromFull()
{
    QFETCH(QByteArray, document);
    QFETCH(quint32, seed);
    static const char interesting[] = "<>&;\"'/!-[]?= \t\r\nax:#%\x80\xc3\xbf\xd0\xff\x01";
    std::mt19937 random(seed);
    auto pick = [&](int n) { return int(random() % quint32(n)); };
    int accepted = 0;
    int declined = 0;
    for (int round = 0; round < 4000; ++round) {
        QByteArray mutated = document;
        const int changes = 1 + pick(3);
        for (int c = 0; c < changes && !mutated.isEmpty(); ++c) {
            const int at = pick(mutated.size());
            const char byte = interesting[pick(int(sizeof interesting) - 1)];
            static const char *const sequences[] = {"\xef\xbb\xbf", "\xd1\x91", "\xc2\x85", "\xef\xbf\xbe",
                                                    "\xf0\x9f\x98\x80", "&amp;", "&#65;", "]]>", "<!--", "-->",
                                                    "<![CDATA[", "</", "/>", "\r\n"};
            switch (pick(5)) {
            case 4:
                mutated.insert(at, sequences[pick(int(sizeof sequences / sizeof *sequences))]);
                break;
            case 0:
                mutated[at] = byte;
                break;
            case 1:
                mutated.insert(at, byte);
                break;
            case 2:
                mutated.remove(at, 1 + pick(4));
                break;
            default:
                mutated.insert(at, mutated.mid(pick(mutated.size()), 1 + pick(12)));
                break;
            }
        }
        QStringList quick;
        if (quickReading(mutated, &quick)) {
            ++accepted;
            const QStringList full = fullReading(mutated);
            if (quick != full)
                QFAIL(qPrintable(QStringLiteral("quick and full readings differ for: ") + QString::fromLatin1(mutated.toPercentEncoding())));
        } else {
            ++declined;
        }
    }
    // Both outcomes occur, or the comparison proved nothing.
    QVERIFY2(accepted > 100, qPrintable(QString::number(accepted)));
    QVERIFY2(declined > 100, qPrintable(QString::number(declined)));
}

void TestFileInfoScan::fuzzRegressions()
{
    // Documents the fuzzer once found the quick path reading otherwise.
    const QDir dir(QStringLiteral(KESTRA_FUZZ_REGRESSIONS_DIR "/fileinfo"));
    const QStringList files = dir.entryList(QDir::Files);
    QVERIFY(!files.isEmpty());
    for (const QString &name : files) {
        QFile file(dir.filePath(name));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray document = file.readAll();
        QStringList quick;
        if (quickReading(document, &quick))
            QVERIFY2(quick == fullReading(document), qPrintable(name));
        QCOMPARE(scanReading(document), fullReading(document));
    }
}

QTEST_GUILESS_MAIN(TestFileInfoScan)
#include "tst_fileinfoscan.moc"
