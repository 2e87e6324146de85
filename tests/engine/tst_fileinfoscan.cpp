// The streaming reader of file-information documents must read exactly what
// a DOM reads (the mirror path uses the DOM), and refuse what the DOM guard
// refuses.

#include "fileinfoscan.h"
#include "xmlguard.h"

#include <QDomDocument>
#include <QtTest>

namespace {

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
                            e.attribute(QStringLiteral("size")), e.attribute(QStringLiteral("is_need_delete")),
                            e.firstChildElement(QStringLiteral("path")).text(),
                            e.firstChildElement(QStringLiteral("data")).text()}
                    .join(QLatin1Char('|'));
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
        rows << QStringList{e.fileName, e.hash, e.size, e.isNeedDelete, e.path, e.data}.join(QLatin1Char('|'));
    return rows;
}

} // namespace

class TestFileInfoScan : public QObject
{
    Q_OBJECT

private slots:
    void sameAsDom_data();
    void sameAsDom();
    void reportsPosition();
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

QTEST_GUILESS_MAIN(TestFileInfoScan)
#include "tst_fileinfoscan.moc"
