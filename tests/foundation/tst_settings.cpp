#include "settings.h"
#include "testfiles.h"

#include <QAtomicInt>
#include <QDate>
#include <QDir>
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

    void values_data()
    {
        QTest::addColumn<QByteArray>("ini"); // null: no file
        QTest::addColumn<QString>("runtime"); // "group/key=value" set in memory, or empty
        QTest::addColumn<QString>("group");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("expected"); // "default" when the key is absent
        const QByteArray ini = "[General]\nmake_backup=true\nlogs_path=/from/file\n[global_proxy]\nport=3128\n"
                               "[mirror1]\nmirror_folder=D:/Зеркало клиники\n";
        QTest::newRow("empty group reads General") << ini << "" << "" << "make_backup" << "true";
        QTest::newRow("General group by name") << ini << "" << "General" << "make_backup" << "true";
        QTest::newRow("named group") << ini << "" << "global_proxy" << "port" << "3128";
        QTest::newRow("cyrillic value") << ini << "" << "mirror1" << "mirror_folder" << "D:/Зеркало клиники";
        QTest::newRow("absent key gives the default") << ini << "" << "config" << "version" << "default";
        QTest::newRow("missing file gives the default") << QByteArray() << "" << "global_proxy" << "port" << "default";
        QTest::newRow("runtime value beats the file") << ini << "General/logs_path=/runtime" << "" << "logs_path"
                                                      << "/runtime";
        QTest::newRow("runtime value shadows only its key") << ini << "General/logs_path=/runtime" << "General"
                                                            << "make_backup" << "true";
        QTest::newRow("runtime value of another group") << ini << "paths/logs_path=/runtime" << "General"
                                                        << "logs_path" << "/from/file";
    }

    void values()
    {
        QFETCH(QByteArray, ini);
        QFETCH(QString, runtime);
        QFETCH(QString, group);
        QFETCH(QString, key);
        QVERIFY(ini.isNull() || writeFile(m_ini, ini));
        Settings settings;
        settings.setConfigPath(m_ini);
        if (!runtime.isEmpty()) {
            const int slash = runtime.indexOf('/');
            const int equals = runtime.indexOf('=');
            settings.setRuntimeValue(runtime.left(slash), runtime.mid(slash + 1, equals - slash - 1), runtime.mid(equals + 1));
        }
        QTEST(settings.value(group, key, QStringLiteral("default")).toString(), "expected");
        // Reading, and values held in memory, never write the file.
        QCOMPARE(readFile(m_ini), ini);
        QCOMPARE(QFile::exists(m_ini), !ini.isNull());
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
        {
            QSettings direct(m_ini, QSettings::IniFormat);
            QCOMPARE(direct.value(QStringLiteral("mirrors_count")).toInt(), 2);
            // Another writer changes the file: the cached value still wins in this process.
            direct.setValue(QStringLiteral("projects/key1"), QStringLiteral("changed"));
        }
        QCOMPARE(settings.value(QStringLiteral("projects"), QStringLiteral("key1")).toString(), QStringLiteral("Копия"));
        QCOMPARE(settings.value(QStringLiteral("General"), QStringLiteral("mirrors_count")).toInt(), 2);
    }

    void logsPathFollowsLogsPath()
    {
        const QString month = QDate::currentDate().toString(QStringLiteral("yyyy_MM"));
        const QString base = m_dir.filePath(QStringLiteral("journal"));
        QVERIFY(writeFile(m_ini, QStringLiteral("[General]\nlogs_path=%1\n").arg(base).toUtf8()));
        Settings settings;
        settings.setConfigPath(m_ini);
        QCOMPARE(settings.logsPath(), base + QLatin1Char('/') + month);
        QVERIFY(QDir(base + QLatin1Char('/') + month).exists());
        // An uncreatable folder is still returned.
        const QString blocker = m_dir.filePath(QStringLiteral("plain"));
        QVERIFY(writeFile(blocker, "x"));
        settings.setRuntimeValue(QStringLiteral("General"), QStringLiteral("logs_path"), blocker + QStringLiteral("/sub"));
        QCOMPARE(settings.logsPath(), blocker + QStringLiteral("/sub/") + month);
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
