#include "localfile.h"
#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class TestLocalFile : public QObject
{
    Q_OBJECT

private slots:
    void replace_data()
    {
        QTest::addColumn<QString>("target");      // what the target holds before: "", "old" or "read-only"
        QTest::addColumn<bool>("sourceExists");
        QTest::addColumn<QByteArray>("targetAfter"); // null: no target
        QTest::addColumn<QString>("name");        // empty: a short one
        QTest::addColumn<bool>("copy");           // copyLocalFile, which never overwrites
        QTest::newRow("new target") << "" << true << QByteArray("new") << QString() << false;
        QTest::newRow("existing target replaced") << "old" << true << QByteArray("new") << QString() << false;
        QTest::newRow("read-only target replaced") << "read-only" << true << QByteArray("new") << QString() << false;
        // The old file must survive a copy that cannot happen.
        QTest::newRow("missing source keeps the target") << "old" << false << QByteArray("old") << QString() << false;
        QTest::newRow("missing source, no target") << "" << false << QByteArray() << QString() << false;
        // The staging name beside the target must fit where the target does.
        QTest::newRow("245-character name replaced")
            << "old" << true << QByteArray("new") << QString(241, QLatin1Char('a')) + ".exe" << false;
        QTest::newRow("name of 254 bytes in UTF-8 replaced")
            << "old" << true << QByteArray("new") << QString(125, QChar(0x436)) + ".exe" << false;
        QTest::newRow("plain copy never overwrites") << "old" << true << QByteArray("old") << QString() << true;
    }

    void replace()
    {
        QFETCH(QString, target);
        QFETCH(bool, sourceExists);
        QFETCH(QByteArray, targetAfter);
        QFETCH(QString, name);
        QFETCH(bool, copy);
        if (name.isEmpty())
            name = QStringLiteral("Программа.exe");
        QTemporaryDir dir;
        const QString source = dir.filePath(QStringLiteral("src/") + name);
        const QString dst = dir.filePath(QStringLiteral("dst/") + name);
        QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("src"))) && QDir().mkpath(dir.filePath(QStringLiteral("dst"))));
        QVERIFY(!sourceExists || writeFile(source, "new"));
        QVERIFY(target.isEmpty() || writeFile(dst, "old"));
        if (target == QLatin1String("read-only"))
            QVERIFY(QFile::setPermissions(dst, QFileDevice::ReadOwner | QFileDevice::ReadUser));
        QString error;
        const bool ok = copy ? copyLocalFile(source, dst, &error) : replaceLocalFile(source, dst, &error);
        QCOMPARE(ok, targetAfter == "new");
        QCOMPARE(error.isEmpty(), ok);
        QVERIFY(!copy || error.startsWith(QStringLiteral("error copy file from %1 to %2 error ").arg(source, dst)));
        QCOMPARE(readFile(dst), targetAfter);
        // Nothing staged is left beside the target.
        QCOMPARE(QDir(dir.filePath(QStringLiteral("dst"))).entryList(QDir::Files | QDir::Hidden),
                 targetAfter.isNull() ? QStringList() : QStringList{name});
        QVERIFY(!sourceExists || readFile(source) == "new");
    }
};

QTEST_GUILESS_MAIN(TestLocalFile)
#include "tst_localfile.moc"
