// Which programs the updater offers and where it fetches them from: the XML guard, project documents and lists,
// update servers with fallbacks (nginx, a scripted HTTP server and plain folders, all on this machine).

#include "messagecapture.h"
#include "nginxserver.h"
#include "projectdescription.h"
#include "scriptedhttpserver.h"
#include "settings.h"
#include "signature.h"
#include "testfiles.h"
#include "xmlguard.h"

#include <QDomDocument>
#include <QtTest> // and with it all of Qt Core

namespace {

const QString kDataDir = QStringLiteral(KESTRA_TEST_DATA_DIR);
const QString kApp = QStringLiteral("11111111-1111-1111-1111-111111111111");
const QString kTool = QStringLiteral("22222222-2222-2222-2222-222222222222");
const QString kLab = QStringLiteral("33333333-3333-3333-3333-333333333333");
const QString kKestraUpdater = QStringLiteral("ac1dba94-cd1b-402a-9679-8390a3929fa2");
const QString kUpdater = QStringLiteral("3eef9002-824b-4ed6-9d5b-5f79949c6392");
using Entries = QList<QPair<QString, QVariant>>; // "group/key", value

// config.ini's update servers, and what filling the store from them gives.
struct Fill
{
    QStringList sources;
    Entries extra;        // further config.ini entries
    QStringList expected; // as describe() gives it
    QString sourceDir;    // of the first description
    QStringList paths;    // "module fullPath" of its first binary
    QString mainDoc = "first.xml"; // what the first server's local copy holds
};

// "server program: module,module" per description, in table order.
QStringList describe(const QList<ProjectDescription *> &descriptions)
{
    QStringList result;
    for (const ProjectDescription *description : descriptions)
        result << description->serverKey() + " " + description->base()->name() + ": "
                      + description->allModules().keys().join(',');
    return result;
}

QByteArray nested(int depth)
{
    return "<root>" + QByteArray("<a>").repeated(depth - 1) + QByteArray("</a>").repeated(depth - 1) + "</root>";
}
} // namespace

Q_DECLARE_METATYPE(Fill)

class TestServers : public QObject
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
        const QDeadlineTimer deadline(5000);
        QDomDocument document;
        QString message;
        int line = -1, column = -1;
        QCOMPARE(setUntrustedContent(document, data, &message, &line, &column), accepted);
        QVERIFY2(!deadline.hasExpired(), "the guard must answer at once, without expanding anything");
        QCOMPARE(document.documentElement().isNull(), !accepted);
        QVERIFY(accepted || (!message.isEmpty() && line >= 1 && column >= 1));
    }

    void initTestCase()
    {
        QVERIFY2(NginxServer::isAvailable(), "nginx is needed (scripts/packages.txt)");
        QVERIFY(writeFile(m_www.filePath("bin/first.xml"), readFile(kDataDir + "/first.xml")));
        QVERIFY(writeFile(m_www.filePath("bin/entities.xml"), readFile(kDataDir + "/billion_laughs.xml")));
        m_nginx.setRoot(m_www.path());
        QString error;
        QVERIFY2(m_nginx.start(&error), qPrintable(error));
    }

    void init()
    {
        QCoreApplication::setApplicationName("kestraupd");
        m_work.reset(new QTemporaryDir);
        m_ini = m_work->filePath("config.ini");
        for (const char *name : {"first.xml", "second.xml", "module_chain_before.xml", "two_programs.xml"})
            QVERIFY(writeFile(folderDoc(name), readFile(kDataDir + "/" + name)));
        m_previousDir = QDir::currentPath();
        QVERIFY(QDir::setCurrent(m_work->filePath("share/bin"))); // for sources without a slash
    }

    void cleanup()
    {
        QDir::setCurrent(m_previousDir);
        m_work.reset();
    }

    void projectListWithAHostileCount()
    {
        // A count far beyond any real list is bounded; the listed keys, an
        // empty one skipped, and the edition's own updater make the list.
        QVERIFY2(!Settings::isDevelopmentInstallation(), "the build folder must not look like a development one");
        QCoreApplication::setApplicationName("updater");
        configure({"a", "", "c"}, {}, {{"projects/projects_count", 2000000000}});
        Settings settings;
        settings.setConfigPath(m_ini);
        QCOMPARE(settings.projects(), (QStringList{"a", "c", kUpdater}));
    }

    void fill_data()
    {
        // @nginx, @scripted (serving first.xml, recording its POST) and @share
        // (a plain folder holding first.xml and second.xml) stand for sources.
        QTest::addColumn<Fill>("row");
        const QStringList both{"server1 app: core", "server1 tool: core"};
        const QStringList three{"server1 app: core,reports", "server1 tool: core"};
        // server2 has nothing reachable: it is skipped, server3 (a folder) is still read and its module joins
        // a program of server1; the base folder is the one of the fallback that answered.
        QTest::newRow("failing HTTP source with fallbacks, then a folder")
            << Fill{{"@nginx/bin/missing.xml", "@nginx/bin/gone.xml", "@share/second.xml"},
                    {{"server1/alternative_servers_count", 3}, {"server1/alternative_server1", ""},
                     {"server1/alternative_server2", "@share/nowhere/first.xml"},
                     {"server1/alternative_server3", "@nginx/bin/first.xml"}},
                    three + QStringList{"server3 lab: reports"}, "@nginx/bin",
                    {"app @nginx/bin/app/x64", "core @nginx/bin/core/x64", "reports @share/reports/x64"}};
        QTest::newRow("modules needed only by modules, listed before")
            << Fill{{"@share/module_chain_before.xml"}, {}, {"server1 app: core,deep,deeper"}, "@share", {},
                    "module_chain_before.xml"};
        QTest::newRow("two programs share a module; unknown, unadmitted and nameless elements dropped")
            << Fill{{"@share/two_programs.xml"}, {}, {"server1 app: core,viewer", "server1 tool: core"}, "@share", {},
                    "two_programs.xml"};
        // Every program then uses the later server's elements, here from a source without a slash.
        QTest::newRow("the same names from a later server replace the earlier elements")
            << Fill{{"@share/first.xml", "first.xml"}, {}, both + QStringList{"server2 app: core", "server2 tool: core"},
                    "@share", {"core /core/x64"}};
        QTest::newRow("POST of the store's project list")
            << Fill{{"@scripted/bin/first.xml"}, {{"server1/metod", "pOsT"}}, both, "@scripted/bin", {}};
        // A hostile document (the guard's rows hold the other kinds): what the
        // first server gave stays; the third is never read.
        QTest::newRow("unreadable document stops the fill")
            << Fill{{"@share/first.xml", "@nginx/bin/entities.xml", "@share/second.xml"}, {}, both, "@share",
                    {"core @share/core/x64"}};
    }

    void fill()
    {
        QFETCH(Fill, row);
        ScriptedHttpServer scripted({ScriptedHttpServer::answer(200, readFile(kDataDir + "/first.xml"))});
        QVERIFY(scripted.start());
        auto place = [&](QString text) {
            return text.replace("@nginx", m_nginx.baseUrl()).replace("@scripted", scripted.baseUrl())
                .replace("@share", m_work->filePath("share/bin"));
        };
        for (auto &entry : row.extra)
            entry.second = place(entry.second.toString());
        configure({kApp, kTool, kLab}, place(row.sources.join('\n')).split('\n'), row.extra);
        // The POST body is built from the process-wide store's project list.
        const bool post = row.sources.first().startsWith("@scripted");
        Settings local;
        Settings *settings = post ? Settings::instance() : &local;
        load(settings);

        QCOMPARE(describe(settings->programmDescriptions()), row.expected);
        QCOMPARE(settings->programmDescriptions().first()->sourceDir(), place(row.sourceDir));
        for (const QString &path : row.paths)
            QCOMPARE(settings->allPlugins().value(path.section(' ', 0, 0))->binaries().first()->fullPath(),
                     place(path.section(' ', 1)));
        // One element serves every program that needs it.
        for (const ProjectDescription *description : settings->programmDescriptions())
            for (const ProjectPluginPtr &module : description->allModules())
                QCOMPARE(module, settings->allPlugins().value(module->name()));
        QCOMPARE(readFile(m_work->filePath("main.xml")), readFile(kDataDir + "/" + row.mainDoc));
        QCOMPARE(QFile::exists(m_work->filePath("server3.xml")), row.expected.last().startsWith("server3"));
        QCOMPARE(scripted.requests().size(), post ? 1 : 0);
        for (const ScriptedHttpServer::Request &request : scripted.requests())
            QCOMPARE(request.method + ' ' + request.target + ' ' + request.headers.value("content-type") + ' ' + request.body,
                     "POST /bin/first.xml application/json "
                         + QString("{\n\"projectIds\" : [\n\"%1\",\n\"%2\",\n\"%3\",\n\"%4\"\n]\n}")
                               .arg(kApp, kTool, kLab, kKestraUpdater).toUtf8());
    }

    void refusedSignedDocument_data()
    {
        QTest::addColumn<bool>("older"); // else a byte changed
        QTest::newRow("signed, a byte changed: that server skipped") << false;
        QTest::newRow("signed, older than the one accepted before: that server skipped") << true;
    }

    void refusedSignedDocument()
    {
        // server1 and server3 sign properly; server2's document (a copy of
        // server3's) is refused: later servers are read, nothing of server2 changes.
        QFETCH(bool, older);
        QByteArray key, publicKey;
        QVERIFY(generateSigningKeyPair(&key, &publicKey));
        const QDateTime now = QDateTime::currentDateTimeUtc();
        const QString middle = folderDoc("middle.xml"), local = m_work->filePath("server2.xml");
        QVERIFY(writeFile(middle, readFile(folderDoc("second.xml"))));
        auto sign = [&](const QString &document, const QDateTime &at) {
            return writeFile(signatureFilePath(document),
                             makeSignatureEnvelope(QFileInfo(document).fileName(), readFile(document), key, at));
        };
        QVERIFY(sign(folderDoc("first.xml"), now) && sign(folderDoc("second.xml"), now) && sign(middle, now));
        configure({kApp, kTool, kLab}, {folderDoc("first.xml"), middle, folderDoc("second.xml")},
                  {{"security/trusted_keys", QString::fromLatin1(publicKey.toBase64())},
                   {"General/install_config_path", m_work->filePath("installed.json")}});
        if (older) {
            Settings first;
            load(&first);
            QVERIFY(first.projectDocumentErrors().isEmpty() && QFile::exists(local));
            QVERIFY(sign(middle, now.addSecs(-60)));
        }
        QVERIFY(older || writeFile(middle, readFile(middle).replace("lab", "lax")));
        const QByteArray localBefore = readFile(local), envelopeBefore = readFile(signatureFilePath(local));
        Settings settings;
        load(&settings);
        const QString reason = older ? "старее установленного" : "подпись";
        QCOMPARE(settings.projectDocumentErrors(),
                 QStringList{QString("Ошибка проверки документа %1, %2").arg(middle, reason)});
        QCOMPARE(describe(settings.programmDescriptions()),
                 (QStringList{"server1 app: core,reports", "server1 tool: core", "server3 lab: reports"}));
        QCOMPARE(readFile(local), localBefore);
        QCOMPARE(readFile(signatureFilePath(local)), envelopeBefore);
        QCOMPARE(readFile(m_work->filePath("main.xml")), readFile(folderDoc("first.xml")));
    }

    void refillFreesTablesAndSetProjectsRefills()
    {
        configure({kApp, kTool, "left-behind"}, {folderDoc("first.xml")},
                  {{"General/mirrors_count", 1}, {"mirror1/main_server_name", "server1"}});
        Settings settings;
        load(&settings);
        settings.fillMirrors();
        const QWeakPointer<ProjectPlugin> oldCore = settings.allPlugins().value("core");
        const QWeakPointer<ProjectPlugin> oldApp = settings.allPlugins().value("app");
        QVERIFY(!oldCore.isNull());
        settings.fillProjects();
        QVERIFY2(oldCore.isNull() && oldApp.isNull(), "elements of the previous fill must be freed");
        QVERIFY(settings.mirrors().isEmpty()); // mirrors point into the descriptions: they go with them

        settings.setProjects({kTool});
        QCOMPARE(describe(settings.programmDescriptions()), QStringList{"server1 tool: core"});
        QSettings ini(m_ini, QSettings::IniFormat);
        QCOMPARE(QStringList({ini.value("projects/projects_count").toString(), ini.value("projects/key1").toString(),
                              ini.value("projects/key3").toString()}), QStringList({"1", kTool, "left-behind"}));
    }

    void fuzzRegressions()
    {
        // Inputs that once broke the reader must now be read or refused cleanly.
        const QDir dir(QStringLiteral(KESTRA_FUZZ_REGRESSIONS_DIR "/project"));
        QVERIFY2(!dir.isEmpty(QDir::Files), "the kept regression inputs are missing");
        for (const QString &name : dir.entryList(QDir::Files)) {
            Settings settings;
            MessageCapture capture;
            const QDeadlineTimer deadline(10000);
            settings.readProjectDocument(dir.filePath(name), "server1", "", QStringList{kApp, kTool});
            settings.fillMirrors();
            QVERIFY2(!deadline.hasExpired(), qPrintable(name));
        }
    }

private:
    void load(Settings *settings) const
    {
        settings->setConfigPath(m_ini);
        settings->fillProjects();
    }
    QString folderDoc(const QString &name) const { return m_work->filePath("share/bin/" + name); }
    // config.ini: the admitted project keys, the update servers' sources (local copies main.xml, server2.xml, ...
    // relative to the updater's folder, as config.ini gives them) and further entries.
    void configure(const QStringList &keys, const QStringList &sources, const Entries &extra = {})
    {
        Entries entries{{"projects/projects_count", keys.size()}, {"General/update_servers_count", sources.size()}};
        for (int i = 0; i < keys.size(); ++i)
            entries.append({QStringLiteral("projects/key%1").arg(i + 1), keys.at(i)});
        for (int i = 0; i < sources.size(); ++i) {
            const QString server = QStringLiteral("server%1").arg(i + 1);
            entries.append({server + "/source_path", sources.at(i)});
            const QString local = m_work->filePath(i ? server + ".xml" : "main.xml");
            entries.append({server + "/local_file_path", QDir(Settings::applicationDir()).relativeFilePath(local)});
        }
        QSettings ini(m_ini, QSettings::IniFormat);
        ini.setIniCodec(QTextCodec::codecForName("UTF-8"));
        for (const auto &entry : entries + extra) // "General" keys have no group in QSettings' terms
            ini.setValue(entry.first.startsWith("General/") ? entry.first.mid(8) : entry.first, entry.second);
    }

    QTemporaryDir m_www;
    QScopedPointer<QTemporaryDir> m_work;
    QString m_ini, m_previousDir;
    NginxServer m_nginx;
};

QTEST_GUILESS_MAIN(TestServers)
#include "tst_servers.moc"
