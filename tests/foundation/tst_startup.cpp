#include "settings.h"
#include "startup.h"
#include "updatersetup.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QCryptographicHash>
#include <QDate>
#include <QFile>
#include <QNetworkProxy>
#include <QPixmap>
#include <QTemporaryDir>
#include <QTest>

class TestStartup : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        initUpdaterResources();
    }

    void init()
    {
        m_appName = QCoreApplication::applicationName();
        QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::DefaultProxy));
    }

    void cleanup()
    {
        QCoreApplication::setApplicationName(m_appName);
    }

    void options_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("option");
        QTest::addColumn<QString>("value");
        QTest::newRow("short c") << QStringList{"-c", "/x/config.ini"} << "config_path" << "/x/config.ini";
        QTest::newRow("long config_path") << QStringList{"--config_path=/y.ini"} << "config_path" << "/y.ini";
        QTest::newRow("short i") << QStringList{"-i", "/r.json"} << "install_config_path" << "/r.json";
        QTest::newRow("short l") << QStringList{"-l", "/logs"} << "logs_path" << "/logs";
        QTest::newRow("run with a blank in the name") << QStringList{"--run", "Моя программа"} << "run"
                                                      << "Моя программа";
        QTest::newRow("short r") << QStringList{"-r", "reg"} << "r" << "reg";
        QTest::newRow("arg keeps quotes for the splitter") << QStringList{"--run", "p", "--arg=\"a b\" c"} << "arg"
                                                           << "\"a b\" c";
        QTest::newRow("short a") << QStringList{"-a", "x"} << "a" << "x";
    }

    void options()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, option);
        QFETCH(QString, value);
        QCommandLineParser parser;
        setupUpdaterOptions(parser);
        QVERIFY2(parser.parse(QStringList{"kestraupd"} + arguments), qPrintable(parser.errorText()));
        QVERIFY(parser.isSet(option));
        QCOMPARE(parser.value(option), value);
    }

    void overridesStayInMemory()
    {
        const QString ini = m_dir.filePath(QStringLiteral("config.ini"));
        {
            QFile f(ini);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("[General]\nlogs_path=/nowhere/logs\nmake_backup=true\n");
        }
        QFile f(ini);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray original = f.readAll();
        f.close();

        const QString logs = m_dir.filePath(QStringLiteral("mylogs"));
        const QString registry = m_dir.filePath(QStringLiteral("reg.json"));
        QCommandLineParser parser;
        setupUpdaterOptions(parser);
        QVERIFY(parser.parse({"kestraupd", "-c", ini, "--logs_path", logs, "--install_config_path", registry}));
        applyUpdaterOptions(parser);

        Settings *settings = Settings::instance();
        QCOMPARE(settings->configPath(), ini);
        QVERIFY(settings->makeBackup());
        QCOMPARE(settings->logsPath(), logs + QLatin1Char('/') + QDate::currentDate().toString("yyyy_MM"));
        QCOMPARE(settings->installedConfigPath(), registry);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), original);
    }

    void qtTranslation()
    {
        QVERIFY(installQtTranslation());
        QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"), QStringLiteral("Отмена"));
    }

    void proxy_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<bool>("applied");
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("password");
        QTest::newRow("not needed") << QByteArray("[global_proxy]\nis_need=false\nhost=p\n") << false << "" << 0 << ""
                                    << "";
        QTest::newRow("needed but no host") << QByteArray("[global_proxy]\nis_need=true\n") << false << "" << 0 << ""
                                            << "";
        QTest::newRow("default port") << QByteArray("[global_proxy]\nis_need=true\nhost=proxy.lan\n") << true
                                      << "proxy.lan" << 8080 << "" << "";
        QTest::newRow("full") << QByteArray("[global_proxy]\nis_need=true\nhost=10.1.1.1\nport=3128\nuser=u\npassword=p w\n")
                              << true << "10.1.1.1" << 3128 << "u" << "p w";
        QTest::newRow("port beyond 65535 refused") << QByteArray("[global_proxy]\nis_need=true\nhost=h\nport=999999\n")
                                                   << false << "" << 0 << "" << "";
        QTest::newRow("port 0 refused") << QByteArray("[global_proxy]\nis_need=true\nhost=h\nport=0\n") << false << ""
                                        << 0 << "" << "";
    }

    void proxy()
    {
        QFETCH(QByteArray, ini);
        QFETCH(bool, applied);
        const QString path = m_dir.filePath(QStringLiteral("proxy%1.ini").arg(QTest::currentDataTag()).remove(' '));
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(ini);
        f.close();
        Settings::instance()->setConfigPath(path);
        const QNetworkProxy before = QNetworkProxy::applicationProxy();
        applyGlobalProxy();
        const QNetworkProxy proxy = QNetworkProxy::applicationProxy();
        if (!applied) {
            QCOMPARE(proxy, before);
            return;
        }
        QCOMPARE(proxy.type(), QNetworkProxy::HttpProxy);
        QTEST(proxy.hostName(), "host");
        QTEST(int(proxy.port()), "port");
        QTEST(proxy.user(), "user");
        QTEST(proxy.password(), "password");
    }

    void splashByEdition_data()
    {
        QTest::addColumn<QString>("appName");
        QTest::addColumn<QString>("image");
        QTest::newRow("orvel with suffix") << "orvelupd_x" << ":/images/splash_orvel.png";
        QTest::newRow("orvel in capitals") << "ORVELUPD" << ":/images/splash_orvel.png";
        QTest::newRow("kestra") << "kestraupd" << ":/images/splash_kestra.png";
        QTest::newRow("kestra alone is enough") << "Kestra" << ":/images/splash_kestra.png";
        QTest::newRow("other") << "updater" << ":/images/splash.png";
    }

    void splashByEdition()
    {
        QFETCH(QString, appName);
        QFETCH(QString, image);
        QCoreApplication::setApplicationName(appName);
        QCOMPARE(splashImagePath(), image);
        // The image is really compiled in.
        QVERIFY(!QPixmap(image).isNull());
    }

private:
    QTemporaryDir m_dir;
    QString m_appName;
};

QTEST_MAIN(TestStartup)
#include "tst_startup.moc"
