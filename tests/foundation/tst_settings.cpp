#include "settings.h"
#include "testfiles.h"

#include <QAtomicInt>
#include <QCoreApplication>
#include <QDate>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTextCodec>
#include <QThread>

namespace {

QString month()
{
    return QDate::currentDate().toString(QStringLiteral("yyyy_MM"));
}

// Readers ask for keys while another thread keeps adding new ones to the
// cache; without a lock around the cache this corrupts the hash or crashes.
class Reader : public QThread
{
public:
    Reader(Settings *settings, QAtomicInt *stop, QAtomicInt *bad) : m_settings(settings), m_stop(stop), m_bad(bad) {}

protected:
    void run() override
    {
        int i = 0;
        while (!m_stop->loadAcquire()) {
            const QString key = QStringLiteral("key%1").arg(i % 500);
            const QVariant v = m_settings->value(QStringLiteral("stress"), key, QStringLiteral("none"));
            const QString s = v.toString();
            if (s != QLatin1String("none") && s != key)
                m_bad->ref();
            if (m_settings->value(QString(), QStringLiteral("fixed")).toString() != QLatin1String("yes"))
                m_bad->ref();
            ++i;
        }
    }

private:
    Settings *m_settings;
    QAtomicInt *m_stop;
    QAtomicInt *m_bad;
};

} // namespace

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

    void fileValues_data()
    {
        QTest::addColumn<QString>("group");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QVariant>("defaultValue");
        QTest::addColumn<QVariant>("expected");
        QTest::newRow("empty group reads General") << "" << "make_backup" << QVariant(false) << QVariant("true");
        QTest::newRow("General group by name") << "General" << "make_backup" << QVariant(false) << QVariant("true");
        QTest::newRow("named group") << "global_proxy" << "host" << QVariant() << QVariant("proxy.local");
        QTest::newRow("int value") << "global_proxy" << "port" << QVariant(8080) << QVariant("3128");
        QTest::newRow("absent key gives the default") << "config" << "version" << QVariant("x64") << QVariant("x64");
        QTest::newRow("absent group gives the default") << "server7" << "metod" << QVariant("GET") << QVariant("GET");
    }

    void fileValues()
    {
        QFETCH(QString, group);
        QFETCH(QString, key);
        QFETCH(QVariant, defaultValue);
        QFETCH(QVariant, expected);
        QVERIFY(writeFile(m_ini, "[General]\nmake_backup=true\n[global_proxy]\nhost=proxy.local\nport=3128\n"));
        Settings settings;
        settings.setConfigPath(m_ini);
        QCOMPARE(settings.value(group, key, defaultValue).toString(), expected.toString());
    }

    void runtimeValueShadowsOnlyItsKey()
    {
        QVERIFY(writeFile(m_ini, "[General]\nlogs_path=/from/file\ninstall_config_path=/file/installed.json\n"));
        Settings settings;
        settings.setConfigPath(m_ini);
        settings.setRuntimeValue(QStringLiteral("General"), QStringLiteral("logs_path"), QStringLiteral("/runtime"));
        QCOMPARE(settings.value(QString(), QStringLiteral("logs_path")).toString(), QStringLiteral("/runtime"));
        QCOMPARE(settings.value(QStringLiteral("General"), QStringLiteral("logs_path")).toString(),
                 QStringLiteral("/runtime"));
        // Only cached keys shadow the file.
        QCOMPARE(settings.value(QString(), QStringLiteral("install_config_path")).toString(),
                 QStringLiteral("/file/installed.json"));
        // The file still reads the same when asked directly.
        QSettings direct(m_ini, QSettings::IniFormat);
        QCOMPARE(direct.value(QStringLiteral("logs_path")).toString(), QStringLiteral("/from/file"));
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
        settings.setValue(QStringLiteral("projects"), QStringLiteral("key1"), QStringLiteral("guid-1"));
        QSettings direct(m_ini, QSettings::IniFormat);
        QCOMPARE(direct.value(QStringLiteral("mirrors_count")).toInt(), 2);
        QCOMPARE(direct.value(QStringLiteral("projects/key1")).toString(), QStringLiteral("guid-1"));
        // Another writer changes the file: the cached value still wins in this process.
        {
            QSettings other(m_ini, QSettings::IniFormat);
            other.setValue(QStringLiteral("projects/key1"), QStringLiteral("changed"));
        }
        QCOMPARE(settings.value(QStringLiteral("projects"), QStringLiteral("key1")).toString(),
                 QStringLiteral("guid-1"));
        QCOMPARE(settings.value(QStringLiteral("General"), QStringLiteral("mirrors_count")).toInt(), 2);
    }

    void cyrillicValuesRoundTrip()
    {
        QVERIFY(writeFile(m_ini, QStringLiteral("[mirror1]\nmirror_folder=D:/Зеркало клиники\n").toUtf8()));
        Settings settings;
        settings.setConfigPath(m_ini);
        QCOMPARE(settings.value(QStringLiteral("mirror1"), QStringLiteral("mirror_folder")).toString(),
                 QStringLiteral("D:/Зеркало клиники"));
        settings.setValue(QStringLiteral("mirror2"), QStringLiteral("mirror_folder"), QStringLiteral("E:/Копия"));
        Settings reread;
        reread.setConfigPath(m_ini);
        QCOMPARE(reread.value(QStringLiteral("mirror2"), QStringLiteral("mirror_folder")).toString(),
                 QStringLiteral("E:/Копия"));
    }

    void missingFileGivesDefaults()
    {
        Settings settings;
        settings.setConfigPath(m_dir.filePath(QStringLiteral("absent.ini")));
        QCOMPARE(settings.makeBackup(), false);
        QCOMPARE(settings.value(QStringLiteral("global_proxy"), QStringLiteral("port"), 8080).toInt(), 8080);
        QVERIFY(!QFile::exists(m_dir.filePath(QStringLiteral("absent.ini"))));
    }

    void derivedPathsBeforeConfiguration()
    {
        Settings settings;
        const QString appDir = QCoreApplication::applicationDirPath();
        QCOMPARE(settings.installedConfigPath(), appDir + QStringLiteral("/installed.json"));
        // The built-in base ends in a slash, so the month is joined with a doubled one.
        QCOMPARE(settings.logsPath(), appDir + QStringLiteral("/logs//") + month());
        QVERIFY(QDir(settings.logsPath()).exists());
        QDir dir(appDir);
        dir.cdUp();
        QCOMPARE(Settings::installRoot(), dir.absolutePath());
    }

    void logsPathFollowsLogsPath()
    {
        const QString base = m_dir.filePath(QStringLiteral("journal"));
        QVERIFY(writeFile(m_ini, QStringLiteral("[General]\nlogs_path=%1\n").arg(base).toUtf8()));
        Settings settings;
        settings.setConfigPath(m_ini);
        const QString path = settings.logsPath();
        QCOMPARE(path, base + QLatin1Char('/') + month());
        QVERIFY(QDir(path).exists());

        // An uncreatable folder is still returned.
        const QString blocker = m_dir.filePath(QStringLiteral("plain"));
        QVERIFY(writeFile(blocker, "x"));
        settings.setRuntimeValue(QStringLiteral("General"), QStringLiteral("logs_path"),
                                 blocker + QStringLiteral("/sub"));
        QCOMPARE(settings.logsPath(), blocker + QStringLiteral("/sub/") + month());
    }

    void runtimeOverridesAreNeverWritten()
    {
        QVERIFY(writeFile(m_ini, "[General]\nmake_backup=false\ninstall_config_path=/etc/kestra/installed.json\n"));
        const QByteArray before = readFile(m_ini);
        Settings settings;
        settings.setConfigPath(m_ini);
        QCOMPARE(settings.installedConfigPath(), QStringLiteral("/etc/kestra/installed.json"));
        settings.setRuntimeValue(QStringLiteral("General"), QStringLiteral("logs_path"), m_dir.filePath("l"));
        settings.setRuntimeValue(QStringLiteral("General"), QStringLiteral("install_config_path"), m_dir.filePath("i"));
        QCOMPARE(settings.logsPath(), m_dir.filePath("l") + QLatin1Char('/') + month());
        QCOMPARE(settings.installedConfigPath(), m_dir.filePath("i"));
        QCOMPARE(readFile(m_ini), before);
    }

    void readersDuringWrites()
    {
        Settings settings;
        settings.setConfigPath(m_ini);
        settings.setRuntimeValue(QStringLiteral("General"), QStringLiteral("fixed"), QStringLiteral("yes"));
        QAtomicInt stop(0);
        QAtomicInt bad(0);
        QList<Reader *> readers;
        for (int i = 0; i < 3; ++i)
            readers << new Reader(&settings, &stop, &bad);
        for (Reader *r : readers)
            r->start();
        QElapsedTimer timer;
        timer.start();
        int writes = 0;
        // Many new groups and keys force the cache to rehash while readers look.
        while (timer.elapsed() < 1500 && writes < 200000) {
            settings.setRuntimeValue(QStringLiteral("g%1").arg(writes % 97), QStringLiteral("k%1").arg(writes),
                                     writes);
            settings.setRuntimeValue(QStringLiteral("stress"), QStringLiteral("key%1").arg(writes % 500),
                                     QStringLiteral("key%1").arg(writes % 500));
            if (writes % 200 == 0)
                settings.setValue(QStringLiteral("stressfile"), QStringLiteral("k"), writes);
            ++writes;
        }
        stop.storeRelease(1);
        for (Reader *r : readers)
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
