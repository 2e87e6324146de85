// Project elements read from and written to project documents, and the
// program descriptions built from them.

#include "messagecapture.h"
#include "projectdescription.h"
#include "settings.h"
#include "testfiles.h"

#include <QDir>
#include <QDirIterator>
#include <QDomDocument>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QWeakPointer>
#include <QXmlStreamWriter>
#include <QtTest>

namespace {

// Keeps the document alive with the element taken from it.
struct ParsedElement
{
    QDomDocument document;
    QDomElement element;
};

ParsedElement parseElement(const QString &xml)
{
    ParsedElement parsed;
    QString error;
    if (!parsed.document.setContent(xml, &error))
        qFatal("test document does not parse: %s", qPrintable(error));
    parsed.element = parsed.document.documentElement();
    return parsed;
}

QString describeBinary(const PluginBinary *b)
{
    return QStringList{b->arch(), b->path(), b->fileName(), b->sha1(),
                       b->date().isValid() ? b->date().toString(Qt::ISODateWithMs) : QStringLiteral("invalid"),
                       b->executeFilename(), b->executeParams(), b->sourceDir()}
        .join(QLatin1Char('|'));
}

QStringList describeBinaries(const ProjectPlugin &plugin)
{
    QStringList result;
    for (const PluginBinary *binary : plugin.binaries())
        result.append(describeBinary(binary));
    return result;
}

QString describeDepends(const QMap<QString, bool> &depends)
{
    QStringList parts;
    for (auto it = depends.constBegin(); it != depends.constEnd(); ++it)
        parts.append(it.key() + QLatin1Char('=') + (it.value() ? QLatin1Char('1') : QLatin1Char('0')));
    return parts.join(QLatin1Char(';'));
}

QString writeElement(const ProjectPlugin &plugin, const QString &path = QString(), const QString &fileName = QString())
{
    QString text;
    QXmlStreamWriter writer(&text);
    writer.setAutoFormatting(true);
    plugin.writeXml(writer, path, fileName);
    // Auto-formatting puts a line break before a top-level element.
    if (text.startsWith(QLatin1Char('\n')))
        text.remove(0, 1);
    return text;
}

ProjectPluginPtr makePlugin(const QString &name, const QMap<QString, bool> &depends = {},
                            const QString &type = QString())
{
    ProjectPluginPtr plugin(new ProjectPlugin);
    plugin->setName(name);
    plugin->setType(type);
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

const QString kDataDir = QStringLiteral(KESTRA_TEST_DATA_DIR);
const QStringList kAdmitted = {QStringLiteral("11111111-1111-1111-1111-111111111111"),
                               QStringLiteral("22222222-2222-2222-2222-222222222222")};

} // namespace

class TestProjectModel : public QObject
{
    Q_OBJECT

private slots:
    // ---- reading one element ----

    void readElement_data()
    {
        QTest::addColumn<QString>("xml");
        QTest::addColumn<QString>("sourceDir");
        QTest::addColumn<QStringList>("fields"); // name, ruName, type, parent, realPath, isBase, guid
        QTest::addColumn<QStringList>("binaries");
        QTest::addColumn<QString>("depends");
        QTest::addColumn<QStringList>("doNotDelete");
        const QStringList defaults{"m", "", "", "", "", "false", ""}; // of <project name='m'>
        const QStringList none;

        QTest::newRow("every attribute")
            << "<project name='app' ru_name='Программа' type='project' parent='p' real_path='r/p' is_base='true'"
               " guid='11111111-1111-1111-1111-111111111111'>"
               "<bin><x64 path='app/x64' file_name='update_fileinfo.xml' sha1='abc' date='2024-03-05T10:20:30'"
               " execute_filename='app.exe' execute_params='-a :config:/s.ini'/></bin>"
               "<depends><depend project='core' is_nessesary='true'/><depend project='extra'/></depends>"
               "<do_not_delete><file file_name='user.ini'/><file file_name='data/db.sqlite'/></do_not_delete>"
               "</project>"
            << "http://h/bin"
            << QStringList{"app", "Программа", "project", "p", "r/p", "true", "11111111-1111-1111-1111-111111111111"}
            << QStringList{"x64|app/x64|update_fileinfo.xml|abc|2024-03-05T10:20:30.000|app.exe|-a :config:/s.ini|"
                           "http://h/bin"}
            << "core=1;extra=0" << QStringList{"user.ini", "data/db.sqlite"};

        QTest::newRow("attribute defaults") << "<project name='m'/>" << "" << defaults << none << "" << none;

        QTest::newRow("values taken verbatim, not trimmed")
            << "<project name=' m x ' ru_name='  ' type=' project'/>" << ""
            << QStringList{" m x ", "  ", " project", "", "", "false", ""} << none << "" << none;

        QTest::newRow("is_base capital first letter is false")
            << "<project name='m' is_base='True'/>" << "" << defaults << none << "" << none;
        QTest::newRow("is_base with a blank is false")
            << "<project name='m' is_base='true '/>" << "" << defaults << none << "" << none;

        QTest::newRow("binaries of several tags, one without path")
            << "<project name='m'><bin><x86 path='a' file_name='f'/><x64 path='b'/><arm file_name='no path'/>"
               "<x64 path=''/><anything path='c' date='not a date'/></bin></project>"
            << "/srv/share" << defaults
            << QStringList{"x86|a|f||invalid|||/srv/share", "x64|b|||invalid|||/srv/share",
                           "anything|c|||invalid|||/srv/share"}
            << "" << none;

        QTest::newRow("only the first bin, depends and do_not_delete are read")
            << "<project name='m'><bin><x86 path='first'/></bin><bin><x86 path='second'/></bin>"
               "<depends><depend project='a'/></depends><depends><depend project='b'/></depends>"
               "<do_not_delete><file file_name='1'/></do_not_delete>"
               "<do_not_delete><file file_name='2'/></do_not_delete></project>"
            << "" << defaults << QStringList{"x86|first|||invalid|||"} << "a=0"
            << QStringList{"1"};

        QTest::newRow("duplicate depend: the later flag wins")
            << "<project name='m'><depends><depend project='z' is_nessesary='true'/><depend project='a'/>"
               "<depend project='z' is_nessesary='false'/><depend project='a' is_nessesary='true'/></depends></project>"
            << "" << defaults << none << "a=1;z=0" << none;

        QTest::newRow("depend without project gives the empty name")
            << "<project name='m'><depends><depend is_nessesary='true'/></depends></project>" << "" << defaults
            << none << "=1" << none;

        QTest::newRow("is_nessesary other than lowercase true is false")
            << "<project name='m'><depends><depend project='a' is_nessesary='True'/>"
               "<depend project='b' is_nessesary='TRUE'/><depend project='c' is_nessesary='1'/></depends></project>"
            << "" << defaults << none << "a=0;b=0;c=0" << none;

        QTest::newRow("comments, text and foreign elements are skipped")
            << "<project name='m'>"
               "<bin>text<!-- <x86 path='commented'/> --><![CDATA[<x86 path='cdata'/>]]><x86 path='real'/></bin>"
               "<depends>text<!-- <depend project='c'/> --><other project='o'/><depend project='d'/></depends>"
               "<do_not_delete>t<!-- <file file_name='c'/> --><folder file_name='o'/><file file_name='k'/><file/>"
               "</do_not_delete></project>"
            << "" << defaults << QStringList{"x86|real|||invalid|||"} << "d=0"
            << QStringList{"k", ""};

        QTest::newRow("dates with zone and milliseconds")
            << "<project name='m'><bin><a path='1' date='2024-03-05T10:20:30.123Z'/>"
               "<b path='2' date='2024-03-05'/><c path='3' date='05.03.2024'/></bin></project>"
            << "" << defaults << QStringList{"a|1|||2024-03-05T10:20:30.123Z|||", "b|2|||2024-03-05T00:00:00.000|||",
                           "c|3|||invalid|||"}
            << "" << none;
    }

    void readElement()
    {
        QFETCH(QString, xml);
        QFETCH(QString, sourceDir);
        QFETCH(QStringList, fields);
        QFETCH(QStringList, binaries);
        QFETCH(QString, depends);
        QFETCH(QStringList, doNotDelete);

        const ParsedElement parsed = parseElement(xml);
        ProjectPlugin plugin;
        plugin.setSourceDir(sourceDir);
        QVERIFY(plugin.loadFromXml(parsed.element));

        const QStringList actual{plugin.name(), plugin.ruName(), plugin.type(), plugin.parent(), plugin.realPath(),
                                 plugin.isBase() ? "true" : "false", plugin.guid()};
        QCOMPARE(actual, fields);
        QCOMPARE(describeBinaries(plugin), binaries);
        QCOMPARE(describeDepends(plugin.depends()), depends);
        QCOMPARE(plugin.doNotDelete(), doNotDelete);
        QCOMPARE(plugin.sourceDir(), sourceDir);
    }

    void rejectedElementIsUntouched_data()
    {
        QTest::addColumn<QString>("xml");
        QTest::addColumn<QString>("warning");

        QTest::newRow("wrong root tag") << "<projects name='m' type='project'/>" << "tabName must be: project";
        QTest::newRow("root tag in other case") << "<Project name='m'/>" << "tabName must be: project";
        QTest::newRow("empty name") << "<project name='' type='project'><bin><x86 path='a'/></bin></project>"
                                    << "attribute name is empty";
        QTest::newRow("missing name") << "<project ru_name='x'><depends><depend project='a'/></depends></project>"
                                      << "attribute name is empty";
    }

    void rejectedElementIsUntouched()
    {
        QFETCH(QString, xml);
        QFETCH(QString, warning);

        const ParsedElement parsed = parseElement(xml);
        ProjectPlugin plugin;
        plugin.setName(QStringLiteral("kept"));
        plugin.setRuName(QStringLiteral("kept ru"));
        plugin.setIsBase(true);
        plugin.insertDepend(QStringLiteral("dep"), true);
        plugin.setDoNotDelete({QStringLiteral("keep.ini")});

        MessageCapture capture;
        QVERIFY(!plugin.loadFromXml(parsed.element));
        QCOMPARE(capture.messages(QtWarningMsg), QStringList{warning});
        QCOMPARE(plugin.name(), QStringLiteral("kept"));
        QCOMPARE(plugin.ruName(), QStringLiteral("kept ru"));
        QVERIFY(plugin.isBase());
        QCOMPARE(describeDepends(plugin.depends()), QStringLiteral("dep=1"));
        QCOMPARE(plugin.doNotDelete(), QStringList{"keep.ini"});
        QVERIFY(plugin.binaries().isEmpty());
    }

    void repeatedLoadKeepsEarlierBinariesAndDepends()
    {
        // Binaries and depends accumulate, the do-not-delete list is replaced.
        const ParsedElement first = parseElement(
            "<project name='m'><bin><x86 path='a'/></bin><depends><depend project='x' is_nessesary='true'/></depends>"
            "<do_not_delete><file file_name='1'/></do_not_delete></project>");
        const ParsedElement second = parseElement(
            "<project name='m2'><bin><x64 path='b'/></bin><depends><depend project='y'/></depends></project>");
        ProjectPlugin plugin;
        QVERIFY(plugin.loadFromXml(first.element));
        QVERIFY(plugin.loadFromXml(second.element));
        QCOMPARE(plugin.name(), QStringLiteral("m2"));
        QCOMPARE(describeBinaries(plugin), (QStringList{"x86|a|||invalid|||", "x64|b|||invalid|||"}));
        QCOMPARE(describeDepends(plugin.depends()), QStringLiteral("x=1;y=0"));
        QVERIFY(plugin.doNotDelete().isEmpty());
    }

    // ---- written form ----

    void writtenForm_data()
    {
        QTest::addColumn<QString>("xml");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QString>("expected");

        const QString full =
            "<project guid='g-1' is_base='true' ru_name='Имя &amp; &quot;кавычки&quot;' parent='par' real_path='rp'"
            " type='project' name='app'>"
            "<do_not_delete><file file_name='a.ini'/><file file_name='b.ini'/></do_not_delete>"
            "<depends><depend project='zeta' is_nessesary='true'/><depend project='alpha'/>"
            "<depend project='zeta' is_nessesary='false'/></depends>"
            "<bin><x64 execute_params='-p 1' execute_filename='app.exe' date='2024-03-05T10:20:30Z' sha1='s1'"
            " file_name='update_fileinfo.xml' path='app/x64'/><x86 path='app/x86'/></bin></project>";

        QTest::newRow("attributes in fixed order, depends sorted once per name")
            << full << QString() << QString()
            << "<project name=\"app\" type=\"project\" real_path=\"rp\" parent=\"par\""
               " ru_name=\"Имя &amp; &quot;кавычки&quot;\" is_base=\"true\" guid=\"g-1\">\n"
               "    <bin>\n"
               "        <x64 path=\"app/x64\" file_name=\"update_fileinfo.xml\" sha1=\"s1\""
               " date=\"2024-03-05T10:20:30.000Z\" execute_filename=\"app.exe\" execute_params=\"-p 1\"/>\n"
               "        <x86 path=\"app/x86\" file_name=\"\" sha1=\"\" date=\"\" execute_filename=\"\""
               " execute_params=\"\"/>\n"
               "    </bin>\n"
               "    <depends>\n"
               "        <depend project=\"alpha\" is_nessesary=\"false\"/>\n"
               "        <depend project=\"zeta\" is_nessesary=\"false\"/>\n"
               "    </depends>\n"
               "    <do_not_delete>\n"
               "        <file file_name=\"a.ini\"/>\n"
               "        <file file_name=\"b.ini\"/>\n"
               "    </do_not_delete>\n"
               "</project>";

        QTest::newRow("mirror values replace path and file_name of every binary")
            << "<project name='m' guid='g-2'><bin><x64 path='up/x64' file_name='u.xml' sha1='s'/>"
               "<x86 path='up/x86' file_name='v.xml'/></bin></project>"
            << "g-2/" << "mirror_fileinfo.xml"
            << "<project name=\"m\" type=\"\" real_path=\"\" parent=\"\" ru_name=\"\" is_base=\"false\" guid=\"g-2\">\n"
               "    <bin>\n"
               "        <x64 path=\"g-2/\" file_name=\"mirror_fileinfo.xml\" sha1=\"s\" date=\"\""
               " execute_filename=\"\" execute_params=\"\"/>\n"
               "        <x86 path=\"g-2/\" file_name=\"mirror_fileinfo.xml\" sha1=\"\" date=\"\""
               " execute_filename=\"\" execute_params=\"\"/>\n"
               "    </bin>\n"
               "    <depends/>\n"
               "    <do_not_delete/>\n"
               "</project>";

        QTest::newRow("empty but not null override writes an empty value")
            << "<project name='m'><bin><x64 path='p' file_name='f'/></bin></project>"
            << "" << QString()
            << "<project name=\"m\" type=\"\" real_path=\"\" parent=\"\" ru_name=\"\" is_base=\"false\" guid=\"\">\n"
               "    <bin>\n"
               "        <x64 path=\"\" file_name=\"f\" sha1=\"\" date=\"\" execute_filename=\"\" "
               "execute_params=\"\"/>\n"
               "    </bin>\n"
               "    <depends/>\n"
               "    <do_not_delete/>\n"
               "</project>";
    }

    void writtenForm()
    {
        QFETCH(QString, xml);
        QFETCH(QString, path);
        QFETCH(QString, fileName);
        QFETCH(QString, expected);

        const ParsedElement parsed = parseElement(xml);
        ProjectPlugin plugin;
        QVERIFY(plugin.loadFromXml(parsed.element));
        QCOMPARE(writeElement(plugin, path, fileName), expected);
    }

    void writtenFormRoundTrip()
    {
        const ParsedElement parsed = parseElement(
            "<project name='a&amp;b' ru_name='&lt;Модуль&gt;' type='lib' parent='x' real_path='y' is_base='true' "
            "guid='g'>"
            "<bin><x64 path='p q' file_name='f' sha1='s' date='2021-12-31T23:59:59.500+03:00' execute_filename='e'"
            " execute_params='a  b'/></bin><depends><depend project='d1' is_nessesary='true'/>"
            "<depend project=''/></depends><do_not_delete><file file_name='k 1'/></do_not_delete></project>");
        ProjectPlugin original;
        QVERIFY(original.loadFromXml(parsed.element));

        const QString text = writeElement(original);
        const ParsedElement reread = parseElement(text);
        ProjectPlugin copy;
        QVERIFY(copy.loadFromXml(reread.element));
        QCOMPARE(copy.name(), original.name());
        QCOMPARE(copy.ruName(), original.ruName());
        QCOMPARE(copy.type(), original.type());
        QCOMPARE(copy.parent(), original.parent());
        QCOMPARE(copy.realPath(), original.realPath());
        QCOMPARE(copy.isBase(), original.isBase());
        QCOMPARE(copy.guid(), original.guid());
        QCOMPARE(describeBinaries(copy), describeBinaries(original));
        QCOMPARE(copy.binaries().first()->date(), original.binaries().first()->date());
        QCOMPARE(copy.depends(), original.depends());
        QCOMPARE(copy.doNotDelete(), original.doNotDelete());
    }

    // ---- descriptions ----

    void containsDependLooksOneLevelDown()
    {
        ProjectDescription description;
        QVERIFY(!description.containsDepend(QStringLiteral("a")));
        description.setBase(makePlugin("prog", {{"a", true}}, "project"));
        QVERIFY(description.containsDepend("a"));
        QVERIFY(!description.containsDepend("b"));
        description.addPlugin(makePlugin("a", {{"b", false}}));
        QVERIFY(description.containsDepend("b"));
        QVERIFY(!description.containsDepend("c"));
        description.addPlugin(makePlugin("b", {{"c", true}}));
        QVERIFY(description.containsDepend("c"));
    }

    void addPluginPlacesModules_data()
    {
        QTest::addColumn<QStringList>("offered"); // names in call order
        QTest::addColumn<QStringList>("modules");
        QTest::addColumn<QStringList>("allModules");

        // prog needs a (necessary) and b; a needs c; c needs d; x is needed by nobody.
        QTest::newRow("direct modules in both lists") << QStringList{"a", "b"} << QStringList{"a", "b"}
                                                      << QStringList{"a", "b"};
        QTest::newRow("module of a module only in allModules") << QStringList{"a", "c", "d"} << QStringList{"a"}
                                                               << QStringList{"a", "c", "d"};
        QTest::newRow("module of a module offered too early is not taken") << QStringList{"c", "a"}
                                                                           << QStringList{"a"} << QStringList{"a"};
        QTest::newRow("unneeded module leaves the description unchanged") << QStringList{"x"} << QStringList{}
                                                                          << QStringList{};
        QTest::newRow("program itself is not a module") << QStringList{"prog"} << QStringList{} << QStringList{};
    }

    void addPluginPlacesModules()
    {
        QFETCH(QStringList, offered);
        QFETCH(QStringList, modules);
        QFETCH(QStringList, allModules);

        const QMap<QString, ProjectPluginPtr> pool{
            {"prog", makePlugin("prog", {{"a", true}, {"b", false}}, "project")},
            {"a", makePlugin("a", {{"c", false}})},
            {"b", makePlugin("b")},
            {"c", makePlugin("c", {{"d", true}})},
            {"d", makePlugin("d")},
            {"x", makePlugin("x")},
        };
        ProjectDescription description;
        description.setBase(makePlugin("prog", {{"a", true}, {"b", false}}, "project"));
        for (const QString &name : offered)
            description.addPlugin(pool.value(name));
        QCOMPARE(names(description.modules()), modules);
        QCOMPARE(description.allModules().keys(), allModules);
        for (const QString &name : allModules)
            QCOMPARE(description.allModules().value(name), pool.value(name));
    }

    void entryOfferedTwice()
    {
        ProjectDescription description;
        description.setBase(makePlugin("prog", {{"a", false}}, "project"));
        const ProjectPluginPtr first = makePlugin("a");
        const ProjectPluginPtr second = makePlugin("a");
        description.addPlugin(first);
        description.addPlugin(second);
        description.addPlugin(ProjectPluginPtr());
        QCOMPARE(description.modules(), (QList<ProjectPluginPtr>{first, second}));
        QCOMPARE(description.allModules().size(), 1);
        QCOMPARE(description.allModules().value("a"), second);
    }

    void isNecessary_data()
    {
        QTest::addColumn<bool>("withBase");
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("necessary");

        QTest::newRow("without base") << false << "a" << false;
        QTest::newRow("necessary module") << true << "a" << true;
        QTest::newRow("optional module") << true << "b" << false;
        QTest::newRow("module of a module") << true << "c" << false;
        QTest::newRow("unknown") << true << "zzz" << false;
    }

    void isNecessary()
    {
        QFETCH(bool, withBase);
        QFETCH(QString, name);
        QFETCH(bool, necessary);

        ProjectDescription description;
        if (withBase)
            description.setBase(makePlugin("prog", {{"a", true}, {"b", false}}, "project"));
        description.addPlugin(makePlugin("a", {{"c", true}}));
        QCOMPARE(description.isNecessary(name), necessary);
    }

    void sharedModuleDestroyedOnce()
    {
        auto *first = new ProjectDescription;
        auto *second = new ProjectDescription;
        first->setBase(makePlugin("p1", {{"shared", true}}, "project"));
        second->setBase(makePlugin("p2", {{"shared", false}}, "project"));
        QWeakPointer<ProjectPlugin> shared;
        QWeakPointer<ProjectPlugin> base1 = first->base();
        {
            const ProjectPluginPtr module = makePlugin("shared");
            shared = module;
            first->addPlugin(module);
            second->addPlugin(module);
        }
        QVERIFY(!shared.isNull());
        first->clear();
        QVERIFY(base1.isNull());
        QVERIFY2(!shared.isNull(), "the module must live while the second description holds it");
        QCOMPARE(second->allModules().value("shared"), shared.toStrongRef());
        delete second;
        QVERIFY(shared.isNull());
        delete first; // clearing again must not touch what is gone
    }

    void clearKeepsSourceAndServer()
    {
        ProjectDescription description;
        description.setSourceDir(QStringLiteral("http://h/bin"));
        description.setServerKey(QStringLiteral("server2"));
        description.setBase(makePlugin("prog", {{"a", true}}, "project"));
        description.addPlugin(makePlugin("a"));
        description.clear();
        QVERIFY(description.base().isNull());
        QVERIFY(description.modules().isEmpty());
        QVERIFY(description.allModules().isEmpty());
        QVERIFY(!description.isNecessary("a"));
        QCOMPARE(description.sourceDir(), QStringLiteral("http://h/bin"));
        QCOMPARE(description.serverKey(), QStringLiteral("server2"));
    }

    // ---- descriptions built from documents ----

    void buildFromDocuments_data()
    {
        QTest::addColumn<QString>("document");
        // One line per description: "prog: modules | allModules".
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<QStringList>("allPlugins");

        QTest::newRow("module before its program joins it") << "module_first.xml"
                                                            << QStringList{"app: core | core"}
                                                            << QStringList{"app", "core", "spare"};
        QTest::newRow("modules needed only by modules, listed after")
            << "module_chain_after.xml" << QStringList{"app: core | core,deep,deeper"}
            << QStringList{"app", "core", "deep", "deeper"};
        QTest::newRow("modules needed only by modules, listed before")
            << "module_chain_before.xml" << QStringList{"app: core | core,deep,deeper"}
            << QStringList{"app", "core", "deep", "deeper"};
        QTest::newRow("two programs share a module; unknown and rejected elements dropped")
            << "two_programs.xml" << QStringList{"app: core,viewer | core,viewer", "tool: core | core"}
            << QStringList{"app", "core", "tool", "viewer"};
    }

    void buildFromDocuments()
    {
        QFETCH(QString, document);
        QFETCH(QStringList, expected);
        QFETCH(QStringList, allPlugins);

        Settings settings;
        QVERIFY(settings.readProjectDocument(kDataDir + "/" + document, "server1", "http://h/bin", kAdmitted));
        QStringList actual;
        for (const ProjectDescription *description : settings.programmDescriptions()) {
            QCOMPARE(description->serverKey(), QStringLiteral("server1"));
            QCOMPARE(description->sourceDir(), QStringLiteral("http://h/bin"));
            actual.append(description->base()->name() + ": " + names(description->modules()).join(',') + " | "
                          + description->allModules().keys().join(','));
        }
        QCOMPARE(actual, expected);
        QCOMPARE(settings.allPlugins().keys(), allPlugins);
        for (const ProjectPluginPtr &plugin : settings.allPlugins()) {
            QCOMPARE(plugin->sourceDir(), QStringLiteral("http://h/bin"));
            for (const PluginBinary *binary : plugin->binaries())
                QCOMPARE(binary->sourceDir(), QStringLiteral("http://h/bin"));
        }
    }

    void moduleFromLaterServer()
    {
        Settings settings;
        QTemporaryDir dir;
        QVERIFY(writeFile(dir.filePath("one.xml"),
                          "<root><projects>"
                          "<project name='app' type='project' guid='11111111-1111-1111-1111-111111111111'>"
                          "<depends><depend project='remote' is_nessesary='true'/></depends></project>"
                          "</projects></root>"));
        QVERIFY(writeFile(dir.filePath("two.xml"),
                          "<root><projects>"
                          "<project name='remote'><bin><x64 path='r'/></bin>"
                          "<depends><depend project='remote_dep'/></depends></project>"
                          "<project name='remote_dep'/>"
                          "</projects></root>"));
        QVERIFY(settings.readProjectDocument(dir.filePath("one.xml"), "server1", "/srv/one", kAdmitted));
        QCOMPARE(settings.programmDescriptions().first()->allModules().size(), 0);
        QVERIFY(settings.readProjectDocument(dir.filePath("two.xml"), "server2", "/srv/two", kAdmitted));

        QCOMPARE(settings.programmDescriptions().size(), 1);
        const ProjectDescription *app = settings.programmDescriptions().first();
        QCOMPARE(app->serverKey(), QStringLiteral("server1"));
        QCOMPARE(names(app->modules()), QStringList{"remote"});
        QCOMPARE(app->allModules().keys(), (QStringList{"remote", "remote_dep"}));
        QVERIFY(app->isNecessary("remote"));
        QCOMPARE(app->modules().first()->binaries().first()->fullPath(), QStringLiteral("/srv/two/r"));
    }

    void duplicateNameReplacesAndFreesEarlier()
    {
        Settings settings;
        QTemporaryDir dir;
        QVERIFY(writeFile(dir.filePath("a.xml"), "<root><projects><project name='lone' ru_name='first'/>"
                                                 "</projects></root>"));
        QVERIFY(writeFile(dir.filePath("b.xml"), "<root><projects><project name='lone' ru_name='second'/>"
                                                 "</projects></root>"));
        QVERIFY(settings.readProjectDocument(dir.filePath("a.xml"), "server1", "", kAdmitted));
        const QWeakPointer<ProjectPlugin> first = settings.allPlugins().value("lone");
        QVERIFY(!first.isNull());
        QVERIFY(settings.readProjectDocument(dir.filePath("b.xml"), "server2", "", kAdmitted));
        QCOMPARE(settings.allPlugins().value("lone")->ruName(), QStringLiteral("second"));
        QVERIFY2(first.isNull(), "the replaced element must be freed");
    }

    void badDocumentKeepsTables_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("exists");

        QTest::newRow("not well-formed") << QByteArray("<root><projects><project name='x'></projects>") << true;
        QTest::newRow("empty file") << QByteArray() << true;
        QTest::newRow("entity expansion") << QByteArray("<?xml version='1.0'?><!DOCTYPE r [<!ENTITY a 'aaaa'>"
                                                        "<!ENTITY b '&a;&a;&a;&a;'>]><root><projects>"
                                                        "<project name='&b;'/></projects></root>")
                                          << true;
        QTest::newRow("missing file") << QByteArray() << false;
    }

    void badDocumentKeepsTables()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, exists);

        Settings settings;
        QVERIFY(settings.readProjectDocument(kDataDir + "/module_first.xml", "server1", "", kAdmitted));
        QTemporaryDir dir;
        const QString path = dir.filePath("bad.xml");
        if (exists)
            QVERIFY(writeFile(path, content));

        MessageCapture capture;
        QString error;
        QVERIFY(!settings.readProjectDocument(path, "server2", "", kAdmitted, &error));
        QVERIFY(!error.isEmpty());
        const QString expectedWarning = exists ? "error parse document" : "can't open file";
        QVERIFY2(capture.contains(QtWarningMsg, expectedWarning), qPrintable(capture.warnings().join('\n')));
        QCOMPARE(settings.programmDescriptions().size(), 1);
        QCOMPARE(settings.allPlugins().keys(), (QStringList{"app", "core", "spare"}));
    }

    void fuzzRegressions()
    {
        // Inputs that once broke the reader must now be read or refused cleanly.
        const QString folder = QStringLiteral(KESTRA_FUZZ_REGRESSIONS_DIR) + "/project";
        QDirIterator it(folder, QDir::Files);
        int count = 0;
        while (it.hasNext() && count < 1000) {
            const QString path = it.next();
            ++count;
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
