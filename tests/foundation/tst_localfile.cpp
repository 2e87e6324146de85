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
        QTest::newRow("new target") << true << false << false << true << QByteArray("new");
        QTest::newRow("existing target replaced") << true << true << false << true << QByteArray("new");
        QTest::newRow("read-only target replaced") << true << true << true << true << QByteArray("new");
        // The old file must survive a copy that cannot happen.
        QTest::newRow("missing source keeps the target") << false << true << false << false << QByteArray("old");
        QTest::newRow("missing source, no target") << false << false << false << false << QByteArray();
    }

    void replace()
    {
        QFETCH(bool, sourceExists);
        QFETCH(bool, targetExists);
        QFETCH(bool, targetReadOnly);
        QFETCH(bool, ok);
        QFETCH(QByteArray, targetAfter);
        QTemporaryDir dir;
        const QString source = dir.filePath(QStringLiteral("src/Программа.exe"));
        const QString target = dir.filePath(QStringLiteral("dst/Программа.exe"));
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
                 targetAfter.isNull() ? QStringList() : QStringList{QStringLiteral("Программа.exe")});
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
