// installed.json: the registry of installed programs and its queries.

#include "installedprogramm.h"
#include "messagecapture.h"
#include "projectdescription.h"
#include "settings.h"
#include "testfiles.h"

#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <csignal>
#include <sys/resource.h>

namespace {

const QString kDataDir = QStringLiteral(KESTRA_TEST_DATA_DIR);

// Caps the size of files this process may write, as a full disk would; a
// write past the cap fails with EFBIG instead of killing the process.
class FileSizeCap
{
public:
    explicit FileSizeCap(rlim_t bytes)
    {
        m_oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &m_old);
        rlimit capped = m_old;
        capped.rlim_cur = bytes;
        m_active = setrlimit(RLIMIT_FSIZE, &capped) == 0;
    }
    ~FileSizeCap()
    {
        setrlimit(RLIMIT_FSIZE, &m_old);
        std::signal(SIGXFSZ, m_oldHandler);
    }
    bool isActive() const { return m_active; }

private:
    rlimit m_old{};
    void (*m_oldHandler)(int) = nullptr;
    bool m_active = false;
};

QJsonObject registryWith(int programms, const QString &tag)
{
    QJsonArray array;
    for (int i = 0; i < programms; ++i) {
        array.append(QJsonObject{{"programm_name", QStringLiteral("prog%1").arg(i)},
                                 {"display_name", tag},
                                 {"execute_filename", "p.exe"},
                                 {"plugins", QJsonArray{QJsonObject{{"plugin_name", "m"}}}}});
    }
    return QJsonObject{{"programms", array}};
}

} // namespace

class TestRegistry : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // The updater's own program name comes from the executable's name.
        QCoreApplication::setApplicationName(QStringLiteral("kestraupd"));
    }

    void init()
    {
        m_dir.reset(new QTemporaryDir);
        QVERIFY(m_dir->isValid());
        m_settings.reset(new Settings);
        m_settings->setConfigPath(m_dir->filePath("config.ini"));
        m_settings->setRuntimeValue("General", "install_config_path", registryPath());
    }

    void cleanup()
    {
        m_settings.reset();
        m_dir.reset();
    }

    void readDocument_data()
    {
        QTest::addColumn<QByteArray>("content"); // null: no file at all
        QTest::addColumn<QByteArray>("backup");  // installed.json.bak; null: none
        QTest::addColumn<int>("programms");      // size of "programms" read back
        QTest::addColumn<int>("errorOffset");    // -1: no damage expected

        const QByteArray good = readFile(kDataDir + "/installed.json");
        QTest::newRow("missing file") << QByteArray() << good << 0 << -1;
        QTest::newRow("array at top level") << QByteArray("[{\"programms\": []}]") << QByteArray() << 0 << -1;
        QTest::newRow("bad JSON") << QByteArray("{\"programms\": [ {\"programm_name\": } ]}") << QByteArray() << 0
                                  << 35;
        QTest::newRow("truncated JSON, no backup") << QByteArray("{\"programms\": [") << QByteArray() << 0 << 15;
        QTest::newRow("truncated JSON restored from backup") << good.left(200) << good << 8 << 200;
        QTest::newRow("empty file, damaged backup") << QByteArray("") << QByteArray("{") << 0 << 0;
        QTest::newRow("well-formed") << good << QByteArray() << 8 << -1;
    }

    void readDocument()
    {
        QFETCH(QByteArray, content);
        QFETCH(QByteArray, backup);
        QFETCH(int, programms);
        QFETCH(int, errorOffset);

        if (!content.isNull())
            useRegistry(content);
        if (!backup.isNull())
            QVERIFY(writeFile(registryPath() + ".bak", backup));
        MessageCapture capture;
        const QJsonObject config = m_settings->installedConfig();
        QCOMPARE(config.value("programms").toArray().size(), programms);
        const QStringList warnings = capture.warnings();
        if (errorOffset < 0) {
            QVERIFY2(warnings.isEmpty(), qPrintable(warnings.join('\n')));
            QVERIFY(m_settings->takeRegistryNotice().isEmpty());
            return;
        }
        QVERIFY2(capture.contains(QtCriticalMsg, QString(" is damaged: ")), qPrintable(warnings.join('\n')));
        const QRegularExpressionMatch match = QRegularExpression(" offset: +(\\d+)$").match(warnings.first());
        QVERIFY2(match.hasMatch(), qPrintable(warnings.first()));
        QCOMPARE(match.captured(1).toInt(), errorOffset);

        // The damaged bytes are kept aside, the user is told where, and a
        // later write cannot destroy them.
        const QStringList aside = QDir(m_dir->path()).entryList({"installed.json.damaged-*"}, QDir::Files);
        QCOMPARE(aside.size(), 1);
        QCOMPARE(readFile(m_dir->filePath(aside.first())), content);
        QVERIFY(m_settings->takeRegistryNotice().contains(aside.first()));
        QVERIFY(m_settings->setInstalledConfig(registryWith(1, "x")));
        QCOMPARE(readFile(m_dir->filePath(aside.first())), content);
        QCOMPARE(m_settings->installedConfig().value("programms").toArray().size(), 1);
        if (programms > 0)
            QCOMPARE(readFile(registryPath() + ".bak"), backup);
    }

    void loadTable()
    {
        useRegistry(readFile(kDataDir + "/installed.json"));
        m_settings->loadInstalledProgramms();
        const QMap<QString, InstalledProgramm *> table = m_settings->installedProgramms();
        QCOMPARE(table.keys(), (QStringList{"lab", "plain", "viewer"}));

        // The later record of a repeated name is the one kept.
        const InstalledProgramm *viewer = table.value("viewer");
        QCOMPARE(viewer->name, QStringLiteral("viewer"));
        QCOMPARE(viewer->displayName, QStringLiteral("Просмотр (второй)"));
        QCOMPARE(viewer->executeFilename, QStringLiteral("second.exe"));
        QCOMPARE(viewer->executeParams, QStringLiteral(":config:"));
        QCOMPARE(viewer->type, QStringLiteral("project"));
        QCOMPARE(viewer->plugins.size(), 1);
        QCOMPARE(viewer->plugins.first()->name, QStringLiteral("second_module"));
        QCOMPARE(viewer->plugins.first()->type, QStringLiteral("lib"));

        const InstalledProgramm *lab = table.value("lab");
        QCOMPARE(lab->displayName, QStringLiteral("Лаборатория"));
        QStringList labPlugins;
        for (const InstalledPlugin *plugin : lab->plugins)
            labPlugins << plugin->name + "/" + plugin->type + "/" + plugin->displayName;
        QCOMPARE(labPlugins, (QStringList{"lab_cfg_old/config/", "lab_cfg/config/", "lab_reports/Config/"}));

        const InstalledProgramm *plain = table.value("plain");
        QVERIFY(plain->plugins.isEmpty());
        QVERIFY(plain->type.isEmpty());
    }

    void reloadReplacesTable()
    {
        useRegistry(readFile(kDataDir + "/installed.json"));
        m_settings->loadInstalledProgramms();
        useRegistry("{\"programms\": [{\"programm_name\": \"only\", \"plugins\": [{\"plugin_name\": \"\"}]}]}");
        m_settings->loadInstalledProgramms();
        QCOMPARE(m_settings->installedProgramms().keys(), QStringList{"only"});
        QVERIFY(m_settings->installedProgramms().value("only")->plugins.isEmpty());
        QFile::remove(registryPath());
        m_settings->loadInstalledProgramms();
        QVERIFY(m_settings->installedProgramms().isEmpty());
    }

    void executeFilename_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("expected");

        QTest::newRow("first of two records with one name") << "viewer" << "bin/viewer.exe";
        QTest::newRow("plain record") << "lab" << "lab.exe";
        QTest::newRow("names are case-sensitive") << "Viewer" << "";
        QTest::newRow("not installed") << "absent" << "";
        QTest::newRow("empty name matches no nameless record") << "" << "";
    }

    void executeFilename()
    {
        QFETCH(QString, name);
        QFETCH(QString, expected);
        useRegistry(readFile(kDataDir + "/installed.json"));
        QCOMPARE(m_settings->executeFilename(name), expected);
    }

    void executablePath_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("path"); // relative to the install root; empty: not found
        QTest::addColumn<QStringList>("params");

        const QString root = Settings::installRoot();
        QTest::newRow("double blank gives an empty parameter")
            << "viewer" << "viewer/bin/viewer.exe" << QStringList{"old", "-a", "", "-b"};
        QTest::newRow("config placeholders, last config module wins, case-sensitive")
            << "lab" << "lab/lab.exe"
            << QStringList{"old", root + "/lab_cfg", root + "/lab_cfg/settings.ini", "--user=:CONFIG:", "-x"};
        QTest::newRow("no config module leaves the placeholder")
            << "plain" << "plain/plain.exe" << QStringList{"old", ":config:/x.ini"};
        QTest::newRow("not installed leaves the list alone") << "absent" << "" << QStringList{"old"};
    }

    void executablePath()
    {
        QFETCH(QString, name);
        QFETCH(QString, path);
        QFETCH(QStringList, params);

        useRegistry(readFile(kDataDir + "/installed.json"));
        QStringList actual{"old"};
        const QString expectedPath = path.isEmpty() ? QString() : Settings::installRoot() + "/" + path;
        QCOMPARE(m_settings->executablePath(name, &actual), expectedPath);
        QCOMPARE(actual, params);
        QCOMPARE(m_settings->executablePath(name), expectedPath);
    }

    void expandPlaceholders_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");

        QTest::newRow("every occurrence") << ":config:/a :config:/b" << "C:/cfg/a C:/cfg/b";
        QTest::newRow("keys in ascending order") << ":alpha:" << "C:/cfg";
        QTest::newRow("case-sensitive") << ":Config:" << ":Config:";
        QTest::newRow("incomplete placeholder") << ":config" << ":config";
        QTest::newRow("nothing to replace") << "-x" << "-x";
    }

    void expandPlaceholders()
    {
        QFETCH(QString, text);
        QFETCH(QString, expected);
        // "alpha" is replaced first and yields a placeholder that "config" then fills.
        const QMap<QString, QString> placeholders{{"config", "C:/cfg"}, {"alpha", ":config:"}};
        QCOMPARE(Settings::expandPlaceholders(text, placeholders), expected);
        QCOMPARE(m_settings->configPlaceholders("viewer").size(), 0); // no registry: nothing
    }

    void installedModules_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("withSelfProject");
        QTest::addColumn<QStringList>("expected"); // "programm: modules"

        QTest::newRow("all programs, repeated name starts over")
            << "" << false << QStringList{"lab: lab_cfg_old,lab_cfg,lab_reports", "plain: ", "viewer: second_module"};
        QTest::newRow("all programs and the updater itself")
            << "" << true
            << QStringList{"kestraupd: ", "lab: lab_cfg_old,lab_cfg,lab_reports", "plain: ", "viewer: second_module"};
        QTest::newRow("one program") << "lab" << true
                                     << QStringList{"kestraupd: ", "lab: lab_cfg_old,lab_cfg,lab_reports"};
        QTest::newRow("program not installed, updater known") << "absent" << true << QStringList{"kestraupd: "};
        QTest::newRow("program not installed, updater unknown") << "absent" << false << QStringList{};
    }

    void installedModules()
    {
        QFETCH(QString, name);
        QFETCH(bool, withSelfProject);
        QFETCH(QStringList, expected);

        useRegistry(readFile(kDataDir + "/installed.json"));
        if (withSelfProject) {
            QVERIFY(m_settings->readProjectDocument(kDataDir + "/self_project.xml", "server1", "",
                                                    {"ac1dba94-cd1b-402a-9679-8390a3929fa2"}));
        }
        const QMap<QString, QStringList> modules = m_settings->installedModules(name);
        QStringList actual;
        for (auto it = modules.constBegin(); it != modules.constEnd(); ++it)
            actual << it.key() + ": " + it.value().join(',');
        QCOMPARE(actual, expected);
    }

    void selfInclusionNeedsDescription()
    {
        // Installed already: the registry's own entry is kept, not emptied.
        useRegistry("{\"programms\": [{\"programm_name\": \"kestraupd\", \"plugins\": [{\"plugin_name\": \"tr\"}]}]}");
        QVERIFY(m_settings->readProjectDocument(kDataDir + "/self_project.xml", "server1", "",
                                                {"ac1dba94-cd1b-402a-9679-8390a3929fa2"}));
        QCOMPARE(m_settings->installedModules().value("kestraupd"), QStringList{"tr"});

        // Another edition looks for its own key only.
        QCoreApplication::setApplicationName(QStringLiteral("orvelupd"));
        const QMap<QString, QStringList> other = m_settings->installedModules("absent");
        QCoreApplication::setApplicationName(QStringLiteral("kestraupd"));
        QVERIFY(other.isEmpty());
    }

    void writeAndReadBack()
    {
        const QJsonObject config = registryWith(3, QStringLiteral("Запись"));
        m_settings->setInstalledConfig(config);
        QCOMPARE(m_settings->installedConfig(), config);
        const QByteArray text = readFile(registryPath());
        QVERIFY2(text.startsWith("{\n    \"programms\": [\n"), text.constData());
        QCOMPARE(text, QJsonDocument(config).toJson(QJsonDocument::Indented));
        m_settings->loadInstalledProgramms();
        QCOMPARE(m_settings->installedProgramms().size(), 3);
        QCOMPARE(m_settings->executeFilename("prog2"), QStringLiteral("p.exe"));
    }

    void failedWriteKeepsOldRegistry()
    {
        const QJsonObject old = registryWith(2, QStringLiteral("old"));
        m_settings->setInstalledConfig(old);
        const QByteArray before = readFile(registryPath());
        QVERIFY(!before.isEmpty());

        // Far more than the disk will take.
        const QJsonObject large = registryWith(2000, QStringLiteral("new"));
        MessageCapture capture;
        {
            FileSizeCap cap(before.size() + 100);
            QVERIFY(cap.isActive());
            m_settings->setInstalledConfig(large);
        }
        QVERIFY2(!capture.warnings().isEmpty(), "a failed write must be reported");
        QCOMPARE(readFile(registryPath()), before);
        QCOMPARE(m_settings->installedConfig(), old);
        // No half-written temporary file is left beside it.
        QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files | QDir::Hidden), (QStringList{"installed.json", "installed.json.bak"}));
    }

    void unreadableRegistryIsReported()
    {
        // A folder where the registry should be cannot be read as one.
        QVERIFY(QDir(m_dir->path()).mkpath("installed.json"));
        MessageCapture capture;
        QVERIFY(m_settings->installedConfig().isEmpty());
        QVERIFY2(capture.contains(QtWarningMsg, "can't open file to read: "),
                 qPrintable(capture.warnings().join('\n')));
        QVERIFY(m_settings->installedModules().isEmpty());
        QVERIFY(m_settings->executablePath("viewer").isEmpty());
    }

    void missingFolderWritesNothing()
    {
        const QString path = m_dir->filePath("no/such/folder/installed.json");
        m_settings->setRuntimeValue("General", "install_config_path", path);
        MessageCapture capture;
        m_settings->setInstalledConfig(registryWith(1, "x"));
        QVERIFY(capture.contains(QtWarningMsg, "can't write file: "));
        QVERIFY(!QFile::exists(path));
    }

    void readersNeverSeeHalfWrittenRegistry()
    {
        // An install thread rewrites the registry while the window reads it.
        const QJsonObject a = registryWith(100, QStringLiteral("a"));
        const QJsonObject b = registryWith(100, QStringLiteral("b"));
        m_settings->setInstalledConfig(a);

        std::atomic<bool> done{false};
        Settings *settings = m_settings.data();
        QThread *writer = QThread::create([&] {
            for (int i = 0; i < 100; ++i)
                settings->setInstalledConfig(i % 2 ? a : b);
            done = true;
        });
        MessageCapture capture;
        writer->start();
        int reads = 0;
        int bad = 0;
        QString firstBad;
        while (!done && reads < 100000) {
            const QJsonObject seen = settings->installedConfig();
            if (seen != a && seen != b) {
                if (!bad++)
                    firstBad = QStringLiteral("%1 programms, %2 keys")
                                   .arg(seen.value("programms").toArray().size())
                                   .arg(seen.size());
            }
            ++reads;
        }
        QVERIFY(writer->wait(60000));
        delete writer;
        QVERIFY2(bad == 0, qPrintable(QStringLiteral("%1 of %2 reads saw another registry, first: %3; %4")
                                          .arg(bad)
                                          .arg(reads)
                                          .arg(firstBad, capture.warnings().join('\n'))));
        QVERIFY2(capture.warnings().isEmpty(), qPrintable(capture.warnings().join('\n')));
        QVERIFY(reads > 0);
    }

    void writersDoNotDeadlock()
    {
        // setInstalledConfig reads the settings while it holds the writers' lock.
        Settings *settings = m_settings.data();
        const QJsonObject config = registryWith(5, "x");
        QThread *first = QThread::create([&] {
            for (int i = 0; i < 200; ++i)
                settings->setInstalledConfig(config);
        });
        QThread *second = QThread::create([&] {
            for (int i = 0; i < 200; ++i) {
                settings->setRuntimeValue("General", "install_config_path", registryPath());
                settings->setValue("General", "make_backup", i % 2 == 0);
            }
        });
        first->start();
        second->start();
        QVERIFY(first->wait(60000));
        QVERIFY(second->wait(60000));
        delete first;
        delete second;
        QCOMPARE(settings->installedConfig(), config);
    }

    void fuzzRegressions()
    {
        // Inputs that once broke the registry reader must now read cleanly.
        QDirIterator it(QStringLiteral(KESTRA_FUZZ_REGRESSIONS_DIR) + "/installed", QDir::Files);
        int count = 0;
        while (it.hasNext() && count < 1000) {
            const QString input = it.next();
            ++count;
            useRegistry(readFile(input));
            MessageCapture capture;
            m_settings->loadInstalledProgramms();
            for (const QString &name : m_settings->installedProgramms().keys()) {
                QStringList params;
                m_settings->executablePath(name, &params);
                m_settings->configPlaceholders(name);
            }
            m_settings->installedModules();
        }
        QVERIFY2(count > 0, "the kept regression inputs are missing");
    }

private:
    void useRegistry(const QByteArray &content);
    QString registryPath() const { return m_dir->filePath("installed.json"); }

    QScopedPointer<QTemporaryDir> m_dir;
    QScopedPointer<Settings> m_settings;
};

void TestRegistry::useRegistry(const QByteArray &content)
{
    QVERIFY(writeFile(registryPath(), content));
}

QTEST_GUILESS_MAIN(TestRegistry)
#include "tst_registry.moc"
