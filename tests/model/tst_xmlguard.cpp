// The guard in front of the DOM parser for documents from update servers.

#include "xmlguard.h"

#include <QDomDocument>
#include <QElapsedTimer>
#include <QTextCodec>
#include <QtTest>

namespace {

QByteArray billionLaughs()
{
    QByteArray dtd = "<?xml version=\"1.0\"?>\n<!DOCTYPE lolz [\n<!ENTITY lol \"lol\">\n";
    for (int i = 1; i <= 9; ++i) {
        QByteArray value;
        for (int j = 0; j < 10; ++j)
            value += "&lol" + (i == 1 ? QByteArray() : QByteArray::number(i - 1)) + ";";
        dtd += "<!ENTITY lol" + QByteArray::number(i) + " \"" + value + "\">\n";
    }
    return dtd + "]>\n<root><projects><project name=\"&lol9;\"/></projects></root>\n";
}

QByteArray nested(int depth)
{
    return QByteArray("<root>").append(QByteArray("<a>").repeated(depth - 1))
        .append(QByteArray("</a>").repeated(depth - 1))
        .append("</root>");
}

// The whole literal, NUL bytes included.
template <int N>
QByteArray withNul(const char (&text)[N])
{
    return QByteArray(text, N - 1);
}

QByteArray utf16(const QByteArray &utf8Text)
{
    QTextCodec *codec = QTextCodec::codecForName("UTF-16LE");
    return QByteArray("\xff\xfe") + codec->fromUnicode(QString::fromUtf8(utf8Text));
}

} // namespace

class TestXmlGuard : public QObject
{
    Q_OBJECT

private slots:
    void guard_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<bool>("accepted");

        QTest::newRow("plain document") << QByteArray("<?xml version='1.0'?><root><projects/></root>") << true;
        QTest::newRow("plain doctype") << QByteArray("<?xml version='1.0'?><!DOCTYPE projectdocument><root/>") << true;
        QTest::newRow("doctype declaring elements only")
            << QByteArray("<!DOCTYPE root [<!ELEMENT root ANY><!ATTLIST root a CDATA #IMPLIED>]><root a='1'/>") << true;
        QTest::newRow("entity text inside a comment")
            << QByteArray("<!-- <!DOCTYPE x [<!ENTITY a 'b'>]> --><root><!-- <!ENTITY c 'd'> --></root>") << true;
        QTest::newRow("entity text inside CDATA")
            << QByteArray("<root><data><![CDATA[<!DOCTYPE x [<!ENTITY a 'aaaa'>]> &a;]]></data></root>") << true;
        QTest::newRow("entity text inside an attribute")
            << QByteArray("<root note='&lt;!ENTITY a &quot;b&quot;&gt;'/>") << true;
        QTest::newRow("predefined entities") << QByteArray("<root a='&amp;&lt;&gt;&quot;&apos;'>&amp;</root>") << true;
        QTest::newRow("nesting at the limit") << nested(kMaxUntrustedXmlDepth) << true;
        QTest::newRow("Russian text in windows-1251, declared")
            << QByteArray("<?xml version='1.0' encoding='windows-1251'?><root a='\xcf\xf0\xee'/>") << true;
        QTest::newRow("Russian text in windows-1251, undeclared")
            << QByteArray("<root><projects><project name='\xcf\xf0\xee'/></projects></root>") << true;
        QTest::newRow("bytes that are not UTF-8 in a UTF-8 document")
            << QByteArray("\xef\xbb\xbf<?xml version='1.0' encoding='UTF-8'?><root a='x\xff'/>") << true;

        QTest::newRow("undeclared prefix on an attribute")
            << QByteArray("<root xsi:noNamespaceSchemaLocation='p.xsd'><projects/></root>") << true;
        QTest::newRow("undeclared prefix on an element")
            << QByteArray("<root><ext:note>x</ext:note></root>") << true;

        QTest::newRow("billion laughs") << billionLaughs() << false;
        QTest::newRow("undeclared prefix and an entity")
            << QByteArray("<!DOCTYPE root [<!ENTITY a 'x'>]><root xsi:a='p'>&a;</root>") << false;
        QTest::newRow("undeclared prefix and runaway nesting")
            << QByteArray("<x:root>").append(QByteArray("<x:a>").repeated(1000)) << false;
        QTest::newRow("billion laughs in UTF-16") << utf16(billionLaughs()) << false;
        QTest::newRow("single internal entity")
            << QByteArray("<!DOCTYPE root [<!ENTITY a 'text'>]><root>&a;</root>") << false;
        QTest::newRow("parameter entity")
            << QByteArray("<!DOCTYPE root [<!ENTITY % p '<!ELEMENT root ANY>'> %p;]><root/>") << false;
        QTest::newRow("unused parameter entity") << QByteArray("<!DOCTYPE root [<!ENTITY % p 'x'>]><root/>") << false;
        QTest::newRow("external entity")
            << QByteArray("<!DOCTYPE root [<!ENTITY secret SYSTEM 'file:///etc/passwd'>]><root>&secret;</root>")
            << false;
        QTest::newRow("external parameter entity")
            << QByteArray("<!DOCTYPE root [<!ENTITY % ext SYSTEM 'http://127.0.0.1:9/x.dtd'> %ext;]><root/>")
            << false;
        QTest::newRow("broken declaration with an entity")
            << QByteArray("<!DOCTYPE root [<!ENTITY a 'x' <!ENTITY b '&a;&a;'>]><root>&b;</root>") << false;
        QTest::newRow("nesting beyond the limit") << nested(kMaxUntrustedXmlDepth + 1) << false;
        QTest::newRow("nesting that would overflow the stack") << nested(200000) << false;
        QTest::newRow("bytes that are not UTF-8, then runaway nesting")
            << QByteArray("<root a='\xff'>").append(QByteArray("<a>").repeated(100000)) << false;
        QTest::newRow("bytes that are not UTF-8 and an entity")
            << QByteArray("<!DOCTYPE r [<!ENTITY a '\xff'>]><root>&a;</root>") << false;
        QTest::newRow("empty input") << QByteArray() << false;
        QTest::newRow("control characters in an attribute")
            << withNul("<root><projects><project name=\"a\x16\x02\x00\x00" "b\"/></projects></root>") << false;
        QTest::newRow("undeclared entity") << QByteArray("<root>&nbsp;</root>") << false;
        QTest::newRow("malformed body") << QByteArray("<root><a></root>") << false;
    }

    void guard()
    {
        QFETCH(QByteArray, data);
        QFETCH(bool, accepted);
        QElapsedTimer timer;
        timer.start();
        QDomDocument document;
        QString message;
        int line = -1, column = -1;
        QCOMPARE(setUntrustedContent(document, data, &message, &line, &column), accepted);
        QVERIFY2(timer.elapsed() < 5000, "the guard must answer at once, without expanding anything");
        QCOMPARE(document.documentElement().isNull(), !accepted);
        QVERIFY(accepted || (!message.isEmpty() && line >= 1 && column >= 1));
        // Every attribute read is text a writer can put back.
        for (QDomElement e = document.documentElement(); !e.isNull();
             e = e.firstChildElement().isNull() ? e.nextSiblingElement() : e.firstChildElement()) {
            for (int i = 0; i < e.attributes().count(); ++i) {
                for (const QChar c : e.attributes().item(i).nodeValue())
                    QVERIFY(c.unicode() >= 0x20 || c == '\t' || c == '\n' || c == '\r');
            }
        }
    }

    void refusalReportsPosition()
    {
        const QByteArray data = "<?xml version='1.0'?>\n<!DOCTYPE r [\n<!ENTITY a 'x'>\n]>\n<r>&a;</r>\n";
        QVERIFY(declaresEntities(data));
        QVERIFY(!declaresEntities("<!DOCTYPE r><r/>"));
        QDomDocument document;
        QString message;
        int line = 0, column = 0;
        QVERIFY(!setUntrustedContent(document, data, &message, &line, &column));
        QCOMPARE(message, QStringLiteral("entity declarations are not accepted"));
        QVERIFY2(line >= 2 && line <= 4, qPrintable(QString::number(line)));
        QVERIFY(document.documentElement().isNull());
    }
};

QTEST_GUILESS_MAIN(TestXmlGuard)
#include "tst_xmlguard.moc"
