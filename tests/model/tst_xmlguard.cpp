// The guard in front of the DOM parser for documents from update servers.

#include "xmlguard.h"

#include <QDomDocument>
#include <QElapsedTimer>
#include <QFile>
#include <QTextCodec>
#include <QtTest>

namespace {

// Nine levels of entities, each ten of the one below: 10^9 "lol" once expanded.
QByteArray billionLaughs()
{
    QFile file(QStringLiteral(KESTRA_TEST_DATA_DIR "/billion_laughs.xml"));
    if (!file.open(QIODevice::ReadOnly)) // an empty input would be refused for the wrong reason
        qFatal("can't read %s", qPrintable(file.fileName()));
    return file.readAll();
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
        auto row = [](const char *name, const QByteArray &data, bool accepted) {
            QTest::newRow(name) << data << accepted;
        };

        row("plain document", "<?xml version='1.0'?><root><projects/></root>", true);
        row("plain doctype", "<?xml version='1.0'?><!DOCTYPE projectdocument><root/>", true);
        row("doctype declaring elements only",
            "<!DOCTYPE root [<!ELEMENT root ANY><!ATTLIST root a CDATA #IMPLIED>]><root a='1'/>", true);
        row("entity text inside a comment",
            "<!-- <!DOCTYPE x [<!ENTITY a 'b'>]> --><root><!-- <!ENTITY c 'd'> --></root>", true);
        row("entity text inside CDATA",
            "<root><data><![CDATA[<!DOCTYPE x [<!ENTITY a 'aaaa'>]> &a;]]></data></root>", true);
        row("entity text inside an attribute", "<root note='&lt;!ENTITY a &quot;b&quot;&gt;'/>", true);
        row("predefined entities", "<root a='&amp;&lt;&gt;&quot;&apos;'>&amp;</root>", true);
        row("nesting at the limit", nested(kMaxUntrustedXmlDepth), true);
        row("Russian text in windows-1251, declared",
            "<?xml version='1.0' encoding='windows-1251'?><root a='\xcf\xf0\xee'/>", true);
        row("Russian text in windows-1251, undeclared",
            "<root><projects><project name='\xcf\xf0\xee'/></projects></root>", true);
        row("bytes that are not UTF-8 in a UTF-8 document",
            "\xef\xbb\xbf<?xml version='1.0' encoding='UTF-8'?><root a='x\xff'/>", true);
        row("undeclared prefix on an attribute",
            "<root xsi:noNamespaceSchemaLocation='p.xsd'><projects/></root>", true);
        row("undeclared prefix on an element", "<root><ext:note>x</ext:note></root>", true);
        row("billion laughs", billionLaughs(), false);
        row("undeclared prefix and an entity", "<!DOCTYPE root [<!ENTITY a 'x'>]><root xsi:a='p'>&a;</root>", false);
        row("undeclared prefix and runaway nesting",
            QByteArray("<x:root>").append(QByteArray("<x:a>").repeated(1000)), false);
        row("billion laughs in UTF-16", utf16(billionLaughs()), false);
        row("single internal entity", "<!DOCTYPE root [<!ENTITY a 'text'>]><root>&a;</root>", false);
        row("parameter entity", "<!DOCTYPE root [<!ENTITY % p '<!ELEMENT root ANY>'> %p;]><root/>", false);
        row("unused parameter entity", "<!DOCTYPE root [<!ENTITY % p 'x'>]><root/>", false);
        row("external entity",
            "<!DOCTYPE root [<!ENTITY secret SYSTEM 'file:///etc/passwd'>]><root>&secret;</root>", false);
        row("external parameter entity",
            "<!DOCTYPE root [<!ENTITY % ext SYSTEM 'http://127.0.0.1:9/x.dtd'> %ext;]><root/>", false);
        row("broken declaration with an entity",
            "<!DOCTYPE root [<!ENTITY a 'x' <!ENTITY b '&a;&a;'>]><root>&b;</root>", false);
        row("nesting beyond the limit", nested(kMaxUntrustedXmlDepth + 1), false);
        row("nesting that would overflow the stack", nested(200000), false);
        row("bytes that are not UTF-8, then runaway nesting",
            QByteArray("<root a='\xff'>").append(QByteArray("<a>").repeated(100000)), false);
        row("bytes that are not UTF-8 and an entity", "<!DOCTYPE r [<!ENTITY a '\xff'>]><root>&a;</root>", false);
        row("empty input", QByteArray(), false);
        row("control characters in an attribute",
            withNul("<root><projects><project name=\"a\x16\x02\x00\x00" "b\"/></projects></root>"), false);
        row("undeclared entity", "<root>&nbsp;</root>", false);
        row("malformed body", "<root><a></root>", false);
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
