#include "settings.h"
#include "testfiles.h"

#include <QAtomicInt>
#include <QElapsedTimer>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

class TestSettings : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        QVERIFY(m_dir.isValid());
        m_ini = m_dir.filePath(QStringLiteral("config.ini"));
        QFile::remove(m_ini);
    }

    void setValueWritesFileAndCache()
    {
        // A value the file already holds leaves it byte for byte as written.
        const QByteArray handWritten = "; kept by the administrator\n[Paths]\nbackup=C:\\Kestra\\backup\n"
                                       "[config]\nlevel=0\n";
        QVERIFY(writeFile(m_ini, handWritten));
        Settings settings;
        settings.setConfigPath(m_ini);
        settings.setValue(QStringLiteral("config"), QStringLiteral("level"), QStringLiteral("0"));
        QCOMPARE(readFile(m_ini), handWritten);
        settings.setValue(QString(), QStringLiteral("mirrors_count"), 2);
        settings.setValue(QStringLiteral("projects"), QStringLiteral("key1"), QStringLiteral("Копия"));
        Settings reread;
        reread.setConfigPath(m_ini);
        QCOMPARE(reread.value(QStringLiteral("projects"), QStringLiteral("key1")).toString(), QStringLiteral("Копия"));
        QSettings direct(m_ini, QSettings::IniFormat);
        QCOMPARE(direct.value(QStringLiteral("mirrors_count")).toInt(), 2);
        // Another writer changes the file: the cached value still wins in this process.
        direct.setValue(QStringLiteral("projects/key1"), QStringLiteral("changed"));
        direct.sync();
        QCOMPARE(settings.value(QStringLiteral("projects"), QStringLiteral("key1")).toString(), QStringLiteral("Копия"));
        QCOMPARE(settings.value(QStringLiteral("General"), QStringLiteral("mirrors_count")).toInt(), 2);
    }

    void readersDuringWrites()
    {
        // Readers ask for keys while this thread keeps adding new ones to the
        // cache; without a lock around the cache this corrupts the hash or crashes.
        Settings settings;
        settings.setConfigPath(m_ini);
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

private:
    QTemporaryDir m_dir;
    QString m_ini;
};

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
