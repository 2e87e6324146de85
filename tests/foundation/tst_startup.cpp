#include "edition.h"
#include "settings.h"
#include "startup.h"
#include "testfiles.h"
#include "updatersetup.h"

#include <QApplication>
#include <QNetworkProxy>
#include <QPixmap>
#include <QtTest> // and with it all of Qt Core

class TestStartup : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { initUpdaterResources(); }
    void init() { QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::DefaultProxy)); }
    void cleanup() { QCoreApplication::setApplicationName(m_appName); }

    void qtTranslation()
    {
        QVERIFY(installQtTranslation());
        QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"), QStringLiteral("Отмена"));
    }

    void proxy_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<QString>("expected"); // "host:port user password", empty: none applied
        QTest::newRow("needed but no host") << QByteArray("is_need=true\n") << "";
        QTest::newRow("full") << QByteArray("is_need=true\nhost=10.1.1.1\nport=3128\nuser=u\npassword=p w\n")
                              << "10.1.1.1:3128 u p w";
        QTest::newRow("port beyond 65535 refused") << QByteArray("is_need=true\nhost=h\nport=999999\n") << "";
    }

    void proxy()
    {
        QFETCH(QByteArray, ini);
        QFETCH(QString, expected);
        const QString path = m_dir.filePath(QStringLiteral("proxy%1.ini").arg(QTest::currentDataTag()).remove(' '));
        QVERIFY(writeFile(path, "[global_proxy]\n" + ini));
        Settings::instance()->setConfigPath(path);
        const QNetworkProxy before = QNetworkProxy::applicationProxy();
        applyGlobalProxy();
        const QNetworkProxy proxy = QNetworkProxy::applicationProxy();
        QVERIFY(expected.isEmpty() ? proxy == before : proxy.type() == QNetworkProxy::HttpProxy);
        if (!expected.isEmpty())
            QCOMPARE(QStringLiteral("%1:%2 %3 %4").arg(proxy.hostName()).arg(proxy.port()).arg(proxy.user(), proxy.password()), expected);
    }

    void edition_data()
    {
        QTest::addColumn<QString>("appName");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("splash");
        QTest::newRow("orvel with suffix, any case") << "ORVELUPD_x" << "orvelupd" << ":/images/splash_orvel.png";
        // Without "upd" no edition, but the splash needs the name alone.
        QTest::newRow("kestra without upd") << "kestra" << "palladupd" << ":/images/splash_kestra.png";
        QTest::newRow("plain updater") << "updater" << "palladupd" << ":/images/splash.png";
    }

    void edition()
    {
        QFETCH(QString, appName);
        QCoreApplication::setApplicationName(appName);
        QTEST(editionKey(), "key");
        QTEST(splashImagePath(), "splash");
        QVERIFY(!QPixmap(splashImagePath()).isNull()); // the image is really compiled in
    }

private:
    QTemporaryDir m_dir;
    const QString m_appName = QCoreApplication::applicationName();
};

QTEST_MAIN(TestStartup)
#include "tst_startup.moc"
