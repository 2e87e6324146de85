// installed.json: the registry of installed programs and its queries.

#include "messagecapture.h"
#include "settings.h"
#include "testfiles.h"

#include <QtTest> // and with it all of Qt Core

#include <atomic>

namespace {

const QString kDataDir = QStringLiteral(KESTRA_TEST_DATA_DIR);
const QString kSelfGuid = QStringLiteral("ac1dba94-cd1b-402a-9679-8390a3929fa2");
using Modules = QMap<QString, QStringList>; // installed modules by program

QJsonObject registryWith(int programms, const QString &tag)
{
    QJsonArray array;
    for (int i = 0; i < programms; ++i)
        array.append(QJsonObject{{"programm_name", QStringLiteral("prog%1").arg(i)}, {"display_name", tag},
                                 {"execute_filename", "p.exe"},
                                 {"plugins", QJsonArray{QJsonObject{{"plugin_name", "m"}}}}});
    return QJsonObject{{"programms", array}};
}

} // namespace

class TestRegistry : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        // The updater's own program name comes from the executable's name.
        QCoreApplication::setApplicationName(QStringLiteral("kestraupd"));
        m_dir.reset(new QTemporaryDir);
        m_settings.reset(new Settings);
        m_settings->setConfigPath(m_dir->filePath("config.ini"));
        m_settings->setRuntimeValue("General", "install_config_path", registryPath());
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
        QTest::newRow("truncated JSON restored from backup") << good.left(200) << good << 8 << 200;
        QTest::newRow("empty file, damaged backup") << QByteArray("") << QByteArray("{") << 0 << 0;
    }

    void readDocument()
    {
        QFETCH(QByteArray, content);
        QFETCH(QByteArray, backup);
        QFETCH(int, programms);
        QFETCH(int, errorOffset);
        QVERIFY(content.isNull() || writeFile(registryPath(), content));
        QVERIFY(backup.isNull() || writeFile(registryPath() + ".bak", backup));
        MessageCapture capture;
        QCOMPARE(m_settings->installedConfig().value("programms").toArray().size(), programms);
        const QStringList warnings = capture.warnings();
        if (errorOffset < 0) {
            QVERIFY2(warnings.isEmpty() && m_settings->takeRegistryNotice().isEmpty(), qPrintable(warnings.join('\n')));
            return;
        }
        const QRegularExpression damaged(QStringLiteral(" is damaged: .* offset: +%1$").arg(errorOffset));
        QVERIFY2(!capture.messages(QtCriticalMsg).filter(damaged).isEmpty(), qPrintable(warnings.join('\n')));
        // The damaged bytes are kept aside, the user is told where, and a later write cannot destroy them.
        const QStringList aside = QDir(m_dir->path()).entryList({"installed.json.damaged-*"}, QDir::Files);
        QCOMPARE(aside.size(), 1);
        QVERIFY(m_settings->takeRegistryNotice().contains(aside.first()));
        QVERIFY(m_settings->setInstalledConfig(registryWith(1, "x")));
        QCOMPARE(readFile(m_dir->filePath(aside.first())), content);
        QCOMPARE(m_settings->installedConfig().value("programms").toArray().size(), 1);
        QVERIFY(programms == 0 || readFile(registryPath() + ".bak") == backup);
    }

    // Unreadable is not damaged: nothing is moved aside or written over it. A write that fails (a missing
    // folder, a full disk) is tst_engine's "registry beyond the file size limit" row.
    void folderInTheRegistrysPlace()
    {
        QVERIFY(QDir().mkpath(registryPath()));
        MessageCapture capture;
        QVERIFY(m_settings->installedConfig().isEmpty() && m_settings->installedModules().isEmpty());
        QVERIFY(m_settings->executablePath("viewer").isEmpty());
        QVERIFY(!m_settings->setInstalledConfig(registryWith(1, "x")));
        QVERIFY2(capture.contains(QtWarningMsg, "can't open file to read: "), qPrintable(capture.warnings().join('\n')));
        QCOMPARE(QDir(m_dir->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{"installed.json"});
        QVERIFY(QFileInfo(registryPath()).isDir());
    }

    void installedModules_data()
    {
        QTest::addColumn<QByteArray>("registry"); // empty: the data folder's
        QTest::addColumn<QString>("name");
        QTest::addColumn<Modules>("expected");
        const QStringList lab{"lab_cfg_old", "lab_cfg", "lab_reports"};
        QTest::newRow("all programs and the updater itself")
            << QByteArray() << ""
            << Modules{{"kestraupd", {}}, {"lab", lab}, {"plain", {}}, {"viewer", {"second_module"}}};
        QTest::newRow("one program") << QByteArray() << "lab" << Modules{{"kestraupd", {}}, {"lab", lab}};
        // Installed already: the registry's own entry is kept, not emptied.
        QTest::newRow("updater registered with a module")
            << QByteArray("{\"programms\": [{\"programm_name\": \"kestraupd\", \"plugins\": [{\"plugin_name\": \"tr\"}]}]}")
            << "" << Modules{{"kestraupd", {"tr"}}};
    }

    void installedModules()
    {
        QFETCH(QByteArray, registry);
        QFETCH(QString, name);
        QFETCH(Modules, expected);
        QVERIFY(writeFile(registryPath(), registry.isEmpty() ? readFile(kDataDir + "/installed.json") : registry));
        // The updater's own project is known, as after a server was read.
        QVERIFY(m_settings->readProjectDocument(kDataDir + "/self_project.xml", "server1", "", {kSelfGuid}));
        QCOMPARE(m_settings->installedModules(name), expected);
        // Another edition looks for its own key only.
        QCoreApplication::setApplicationName(QStringLiteral("orvelupd"));
        QVERIFY(m_settings->installedModules("absent").isEmpty());
    }

    // An install thread rewrites the registry while the window reads it and another thread changes the settings
    // (setInstalledConfig reads them while it holds the writers' lock): no read sees a half-written registry, and
    // nothing deadlocks.
    void concurrentUse()
    {
        const QJsonObject a = registryWith(100, QStringLiteral("a")), b = registryWith(100, QStringLiteral("b"));
        Settings *settings = m_settings.data();
        settings->setInstalledConfig(a);
        std::atomic<bool> done{false};
        int reads = 0, bad = 0;
        MessageCapture capture;
        QThreadPool pool;
        pool.setMaxThreadCount(3); // each body on a thread of its own, all at once, whatever the machine
        pool.start([&] {
            for (int i = 0; i < 100; ++i)
                settings->setInstalledConfig(i % 2 ? a : b);
            done = true;
        });
        pool.start([&] {
            for (; !done && reads < 100000; ++reads) {
                const QJsonObject seen = settings->installedConfig();
                bad += seen != a && seen != b;
            }
        });
        pool.start([&] {
            for (int i = 0; i < 200; ++i) {
                settings->setRuntimeValue("General", "install_config_path", registryPath());
                settings->setValue("General", "make_backup", i % 2 == 0);
            }
        });
        // A deadlock ends the run here: the pool would wait for it for ever.
        if (!pool.waitForDone(60000))
            qFatal("the registry's users are deadlocked");
        QVERIFY2(bad == 0, qPrintable(QStringLiteral("%1 of %2 reads saw another registry").arg(bad).arg(reads)));
        QVERIFY2(capture.warnings().isEmpty(), qPrintable(capture.warnings().join('\n')));
        QVERIFY(reads > 0);
        QCOMPARE(settings->installedConfig(), a);
    }

    void fuzzRegressions()
    {
        // Inputs that once broke the registry reader must now read cleanly.
        const QDir dir(QStringLiteral(KESTRA_FUZZ_REGRESSIONS_DIR "/installed"));
        QVERIFY2(!dir.isEmpty(QDir::Files), "the kept regression inputs are missing");
        for (const QString &input : dir.entryList(QDir::Files)) {
            QVERIFY(writeFile(registryPath(), readFile(dir.filePath(input))));
            MessageCapture capture;
            m_settings->loadInstalledProgramms();
            for (const QString &name : m_settings->installedProgramms().keys()) {
                QStringList params;
                m_settings->executablePath(name, &params);
                m_settings->configPlaceholders(name);
            }
            m_settings->installedModules();
        }
    }

private:
    QString registryPath() const { return m_dir->filePath("installed.json"); }

    QScopedPointer<QTemporaryDir> m_dir;
    QScopedPointer<Settings> m_settings;
};

QTEST_GUILESS_MAIN(TestRegistry)
#include "tst_registry.moc"
