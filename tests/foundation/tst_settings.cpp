#include "settings.h"

#include <QAtomicInt>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

class TestSettings : public QObject
{
    Q_OBJECT

private slots:
    void readersDuringWrites()
    {
        // Readers ask for keys while this thread keeps adding new ones to the
        // cache; without a lock around the cache this corrupts the hash or crashes.
        QTemporaryDir dir;
        Settings settings;
        settings.setConfigPath(dir.filePath(QStringLiteral("config.ini")));
        settings.setRuntimeValue(QStringLiteral("General"), QStringLiteral("fixed"), QStringLiteral("yes"));
        QAtomicInt stop(0), bad(0);
        QList<QThread *> readers;
        for (int r = 0; r < 3; ++r) {
            readers << QThread::create([&] {
                for (int i = 0; !stop.loadAcquire(); ++i) {
                    const QString key = QStringLiteral("key%1").arg(i % 500);
                    const QString s = settings.value(QStringLiteral("stress"), key, QStringLiteral("none")).toString();
                    if ((s != QLatin1String("none") && s != key)
                        || settings.value(QString(), QStringLiteral("fixed")).toString() != QLatin1String("yes"))
                        bad.ref();
                }
            });
            readers.last()->start();
        }
        QElapsedTimer timer;
        timer.start();
        int writes = 0;
        // Many new groups and keys force the cache to rehash while readers look.
        for (; timer.elapsed() < 1500 && writes < 200000; ++writes) {
            settings.setRuntimeValue(QStringLiteral("g%1").arg(writes % 97), QStringLiteral("k%1").arg(writes), writes);
            settings.setRuntimeValue(QStringLiteral("stress"), QStringLiteral("key%1").arg(writes % 500),
                                     QStringLiteral("key%1").arg(writes % 500));
            if (writes % 200 == 0)
                settings.setValue(QStringLiteral("stressfile"), QStringLiteral("k"), writes);
        }
        stop.storeRelease(1);
        for (QThread *r : readers)
            QVERIFY(r->wait(10000));
        qDeleteAll(readers);
        QCOMPARE(bad.loadAcquire(), 0);
        QVERIFY(writes > 100);
    }
};

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
