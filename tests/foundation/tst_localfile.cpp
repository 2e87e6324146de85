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
        QTest::addColumn<bool>("sourceExists");
        QTest::addColumn<bool>("targetExists");
        QTest::addColumn<bool>("targetReadOnly");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QByteArray>("targetAfter");
        QTest::addColumn<QString>("name"); // empty: a short one
        QTest::newRow("new target") << true << false << false << true << QByteArray("new") << QString();
        QTest::newRow("existing target replaced") << true << true << false << true << QByteArray("new") << QString();
        QTest::newRow("read-only target replaced") << true << true << true << true << QByteArray("new") << QString();
        // The old file must survive a copy that cannot happen.
        QTest::newRow("missing source keeps the target")
            << false << true << false << false << QByteArray("old") << QString();
        QTest::newRow("missing source, no target") << false << false << false << false << QByteArray() << QString();
        // The staging name beside the target must fit where the target does.
        QTest::newRow("245-character name replaced")
            << true << true << false << true << QByteArray("new") << QString(241, QLatin1Char('a')) + ".exe";
        QTest::newRow("name of 254 bytes in UTF-8 replaced")
            << true << true << false << true << QByteArray("new") << QString(125, QChar(0x436)) + ".exe";
    }

    void replace()
    {
        QFETCH(bool, sourceExists);
        QFETCH(bool, targetExists);
        QFETCH(bool, targetReadOnly);
        QFETCH(bool, ok);
        QFETCH(QByteArray, targetAfter);
        QFETCH(QString, name);
        if (name.isEmpty())
            name = QStringLiteral("Программа.exe");
        QTemporaryDir dir;
        const QString source = dir.filePath(QStringLiteral("src/") + name);
        const QString target = dir.filePath(QStringLiteral("dst/") + name);
        QDir().mkpath(dir.filePath(QStringLiteral("src")));
        QDir().mkpath(dir.filePath(QStringLiteral("dst")));
        if (sourceExists)
            QVERIFY(writeFile(source, "new"));
        if (targetExists) {
            QVERIFY(writeFile(target, "old"));
            if (targetReadOnly)
                QFile::setPermissions(target, QFileDevice::ReadOwner | QFileDevice::ReadUser);
        }
        QString error;
        QCOMPARE(replaceLocalFile(source, target, &error), ok);
        QCOMPARE(error.isEmpty(), ok);
        QCOMPARE(QFile::exists(target), !targetAfter.isNull());
        if (!targetAfter.isNull())
            QCOMPARE(readFile(target), targetAfter);
        // Nothing staged is left beside the target.
        QCOMPARE(QDir(dir.filePath(QStringLiteral("dst"))).entryList(QDir::Files | QDir::Hidden),
                 targetAfter.isNull() ? QStringList() : QStringList{name});
        if (sourceExists)
            QCOMPARE(readFile(source), QByteArray("new"));
    }

    void copyNeverOverwrites()
    {
        QTemporaryDir dir;
        const QString source = dir.filePath(QStringLiteral("a"));
        const QString target = dir.filePath(QStringLiteral("b"));
        QVERIFY(writeFile(source, "new"));
        QVERIFY(writeFile(target, "old"));
        QString error;
        QVERIFY(!copyLocalFile(source, target, &error));
        QVERIFY(error.startsWith(QStringLiteral("error copy file from %1 to %2 error ").arg(source, target)));
        QCOMPARE(readFile(target), QByteArray("old"));
    }
};

QTEST_GUILESS_MAIN(TestLocalFile)
#include "tst_localfile.moc"
