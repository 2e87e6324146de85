// Which programs the updater offers and where it fetches them from: project
// lists, update servers with fallbacks (nginx, a scripted HTTP server and
// plain folders, all on this machine) and mirrors.

#include "edition.h"
#include "messagecapture.h"
#include "mirrordescription.h"
#include "nginxserver.h"
#include "projectdescription.h"
#include "scriptedhttpserver.h"
#include "settings.h"
#include "signature.h"
#include "testfiles.h"

#include <QDir>
#include <QElapsedTimer>
#include <QNetworkProxy>
#include <QSettings>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QWeakPointer>
#include <QtTest>

namespace {

const QString kDataDir = QStringLiteral(KESTRA_TEST_DATA_DIR);
const QString kApp = QStringLiteral("11111111-1111-1111-1111-111111111111");
const QString kTool = QStringLiteral("22222222-2222-2222-2222-222222222222");
const QString kLab = QStringLiteral("33333333-3333-3333-3333-333333333333");
const QString kKestraUpdater = QStringLiteral("ac1dba94-cd1b-402a-9679-8390a3929fa2");

using Entries = QList<QPair<QString, QVariant>>; // "group/key", value

void writeConfig(const QString &path, const Entries &entries)
{
    QSettings ini(path, QSettings::IniFormat);
    ini.setIniCodec(QTextCodec::codecForName("UTF-8"));
    // Keys of the "General" section have no group in QSettings' terms.
    for (const auto &entry : entries) {
        QString key = entry.first;
        if (key.startsWith(QLatin1String("General/")))
            key.remove(0, 8);
        ini.setValue(key, entry.second);
    }
}

// "program: module,module" per description, in table order.
QStringList describe(const QList<ProjectDescription *> &descriptions)
{
    QStringList result;
    for (const ProjectDescription *description : descriptions) {
        QStringList modules;
        for (const ProjectPluginPtr &module : description->allModules())
            modules << module->name();
        result << description->serverKey() + " " + description->base()->name() + ": " + modules.join(',');
    }
    return result;
}

} // namespace

class TestServers : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QCoreApplication::setApplicationName(QStringLiteral("kestraupd"));
        QVERIFY2(NginxServer::isAvailable(), "nginx is needed (scripts/packages.txt)");
        static QTemporaryDir www;
        for (const char *name : {"first.xml", "second.xml", "malformed.xml"})
            QVERIFY(writeFile(www.filePath("bin/" + QString(name)), readFile(kDataDir + "/" + name)));
        QVERIFY(writeFile(www.filePath("bin/entities.xml"),
                          "<?xml version='1.0'?><!DOCTYPE r [<!ENTITY a 'x'>]><root><projects>"
                          "<project name='&a;' type='project' guid='33333333-3333-3333-3333-333333333333'/>"
                          "</projects></root>"));
        QVERIFY(writeFile(www.filePath("bin/empty.xml"), QByteArray()));
        m_nginx.setRoot(www.path());
        QString error;
        QVERIFY2(m_nginx.start(&error), qPrintable(error));
    }

    void init()
    {
        QCoreApplication::setApplicationName(QStringLiteral("kestraupd"));
        m_work.reset(new QTemporaryDir);
        QVERIFY(m_work->isValid());
        m_ini = m_work->filePath("config.ini");
        for (const char *name : {"first.xml", "second.xml", "malformed.xml"})
            QVERIFY(writeFile(folderDoc(name), readFile(kDataDir + "/" + QLatin1String(name))));
    }

    void cleanup()
    {
        QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::NoProxy));
        m_work.reset();
    }

    // ---- the project list ----

    void projects_data()
    {
        QTest::addColumn<QString>("application");
        QTest::addColumn<Entries>("entries");
        QTest::addColumn<QStringList>("expected");

        const QStringList orvel{"0921977d-6bf2-4ca6-a78f-609fcbfb6ea8", "4ad6b531-3d04-44fa-97aa-7d2745926083",
                                "cd820bce-a7e6-43e8-aa3a-31f2d055ede9", "a4a8effa-985c-4aa7-b8de-cb4b5f403d06",
                                "f3e354d8-8236-4e40-bc84-61f7b74cd7bd", "b76427b1-c697-48bb-8700-43fb1f861a71",
                                "c35461fc-95f4-4b90-b694-e7791d8ca2b3"};
        const QStringList kestra{kKestraUpdater, "15e5bfdc-78cf-4062-82db-79841f6069b0"};

        QTest::newRow("kestra defaults hold the updater once") << "kestraupd" << Entries{} << kestra;
        QTest::newRow("orvel defaults, first is the updater, listed once") << "ORVELUPD" << Entries{} << orvel;
        QTest::newRow("neither edition: only the updater") << "updater" << Entries{}
                                                            << QStringList{"3eef9002-824b-4ed6-9d5b-5f79949c6392"};
        QTest::newRow("both edition names: the later list wins")
            << "orvelupd-kestraupd" << Entries{}
            << QStringList{kKestraUpdater, "15e5bfdc-78cf-4062-82db-79841f6069b0", orvel.first()};
        QTest::newRow("listed keys, empty one skipped")
            << "kestraupd"
            << Entries{{"projects/projects_count", 3}, {"projects/key1", "a"}, {"projects/key3", "c"}}
            << QStringList{"a", "c", kKestraUpdater};
        QTest::newRow("updater listed already") << "kestraupd"
                                                << Entries{{"projects/projects_count", 2},
                                                           {"projects/key1", kKestraUpdater},
                                                           {"projects/key2", "b"}}
                                                << QStringList{kKestraUpdater, "b"};
        QTest::newRow("negative count: no list at all") << "kestraupd" << Entries{{"projects/projects_count", -1}}
                                                        << QStringList{kKestraUpdater};
        QTest::newRow("x32 admits the 32-bit release updater")
            << "updater" << Entries{{"config/version", "x32"}} << QStringList{"2bd29468-6e7c-46f7-b6ae-2d27742b8790"};
        QTest::newRow("X32 in capitals admits no updater") << "updater" << Entries{{"config/version", "X32"}}
                                                           << QStringList{};
        QTest::newRow("count far too large is bounded")
            << "updater" << Entries{{"projects/projects_count", 2000000000}, {"projects/key1", "a"}}
            << QStringList{"a", "3eef9002-824b-4ed6-9d5b-5f79949c6392"};
    }

    void projects()
    {
        QFETCH(QString, application);
        QFETCH(Entries, entries);
        QFETCH(QStringList, expected);

        QVERIFY2(!Settings::isDevelopmentInstallation(), "the build folder must not look like a development one");
        QCoreApplication::setApplicationName(application);
        writeConfig(m_ini, entries);
        Settings settings;
        settings.setConfigPath(m_ini);
        QElapsedTimer timer;
        timer.start();
        MessageCapture capture;
        QCOMPARE(settings.projects(), expected);
        QVERIFY(timer.elapsed() < 30000);
    }

    // ---- server1's built-in defaults ----

    void defaultSourceByEdition_data()
    {
        QTest::addColumn<QString>("application");
        QTest::addColumn<QString>("file");

        QTest::newRow("orvel") << "orvelupd_x" << "/bin/orvel.xml";
        QTest::newRow("kestra in capitals") << "KestraUpd" << "/bin/kestra.xml";
        QTest::newRow("neither") << "updater" << "/bin/palladupd.xml";
    }

    void defaultSourceByEdition()
    {
        QFETCH(QString, application);
        QFETCH(QString, file);
        QCoreApplication::setApplicationName(application);
        const QUrl url(Settings::defaultSourcePath());
        QCOMPARE(url.scheme(), QStringLiteral("https"));
        QVERIFY(url.host().endsWith(QLatin1String(".example"))); // never a real host
        QCOMPARE(url.path(), file);
    }

    void server1DefaultsGoToTheVendorHost()
    {
        // All traffic goes to a local proxy that refuses it, so the vendor host
        // is named but never contacted.
        ScriptedHttpServer proxy;
        proxy.setResponse(403, "refused");
        QString error;
        QVERIFY2(proxy.start(&error), qPrintable(error));
        QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::HttpProxy, "127.0.0.1", proxy.port()));

        writeConfig(m_ini, {{"General/update_servers_count", 2}, {"server1/local_file_path", localName("main.xml")}});
        Settings settings;
        settings.setConfigPath(m_ini);
        MessageCapture capture;
        settings.fillProjects();

        const QList<ScriptedHttpServer::Request> requests = proxy.requests();
        QVERIFY(!requests.isEmpty());
        const QUrl expected(Settings::defaultSourcePath());
        for (const ScriptedHttpServer::Request &request : requests) {
            QCOMPARE(request.method, QByteArray("CONNECT"));
            QCOMPARE(request.target, QStringLiteral("%1:443").arg(expected.host()).toUtf8());
        }
        // server2 has no built-in address or file name: it asks nobody.
        QVERIFY(capture.contains(QtWarningMsg, "server2 has no local_file_path"));
        QVERIFY(settings.programmDescriptions().isEmpty());
    }

    // ---- filling from servers ----

    void fillFromFolder()
    {
        configure({kApp, kTool}, {folderDoc("first.xml")});
        Settings settings;
        settings.setConfigPath(m_ini);
        settings.fillProjects();

        QCOMPARE(describe(settings.programmDescriptions()), (QStringList{"server1 app: core", "server1 tool: core"}));
        QCOMPARE(settings.allPlugins().keys(), (QStringList{"app", "core", "tool"}));
        QCOMPARE(readFile(m_work->filePath("main.xml")), readFile(folderDoc("first.xml")));
        const ProjectDescription *app = settings.programmDescriptions().first();
        QCOMPARE(app->sourceDir(), m_work->filePath("share/bin"));
        QCOMPARE(app->base()->binaries().first()->fullPath(), m_work->filePath("share/bin/app/x64"));
        // One shared element serves both programs.
        QCOMPARE(app->allModules().value("core"), settings.programmDescriptions().at(1)->allModules().value("core"));
    }

    void fillFromHttpAndFolder()
    {
        configure({kApp, kTool, kLab}, {m_nginx.baseUrl() + "/bin/first.xml", folderDoc("second.xml")});
        Settings settings;
        settings.setConfigPath(m_ini);
        settings.fillProjects();

        // "reports" comes from the second server and still joins "app".
        QCOMPARE(describe(settings.programmDescriptions()),
                 (QStringList{"server1 app: core,reports", "server1 tool: core", "server2 lab: reports"}));
        const ProjectDescription *app = settings.programmDescriptions().first();
        QCOMPARE(app->sourceDir(), m_nginx.baseUrl() + "/bin");
        QCOMPARE(app->allModules().value("core")->binaries().first()->fullPath(), m_nginx.baseUrl() + "/bin/core/x64");
        QCOMPARE(app->allModules().value("reports")->binaries().first()->fullPath(),
                 m_work->filePath("share/bin/reports/x64"));
        QVERIFY(!app->isNecessary("reports"));
        QVERIFY(app->isNecessary("core"));
    }

    void sourceWithoutSlash()
    {
        const QString previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(m_work->filePath("share/bin")));
        configure({kApp}, {"first.xml"});
        Settings settings;
        settings.setConfigPath(m_ini);
        settings.fillProjects();
        QDir::setCurrent(previous);
        QCOMPARE(settings.programmDescriptions().size(), 1);
        QCOMPARE(settings.programmDescriptions().first()->sourceDir(), QString());
        QCOMPARE(settings.allPlugins().value("core")->binaries().first()->fullPath(), QStringLiteral("/core/x64"));
    }

    void failingSourceWithFallbacks()
    {
        const QString base = m_nginx.baseUrl();
        // server2 has nothing reachable: it is skipped, server3 is still read.
        configure({kApp, kTool, kLab}, {base + "/bin/missing.xml", base + "/bin/gone.xml", folderDoc("second.xml")},
                  {{"server1/alternative_servers_count", 3},
                   {"server1/alternative_server1", ""},
                   {"server1/alternative_server2", m_work->filePath("nowhere/first.xml")},
                   {"server1/alternative_server3", base + "/bin/first.xml"}});
        Settings settings;
        settings.setConfigPath(m_ini);
        MessageCapture capture;
        settings.fillProjects();

        QCOMPARE(describe(settings.programmDescriptions()),
                 (QStringList{"server1 app: core,reports", "server1 tool: core", "server3 lab: reports"}));
        // The base folder is the one of the fallback that answered.
        QCOMPARE(settings.programmDescriptions().first()->sourceDir(), base + "/bin");
        // The source, the missing folder and the gone server were each reported.
        QVERIFY2(capture.warnings().size() >= 3, qPrintable(capture.warnings().join('\n')));
    }

    void unreadableDocumentStopsFill_data()
    {
        QTest::addColumn<QString>("document");
        QTest::addColumn<QString>("signature"); // what a signing server2 does wrong; empty: none required
        QTest::newRow("not well-formed") << "malformed.xml" << QString();
        QTest::newRow("entity declarations") << "entities.xml" << QString();
        QTest::newRow("empty") << "empty.xml" << QString();
        // A refused signed document is skipped alone: later servers are read.
        QTest::newRow("signed, a byte changed: that server skipped") << "second.xml" << "byte";
        QTest::newRow("signed, older than the one accepted before: that server skipped") << "second.xml" << "older";
    }

    void unreadableDocumentStopsFill()
    {
        QFETCH(QString, document);
        QFETCH(QString, signature);
        if (!signature.isEmpty()) {
            refusedSignedDocument(signature);
            return;
        }
        configure({kApp, kTool, kLab},
                  {folderDoc("first.xml"), m_nginx.baseUrl() + "/bin/" + document, folderDoc("second.xml")});
        Settings settings;
        settings.setConfigPath(m_ini);
        MessageCapture capture;
        settings.fillProjects();

        QVERIFY2(capture.contains(QtWarningMsg, "error parse document"), qPrintable(capture.warnings().join('\n')));
        // What the first server gave stays; the third is never read.
        QCOMPARE(describe(settings.programmDescriptions()), (QStringList{"server1 app: core", "server1 tool: core"}));
        QVERIFY(!QFile::exists(m_work->filePath("server3.xml")));
    }

    void postReachesServerWithProjectIds()
    {
        // The POST body is built from the process-wide store's project list.
        ScriptedHttpServer server;
        server.setResponse(200, readFile(kDataDir + "/first.xml"));
        QString error;
        QVERIFY2(server.start(&error), qPrintable(error));
        configure({kApp, kTool}, {server.baseUrl() + "/bin/first.xml"}, {{"server1/metod", "pOsT"}});
        Settings *settings = Settings::instance();
        settings->setConfigPath(m_ini);
        settings->fillProjects();

        const QList<ScriptedHttpServer::Request> requests = server.requests();
        QCOMPARE(requests.size(), 1);
        const ScriptedHttpServer::Request &request = requests.first();
        QCOMPARE(request.method, QByteArray("POST"));
        QCOMPARE(request.target, QByteArray("/bin/first.xml"));
        QCOMPARE(request.header("Content-Type"), QByteArray("application/json"));
        const QByteArray expected = "{\n\"projectIds\" : [\n\"" + kApp.toUtf8() + "\",\n\"" + kTool.toUtf8() + "\",\n\""
                                    + kKestraUpdater.toUtf8() + "\"\n]\n}";
        QCOMPARE(request.body, expected);
        QCOMPARE(describe(settings->programmDescriptions()), (QStringList{"server1 app: core", "server1 tool: core"}));
        QCOMPARE(settings->programmDescriptions().first()->sourceDir(), server.baseUrl() + "/bin");
    }

    // ---- mirrors ----

    void mirrors()
    {
        configure({kApp, kTool, kLab}, {m_nginx.baseUrl() + "/bin/first.xml", folderDoc("second.xml")},
                  {{"General/mirrors_count", 5},
                   {"mirror1/main_server_name", "server1"},
                   {"mirror1/mirror_folder", "D:/mirror1"},
                   {"mirror2/main_server_name", "server1"},
                   {"mirror2/mirror_folder", "D:/mirror2"},
                   {"mirror2/programms_count", 0},
                   {"mirror3/main_server_name", "server1"},
                   {"mirror3/mirror_folder", "D:/mirror3"},
                   {"mirror3/programms_count", 4},
                   {"mirror3/programm_name1", "app"},
                   {"mirror3/programm_guid1", kApp},
                   {"mirror3/programm_name2", "tool"},
                   {"mirror3/programm_guid2", kApp}, // not tool's guid
                   {"mirror3/programm_name3", "app"},
                   {"mirror3/programm_guid3", kApp},
                   {"mirror3/programm_name4", "lab"},
                   {"mirror3/programm_guid4", kLab},
                   {"mirror4/main_server_name", "server2"},
                   {"mirror4/mirror_folder", "\\\\share\\mirror4"},
                   {"mirror5/main_server_name", "Server1"}});
        Settings settings;
        settings.setConfigPath(m_ini);
        settings.fillProjects();
        settings.fillMirrors();

        QStringList actual;
        for (const MirrorDescription *mirror : settings.mirrors()) {
            QStringList programms;
            for (const ProjectDescription *description : mirror->programms) {
                QVERIFY(settings.programmDescriptions().contains(const_cast<ProjectDescription *>(description)));
                programms << description->base()->name();
            }
            actual << mirror->mainServerName + " " + mirror->mirrorFolder + ": " + programms.join(',');
        }
        QCOMPARE(actual, (QStringList{"server1 D:/mirror1: app,tool", "server1 D:/mirror2: app,tool",
                                      "server1 D:/mirror3: app,app", "server2 \\\\share\\mirror4: lab", "Server1 : "}));

        // Refilling the mirrors replaces them.
        settings.fillMirrors();
        QCOMPARE(settings.mirrors().size(), 5);
    }

    void setProjectsRefills()
    {
        configure({kApp, kTool, "left-behind"}, {folderDoc("first.xml")},
                  {{"General/mirrors_count", 1}, {"mirror1/main_server_name", "server1"}});
        Settings settings;
        settings.setConfigPath(m_ini);
        settings.fillProjects();
        settings.fillMirrors();
        QCOMPARE(settings.programmDescriptions().size(), 2);

        settings.setProjects({kTool});
        QCOMPARE(describe(settings.programmDescriptions()), QStringList{"server1 tool: core"});
        QCOMPARE(settings.mirrors().size(), 1);
        QCOMPARE(settings.mirrors().first()->programms.size(), 1);
        QCOMPARE(settings.mirrors().first()->programms.first(), settings.programmDescriptions().first());

        QSettings ini(m_ini, QSettings::IniFormat);
        QCOMPARE(ini.value("projects/projects_count").toInt(), 1);
        QCOMPARE(ini.value("projects/key1").toString(), kTool);
        QCOMPARE(ini.value("projects/key3").toString(), QStringLiteral("left-behind"));
    }

    void refillFreesPreviousTables()
    {
        configure({kApp}, {folderDoc("first.xml")},
                  {{"General/mirrors_count", 1}, {"mirror1/main_server_name", "server1"}});
        Settings settings;
        settings.setConfigPath(m_ini);
        settings.fillProjects();
        settings.fillMirrors();
        const QWeakPointer<ProjectPlugin> oldCore = settings.allPlugins().value("core");
        const QWeakPointer<ProjectPlugin> oldApp = settings.allPlugins().value("app");
        QVERIFY(!oldCore.isNull());

        settings.fillProjects();
        QVERIFY2(oldCore.isNull() && oldApp.isNull(), "elements of the previous fill must be freed");
        // Mirrors point into the descriptions, so they go with them.
        QVERIFY(settings.mirrors().isEmpty());
        settings.fillMirrors();
        QCOMPARE(settings.mirrors().first()->programms.first(), settings.programmDescriptions().first());
    }

private:
    // server1 and server3 sign properly; server2's document (a copy of
    // server3's) is refused for signature: nothing of server2 changes.
    void refusedSignedDocument(const QString &signature)
    {
        QByteArray key;
        QByteArray publicKey;
        QVERIFY(generateSigningKeyPair(&key, &publicKey));
        const QDateTime now = QDateTime::currentDateTimeUtc();
        const QString middle = folderDoc("middle.xml");
        QVERIFY(writeFile(middle, readFile(folderDoc("second.xml"))));
        auto sign = [&](const QString &document, const QDateTime &at) {
            return writeFile(signatureFilePath(document),
                             makeSignatureEnvelope(QFileInfo(document).fileName(), readFile(document), key, at));
        };
        QVERIFY(sign(folderDoc("first.xml"), now) && sign(folderDoc("second.xml"), now) && sign(middle, now));
        configure({kApp, kTool, kLab}, {folderDoc("first.xml"), middle, folderDoc("second.xml")},
                  {{"security/trusted_keys", QString::fromLatin1(publicKey.toBase64())},
                   {"General/install_config_path", m_work->filePath("installed.json")}});
        const QString local = m_work->filePath("server2.xml");
        if (signature == QLatin1String("older")) {
            Settings first;
            first.setConfigPath(m_ini);
            first.fillProjects();
            QVERIFY(first.projectDocumentErrors().isEmpty());
            QVERIFY(QFile::exists(local));
            QVERIFY(sign(middle, now.addSecs(-60)));
        } else {
            QByteArray xml = readFile(middle);
            QVERIFY(writeFile(middle, xml.replace("lab", "lax")));
        }
        const QByteArray localBefore = readFile(local);
        const QByteArray envelopeBefore = readFile(signatureFilePath(local));

        Settings settings;
        settings.setConfigPath(m_ini);
        MessageCapture capture;
        settings.fillProjects();
        const QString reason = signature == QLatin1String("older") ? QString::fromUtf8("старее установленного")
                                                                   : QString::fromUtf8("подпись");
        QCOMPARE(settings.projectDocumentErrors(),
                 QStringList{QString::fromUtf8("Ошибка проверки документа %1, %2").arg(middle, reason)});
        QCOMPARE(describe(settings.programmDescriptions()),
                 (QStringList{"server1 app: core,reports", "server1 tool: core", "server3 lab: reports"}));
        QCOMPARE(readFile(local), localBefore);
        QCOMPARE(readFile(signatureFilePath(local)), envelopeBefore);
        QCOMPARE(readFile(m_work->filePath("main.xml")), readFile(folderDoc("first.xml")));
    }

    QString localName(const QString &file) const
    {
        // Relative to the updater's folder, as config.ini gives it.
        return QDir(Settings::applicationDir()).relativeFilePath(m_work->filePath(file));
    }

    QString folderDoc(const QString &name) const { return m_work->filePath("share/bin/" + name); }
    // config.ini: the admitted project keys, the update servers' sources
    // (their local copies main.xml, server2.xml, ...) and further entries;
    // then a store reading it, its projects filled.
    void configure(const QStringList &keys, const QStringList &sources, const Entries &extra = {})
    {
        Entries entries{{"projects/projects_count", keys.size()}, {"General/update_servers_count", sources.size()}};
        for (int i = 0; i < keys.size(); ++i)
            entries.append({QStringLiteral("projects/key%1").arg(i + 1), keys.at(i)});
        for (int i = 0; i < sources.size(); ++i) {
            const QString server = QStringLiteral("server%1/").arg(i + 1);
            entries.append({server + "source_path", sources.at(i)});
            entries.append({server + "local_file_path", localName(i ? server.chopped(1) + ".xml" : "main.xml")});
        }
        writeConfig(m_ini, entries + extra);
    }

    QScopedPointer<QTemporaryDir> m_work;
    QString m_ini;
    NginxServer m_nginx;
};

QTEST_GUILESS_MAIN(TestServers)
#include "tst_servers.moc"
