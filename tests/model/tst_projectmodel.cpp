// Project elements read from and written to project documents, and the
// program descriptions built from them.

#include "messagecapture.h"
#include "projectdescription.h"
#include "settings.h"
#include "testfiles.h"

#include <QDirIterator>
#include <QDomDocument>
#include <QElapsedTimer>
#include <QTemporaryDir>
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

} // namespace

class TestProjectModel : public QObject
{
    Q_OBJECT

private slots:
    void readElement_data()
    {
        QTest::addColumn<QString>("before"); // loaded into the same element first; empty: none
        QTest::addColumn<QString>("xml");
        QTest::addColumn<QString>("sourceDir");
        QTest::addColumn<QStringList>("expected"); // as describe() gives it; empty: refused, unchanged
        const QString plain = "m|||||false|";
        const QString none = "depends ", keepNone = "keep ";
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
        QTest::newRow("values verbatim, not trimmed; is_base other than true is false")
            << "" << "<project name=' m x ' ru_name='  ' type=' project' is_base='True'/>" << ""
            << QStringList{" m x |  | project|||false|", none, keepNone};
        QTest::newRow("binaries of several tags, one without path")
            << "" << "<project name='m'><bin><x86 path='a' file_name='f'/><x64 path='b'/><arm file_name='no path'/>"
               "<x64 path=''/><anything path='c' date='not a date'/></bin></project>"
            << "/srv" << QStringList{plain, "x86|a|f||invalid|||/srv", "x64|b|||invalid|||/srv",
                                     "anything|c|||invalid|||/srv", none, keepNone};
        QTest::newRow("only the first bin, depends and do_not_delete are read")
            << "" << "<project name='m'><bin><x86 path='first'/></bin><bin><x86 path='second'/></bin>"
               "<depends><depend project='a'/></depends><depends><depend project='b'/></depends>"
               "<do_not_delete><file file_name='1'/></do_not_delete><do_not_delete><file file_name='2'/>"
               "</do_not_delete></project>"
            << "" << QStringList{plain, "x86|first|||invalid|||", "depends a=0", "keep 1"};
        QTest::newRow("depends: later flag wins, no project is the empty name, only lowercase true")
            << "" << "<project name='m'><depends><depend project='z' is_nessesary='true'/><depend project='a'/>"
               "<depend project='z' is_nessesary='false'/><depend project='a' is_nessesary='true'/>"
               "<depend is_nessesary='true'/><depend project='b' is_nessesary='True'/>"
               "<depend project='c' is_nessesary='1'/></depends></project>"
            << "" << QStringList{plain, "depends =1;a=1;b=0;c=0;z=0", keepNone};
        QTest::newRow("comments, text and foreign elements are skipped")
            << "" << "<project name='m'>"
               "<bin>text<!-- <x86 path='commented'/> --><![CDATA[<x86 path='cdata'/>]]><x86 path='real'/></bin>"
               "<depends>text<!-- <depend project='c'/> --><other project='o'/><depend project='d'/></depends>"
               "<do_not_delete>t<!-- <file file_name='c'/> --><folder file_name='o'/><file file_name='k'/><file/>"
               "</do_not_delete></project>"
            << "" << QStringList{plain, "x86|real|||invalid|||", "depends d=0", "keep k;"};
        QTest::newRow("dates with zone and milliseconds")
            << "" << "<project name='m'><bin><a path='1' date='2024-03-05T10:20:30.123Z'/>"
               "<b path='2' date='2024-03-05'/><c path='3' date='05.03.2024'/></bin></project>"
            << "" << QStringList{plain, "a|1|||2024-03-05T10:20:30.123Z|||", "b|2|||2024-03-05T00:00:00.000|||",
                                 "c|3|||invalid|||", none, keepNone};
        // A refused element leaves the one loaded before untouched.
        const QString kept = "<project name='m' ru_name='ru' is_base='true'><bin><x86 path='a'/></bin><depends>"
                             "<depend project='x' is_nessesary='true'/></depends><do_not_delete><file file_name='1'/>"
                             "</do_not_delete></project>";
        QTest::newRow("wrong root tag refused") << kept << "<projects name='m' type='project'/>" << "" << QStringList();
        QTest::newRow("root tag in other case refused") << kept << "<Project name='m'/>" << "" << QStringList();
        QTest::newRow("empty name refused")
            << kept << "<project name='' type='project'><bin><x86 path='a'/></bin></project>" << "" << QStringList();
        QTest::newRow("missing name refused")
            << kept << "<project ru_name='x'><depends><depend project='a'/></depends></project>" << "" << QStringList();
        QTest::newRow("second load: binaries and depends accumulate, do_not_delete replaced")
            << kept << "<project name='m2'><bin><x64 path='b'/></bin><depends><depend project='y'/></depends></project>"
            << ""
            << QStringList{"m2|||||false|", "x86|a|||invalid|||", "x64|b|||invalid|||", "depends x=1;y=0", "keep "};
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
        // /srv/N: a file of the data folder, inline XML, "" an empty file, or
        // "missing". Descriptions: "server program: modules | allModules";
        // every element "name@N" with N the document it came from.
        QTest::addColumn<QStringList>("documents");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<QStringList>("plugins");
        QTest::addColumn<bool>("lastOk");
        const QStringList chain{"server1 app: core | core,deep,deeper"};
        const QStringList first{"server1 app: core | core"}, firstPlugins{"app@1", "core@1", "spare@1"};
        QTest::newRow("module before its program joins it") << QStringList{"module_first.xml"} << first
                                                            << firstPlugins << true;
        QTest::newRow("modules needed only by modules, listed after")
            << QStringList{"module_chain_after.xml"} << chain << QStringList{"app@1", "core@1", "deep@1", "deeper@1"}
            << true;
        QTest::newRow("modules needed only by modules, listed before")
            << QStringList{"module_chain_before.xml"} << chain << QStringList{"app@1", "core@1", "deep@1", "deeper@1"}
            << true;
        QTest::newRow("two programs share a module; unknown and rejected elements dropped")
            << QStringList{"two_programs.xml"}
            << QStringList{"server1 app: core,viewer | core,viewer", "server1 tool: core | core"}
            << QStringList{"app@1", "core@1", "tool@1", "viewer@1"} << true;
        QTest::newRow("duplicate name replaces and frees the earlier")
            << QStringList{"<root><projects><project name='lone'/></projects></root>",
                           "<root><projects><project name='lone'/></projects></root>"}
            << QStringList() << QStringList{"lone@2"} << true;
        // Other unreadable documents are rows of the servers' fill.
        QTest::newRow("missing document keeps the tables")
            << QStringList{"module_first.xml", "missing"} << first << firstPlugins << false;
    }

    void documents()
    {
        QFETCH(QStringList, documents);
        QFETCH(QStringList, expected);
        QFETCH(QStringList, plugins);
        QFETCH(bool, lastOk);
        Settings settings;
        QTemporaryDir dir;
        QList<QWeakPointer<ProjectPlugin>> earlier;
        MessageCapture capture;
        for (int i = 0; i < documents.size(); ++i) {
            QString path = kDataDir + "/" + documents[i];
            if (!documents[i].endsWith(".xml")) {
                path = dir.filePath(QString::number(i));
                QVERIFY(documents[i] == "missing" || writeFile(path, documents[i].toUtf8()));
            }
            for (const ProjectPluginPtr &plugin : settings.allPlugins())
                earlier << plugin;
            const QString server = QStringLiteral("server%1").arg(i + 1);
            QString error;
            const QString base = "/srv/" + QString::number(i + 1);
            const bool ok = settings.readProjectDocument(path, server, base, kAdmitted, &error);
            QCOMPARE(ok, i + 1 < documents.size() || lastOk);
            QCOMPARE(error.isEmpty(), ok);
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
