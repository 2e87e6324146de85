// The guard in front of the XML parser for documents from update servers,
// project elements read from them and the program descriptions built from them.

#include "messagecapture.h"
#include "projectdescription.h"
#include "settings.h"
#include "testfiles.h"
#include "xmlguard.h"

#include <QDirIterator>
#include <QDomDocument>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QWeakPointer>
#include <QtTest>

namespace {

const QString kDataDir = QStringLiteral(KESTRA_TEST_DATA_DIR);
const QStringList kAdmitted = {QStringLiteral("11111111-1111-1111-1111-111111111111"),
                               QStringLiteral("22222222-2222-2222-2222-222222222222")};

// Loads xml into plugin; the document only lives for the call.
bool load(ProjectPlugin *plugin, const QString &xml)
{
    QDomDocument document;
    if (!document.setContent(xml))
        qFatal("test document does not parse: %s", qPrintable(xml));
    return plugin->loadFromXml(document.documentElement());
}

// Every field, "|"-joined: attributes; binaries; depends; do_not_delete.
QStringList describe(const ProjectPlugin &p)
{
    QStringList result{QStringList{p.name(), p.ruName(), p.type(), p.parent(), p.realPath(),
                                   p.isBase() ? "true" : "false", p.guid()}.join('|')};
    for (const PluginBinary *b : p.binaries())
        result << QStringList{b->arch(), b->path(), b->fileName(), b->sha1(),
                              b->date().isValid() ? b->date().toString(Qt::ISODateWithMs) : "invalid",
                              b->executeFilename(), b->executeParams(), b->sourceDir()}.join('|');
    QStringList depends;
    for (auto it = p.depends().constBegin(); it != p.depends().constEnd(); ++it)
        depends << it.key() + '=' + (it.value() ? '1' : '0');
    return result << "depends " + depends.join(';') << "keep " + p.doNotDelete().join(';');
}

ProjectPluginPtr makePlugin(const QString &name, const QMap<QString, bool> &depends = {})
{
    ProjectPluginPtr plugin(new ProjectPlugin);
    plugin->setName(name);
    for (auto it = depends.constBegin(); it != depends.constEnd(); ++it)
        plugin->insertDepend(it.key(), it.value());
    return plugin;
}

QStringList names(const QList<ProjectPluginPtr> &plugins)
{
    QStringList result;
    for (const ProjectPluginPtr &plugin : plugins)
        result.append(plugin->name());
    return result;
}

QByteArray nested(int depth)
{
    return "<root>" + QByteArray("<a>").repeated(depth - 1) + QByteArray("</a>").repeated(depth - 1) + "</root>";
}

} // namespace

class TestProjectModel : public QObject
{
    Q_OBJECT

private slots:
    // The guard in front of the DOM parser for documents from update servers:
    // one row per kind of hostile input, and the harmless look-alikes it must let through.
    void guard_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<bool>("accepted");
        // Nine levels of entities, each ten of the one below: 10^9 "lol" once expanded.
        const QByteArray laughs = readFile(kDataDir + "/billion_laughs.xml");
        QVERIFY(!laughs.isEmpty()); // an empty input would be refused for the wrong reason
        const auto row = [](const char *name, const QByteArray &data, bool accepted) {
            QTest::newRow(name) << data << accepted;
        };
        row("plain document with a doctype", "<?xml version='1.0'?><!DOCTYPE projectdocument><root><projects/></root>", true);
        row("entity text inside a comment and CDATA",
            "<!-- <!DOCTYPE x [<!ENTITY a 'b'>]> --><root><![CDATA[<!ENTITY a 'aaaa'> &a;]]></root>", true);
        row("nesting at the limit", nested(kMaxUntrustedXmlDepth), true);
        row("Russian text in windows-1251, undeclared", "<root><projects><project name='\xcf\xf0\xee'/></projects></root>", true);
        row("undeclared prefix on an attribute", "<root xsi:noNamespaceSchemaLocation='p.xsd'><projects/></root>", true);
        row("billion laughs", laughs, false);
        row("billion laughs in UTF-16",
            "\xff\xfe" + QTextCodec::codecForName("UTF-16LE")->fromUnicode(QString::fromUtf8(laughs)), false);
        row("undeclared prefix and an entity", "<!DOCTYPE root [<!ENTITY a 'x'>]><root xsi:a='p'>&a;</root>", false);
        row("unused parameter entity", "<!DOCTYPE root [<!ENTITY % p 'x'>]><root/>", false);
        row("external entity", "<!DOCTYPE root [<!ENTITY secret SYSTEM 'file:///etc/passwd'>]><root>&secret;</root>", false);
        row("nesting beyond the limit", nested(kMaxUntrustedXmlDepth + 1), false);
        row("bytes that are not UTF-8, then nesting that would overflow the stack",
            QByteArray("<root a='\xff'>").append(QByteArray("<a>").repeated(200000)), false);
        const char controls[] = "<root><projects><project name=\"a\x16\x02\x00\x00" "b\"/></projects></root>";
        row("control characters in an attribute", QByteArray(controls, sizeof controls - 1), false);
        row("empty input", QByteArray(), false);
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
    }

    void readElement_data()
    {
        QTest::addColumn<QString>("before"); // loaded into the same element first; empty: none
        QTest::addColumn<QString>("xml");
        QTest::addColumn<QString>("sourceDir");
        QTest::addColumn<QStringList>("expected"); // as describe() gives it; empty: refused, unchanged
        QTest::newRow("every attribute")
            << "" << "<project name='app' ru_name='Программа' type='project' parent='p' real_path='r/p' is_base='true'"
               " guid='g-1'><bin><x64 path='app/x64' file_name='u.xml' sha1='abc' date='2024-03-05T10:20:30'"
               " execute_filename='app.exe' execute_params='-a :config:/s.ini'/></bin>"
               "<depends><depend project='core' is_nessesary='true'/><depend project='extra'/></depends>"
               "<do_not_delete><file file_name='user.ini'/><file file_name='data/db.sqlite'/></do_not_delete></project>"
            << "http://h/bin"
            << QStringList{"app|Программа|project|p|r/p|true|g-1",
                           "x64|app/x64|u.xml|abc|2024-03-05T10:20:30.000|app.exe|-a :config:/s.ini|http://h/bin",
                           "depends core=1;extra=0", "keep user.ini;data/db.sqlite"};
        // A refused element leaves the one loaded before untouched.
        const QString kept = "<project name='m' ru_name='ru' is_base='true'><bin><x86 path='a'/></bin><depends>"
                             "<depend project='x' is_nessesary='true'/></depends><do_not_delete><file file_name='1'/>"
                             "</do_not_delete></project>";
        QTest::newRow("missing name refused")
            << kept << "<project ru_name='x'><depends><depend project='a'/></depends></project>" << "" << QStringList();
    }

    void readElement()
    {
        QFETCH(QString, before);
        QFETCH(QString, xml);
        QFETCH(QString, sourceDir);
        QFETCH(QStringList, expected);
        ProjectPlugin plugin;
        plugin.setSourceDir(sourceDir);
        QVERIFY(before.isEmpty() || load(&plugin, before));
        const QStringList was = describe(plugin);
        QCOMPARE(load(&plugin, xml), !expected.isEmpty());
        QCOMPARE(describe(plugin), expected.isEmpty() ? was : expected);
        QCOMPARE(plugin.sourceDir(), sourceDir);
    }

    void sharedModuleDestroyedOnce()
    {
        auto *first = new ProjectDescription, *second = new ProjectDescription;
        first->setBase(makePlugin("p1", {{"shared", true}}));
        second->setBase(makePlugin("p2", {{"shared", false}}));
        const QWeakPointer<ProjectPlugin> base1 = first->base();
        QWeakPointer<ProjectPlugin> shared;
        {
            const ProjectPluginPtr module = makePlugin("shared");
            shared = module;
            first->addPlugin(module);
            second->addPlugin(module);
        }
        first->clear();
        QVERIFY(base1.isNull());
        QVERIFY2(!shared.isNull(), "the module must live while the second description holds it");
        delete second;
        QVERIFY(shared.isNull());
        delete first; // clearing again must not touch what is gone
    }

    void documents_data()
    {
        // Documents read in turn as server1, server2... with the base folder
        // /srv/N: a file of the data folder or inline XML. Descriptions:
        // "server program: modules | allModules";
        // every element "name@N" with N the document it came from.
        QTest::addColumn<QStringList>("documents");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<QStringList>("plugins");
        const QStringList chain{"server1 app: core | core,deep,deeper"};
        // Modules needed only by other modules, each listed before what needs it.
        QTest::newRow("modules needed only by modules, listed before")
            << QStringList{"module_chain_before.xml"} << chain << QStringList{"app@1", "core@1", "deep@1", "deeper@1"};
        QTest::newRow("two programs share a module; unknown and rejected elements dropped")
            << QStringList{"two_programs.xml"}
            << QStringList{"server1 app: core,viewer | core,viewer", "server1 tool: core | core"}
            << QStringList{"app@1", "core@1", "tool@1", "viewer@1"};
        QTest::newRow("duplicate name replaces and frees the earlier")
            << QStringList{"<root><projects><project name='lone'/></projects></root>",
                           "<root><projects><project name='lone'/></projects></root>"}
            << QStringList() << QStringList{"lone@2"};
    }

    void documents()
    {
        QFETCH(QStringList, documents);
        QFETCH(QStringList, expected);
        QFETCH(QStringList, plugins);
        Settings settings;
        QTemporaryDir dir;
        QList<QWeakPointer<ProjectPlugin>> earlier;
        MessageCapture capture;
        for (int i = 0; i < documents.size(); ++i) {
            QString path = kDataDir + "/" + documents[i];
            if (!documents[i].endsWith(".xml")) {
                path = dir.filePath(QString::number(i));
                QVERIFY(writeFile(path, documents[i].toUtf8()));
            }
            for (const ProjectPluginPtr &plugin : settings.allPlugins())
                earlier << plugin;
            const QString server = QStringLiteral("server%1").arg(i + 1);
            QString error;
            const QString base = "/srv/" + QString::number(i + 1);
            QVERIFY2(settings.readProjectDocument(path, server, base, kAdmitted, &error), qPrintable(error));
        }
        QStringList actual, actualPlugins;
        for (const ProjectDescription *d : settings.programmDescriptions()) {
            QCOMPARE(d->sourceDir(), "/srv/" + d->serverKey().mid(6));
            actual << d->serverKey() + " " + d->base()->name() + ": " + names(d->modules()).join(',') + " | "
                          + d->allModules().keys().join(',');
        }
        QCOMPARE(actual, expected);
        for (const ProjectPluginPtr &plugin : settings.allPlugins()) {
            actualPlugins << plugin->name() + "@" + plugin->sourceDir().mid(5);
            for (const PluginBinary *binary : plugin->binaries())
                QCOMPARE(binary->sourceDir(), plugin->sourceDir());
        }
        QCOMPARE(actualPlugins, plugins);
        for (const QWeakPointer<ProjectPlugin> &plugin : earlier) // replaced elements are freed
            QVERIFY(plugin.isNull() || settings.allPlugins().values().contains(plugin.toStrongRef()));
    }

    void fuzzRegressions()
    {
        // Inputs that once broke the reader must now be read or refused cleanly.
        QDirIterator it(QStringLiteral(KESTRA_FUZZ_REGRESSIONS_DIR) + "/project", QDir::Files);
        int count = 0;
        for (; it.hasNext() && count < 1000; ++count) {
            const QString path = it.next();
            Settings settings;
            MessageCapture capture;
            QElapsedTimer timer;
            timer.start();
            settings.readProjectDocument(path, "server1", "", kAdmitted);
            settings.fillMirrors();
            QVERIFY2(timer.elapsed() < 10000, qPrintable(path));
        }
        if (count == 0)
            QSKIP("no regression inputs kept yet");
    }
};

QTEST_GUILESS_MAIN(TestProjectModel)
#include "tst_projectmodel.moc"
