#include "edition.h"

#include <QCoreApplication>
#include <QTest>

class TestEdition : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { QCoreApplication::setApplicationName(m_original); }

    void keysAndGuids_data()
    {
        QTest::addColumn<QString>("appName");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("devKey");
        QTest::addColumn<QString>("guid");
        QTest::addColumn<QString>("devGuid");
        const QString orvel = QStringLiteral("0921977d-6bf2-4ca6-a78f-609fcbfb6ea8");
        const QString kestra = QStringLiteral("ac1dba94-cd1b-402a-9679-8390a3929fa2");
        QTest::newRow("orvel") << "orvelupd" << "orvelupd" << "orvelupd" << orvel << orvel;
        QTest::newRow("orvel with suffix, any case") << "ORVELUPD_x" << "orvelupd" << "orvelupd" << orvel << orvel;
        QTest::newRow("kestra") << "kestraupd" << "kestraupd" << "kestraupd" << kestra << kestra;
        QTest::newRow("kestra in capitals") << "KestraUPD" << "kestraupd" << "kestraupd" << kestra << kestra;
        QTest::newRow("both names: first row wins") << "kestraupd-orvelupd"
                                                    << "orvelupd"
                                                    << "orvelupd" << orvel << orvel;
        QTest::newRow("kestra without upd is no edition")
            << "kestra" << "palladupd" << "palladupd_dev" << "3eef9002-824b-4ed6-9d5b-5f79949c6392"
            << "5d20a134-f22f-48c7-8d48-09bdf8848586";
        QTest::newRow("plain updater") << "updater" << "palladupd" << "palladupd_dev"
                                       << "3eef9002-824b-4ed6-9d5b-5f79949c6392"
                                       << "5d20a134-f22f-48c7-8d48-09bdf8848586";
    }

    void keysAndGuids()
    {
        QFETCH(QString, appName);
        QCoreApplication::setApplicationName(appName);
        QTEST(editionKey(), "key");
        QTEST(devEditionKey(), "devKey");
        QTEST(updaterGuid(), "guid");
        QTEST(devUpdaterGuid(), "devGuid");
    }

private:
    QString m_original = QCoreApplication::applicationName();
};

QTEST_GUILESS_MAIN(TestEdition)
#include "tst_edition.moc"
