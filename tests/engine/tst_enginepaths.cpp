// Path rules of the install engine: which server texts may name places on
// disk and the folder of a program or module; and the sizes of installed
// files read ahead when no thread can be started.

#include "filestat.h"
#include "safepath.h"
#include "updatelookahead.h"

#include <QTemporaryDir>
#include <QtTest>

#include <pthread.h>

#include <system_error>
#include <thread>

namespace {

bool writeBytes(const QString &path, int size)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(QByteArray(size, 'x')) == size;
}

// count files "f<i>" of i % 7 bytes; every fifth one is missing.
QStringList makeFiles(const QTemporaryDir &dir, int count)
{
    QStringList paths;
    for (int i = 0; i < count; ++i) {
        paths << dir.filePath(QStringLiteral("f%1").arg(i));
        if (i % 5 != 4 && !writeBytes(paths.last(), i % 7))
            return {};
    }
    return paths;
}

} // namespace

// While it lives, every new thread of this process fails to start: its
// stack (a petabyte) cannot be mapped. What a process out of threads meets.
class NoThreadsToSpare
{
public:
    NoThreadsToSpare()
    {
        pthread_attr_t huge;
        pthread_attr_init(&huge);
        pthread_attr_setstacksize(&huge, size_t(1) << 50);
        m_saved = pthread_getattr_default_np(&m_previous) == 0;
        m_active = m_saved && pthread_setattr_default_np(&huge) == 0;
        pthread_attr_destroy(&huge);
    }
    ~NoThreadsToSpare()
    {
        if (m_saved && pthread_setattr_default_np(&m_previous) == 0)
            pthread_attr_destroy(&m_previous);
    }
    NoThreadsToSpare(const NoThreadsToSpare &) = delete;
    NoThreadsToSpare &operator=(const NoThreadsToSpare &) = delete;
    // Whether starting a thread really fails now.
    bool active() const
    {
        try {
            return m_active && (std::thread([] {}).join(), false);
        } catch (const std::system_error &) {
            return true;
        }
    }

private:
    pthread_attr_t m_previous;
    bool m_saved = false;
    bool m_active = false;
};

class TestEnginePaths : public QObject
{
    Q_OBJECT

private slots:
    void fileName_data()
    {
        // folder: also accepted as the folder of a program or module, beside an
        // updater whose own folder is "kestraupd".
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("safe");
        QTest::addColumn<bool>("folder");
        QTest::newRow("plain") << "a.dll" << true << true;
        QTest::newRow("cyrillic and blank") << QString::fromUtf8("Отчёт 1.txt") << true << true;
        QTest::newRow("dot") << "." << false << false;
        QTest::newRow("three dots (windows parent alias)") << "..." << false << false;
        QTest::newRow("slash") << "a/b" << false << false;
        QTest::newRow("backslash") << "a\\b" << false << false;
        QTest::newRow("drive") << "C:x" << false << false;
        QTest::newRow("nul") << QString::fromUtf8("a\0b", 3) << false << false;
        // Folders Windows would take for another, or the updater keeps itself.
        QTest::newRow("updater's folder, trailing dot") << "kestraupd." << true << false;
        QTest::newRow("device aux, blank before extension") << "Aux .log" << true << false;
        QTest::newRow("device port with superscript digit") << QString::fromUtf8("COM¹") << true << false;
        QTest::newRow("longer than a device name") << "console" << true << true;
        QTest::newRow("com port ten is no device") << "com10" << true << true;
    }

    void fileName()
    {
        QFETCH(QString, name);
        QFETCH(bool, safe);
        QFETCH(bool, folder);
        QCOMPARE(isSafePathComponent(name), safe);
        QCOMPARE(isSafeModuleFolderName(name, QStringLiteral("kestraupd")), folder);
    }

    void subPath_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("safe");
        QTest::addColumn<QString>("joined"); // below "/root/m/", for messages and writes
        QTest::newRow("empty") << "" << true << "/root/m";
        QTest::newRow("pack form") << "/sub/folder" << true << "/root/m/sub/folder";
        QTest::newRow("doubled slash") << "//sub" << true << "/root/m/sub";
        QTest::newRow("parent at end") << "/sub/.." << false << "/root/m/sub/..";
        QTest::newRow("windows parent alias") << "/sub/.../x" << false << "/root/m/sub/.../x";
        QTest::newRow("backslash parent") << "\\..\\x" << false << "/root/m/\\..\\x";
        QTest::newRow("dot and blank inside") << "/sub/. ./x" << false << "/root/m/sub/. ./x";
        QTest::newRow("nul") << QString::fromUtf8("/a\0b", 4) << false << QString::fromUtf8("/root/m/a\0b", 11);
        // One separator between folder and path, whatever either brings.
        QTest::newRow("trailing slash, folder with one too") << "/sub/" << true << "/root/m/sub";
        QTest::newRow("slash only") << "/" << true << "/root/m";
    }

    void subPath()
    {
        QFETCH(QString, path);
        QFETCH(bool, safe);
        QFETCH(QString, joined);
        QCOMPARE(isSafeSubPath(path), safe);
        QCOMPARE(joinSubPath(QStringLiteral("/root/m"), path), joined);
        QCOMPARE(joinSubPath(QStringLiteral("/root/m/"), path), joined);
        const QString belowRoot = joined.mid(7);
        QCOMPARE(joinSubPath(QStringLiteral("/"), path), belowRoot.isEmpty() ? QStringLiteral("/") : belowRoot);
    }

    void dataPath_data()
    {
        QTest::addColumn<QString>("data");
        QTest::addColumn<bool>("safe");
        QTest::newRow("pack form") << "m/sub/c.txt" << true;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("mirror form, leading slash") << "/sub dir/x.cfg" << true;
        QTest::newRow("encoded slash") << "m/..%2fx" << false;
        QTest::newRow("backslash") << "m\\x" << false;
        QTest::newRow("drive") << "C:/x" << false;
        QTest::newRow("url") << "http://evil/x" << false;
        QTest::newRow("folder only") << "m/" << false;
        QTest::newRow("escaped letter") << "m/%41.txt" << true;
        QTest::newRow("escaped backslash") << "m/%5c..%5cx" << false;
        QTest::newRow("escaped parent in the middle") << "m/%2E./x" << false;
        QTest::newRow("fragment") << "m/x#y" << false;
    }

    void dataPath()
    {
        QFETCH(QString, data);
        QFETCH(bool, safe);
        QCOMPARE(isSafeDataPath(data), safe);
    }

    // A process out of threads: the loop then reads and decides every file
    // itself, and the update goes on.
    void noThreadToSpare()
    {
        QTemporaryDir dir;
        const int count = 60;
        const QStringList paths = makeFiles(dir, count);
        QVERIFY(paths.size() == count && QDir(dir.path()).mkdir("sub") && QFile(paths.at(7)).copy(dir.filePath("sub/f7")));
        const QVector<QString> folders{dir.path(), dir.filePath("sub"), dir.filePath("none")};
        // Entries alternate between the folders; every third one is the loop's alone.
        auto folderOf = [](int i) { return i % 3 == 2 ? -1 : (i / 10) % 3; };
        auto nameOf = [](int i) { return QStringLiteral("f%1").arg(i); };
        auto pathOf = [&](int i) { return folders.at(folderOf(i)) + QLatin1Char('/') + nameOf(i); };
        QVector<UpdateLookahead::Item> items(count);
        for (int i = 0; i < count; ++i) {
            items[i].evaluate = folderOf(i) >= 0;
            items[i].target = items[i].evaluate ? pathOf(i) : QString();
            items[i].size = i % 7;
        }
        auto starved = std::make_unique<NoThreadsToSpare>();
        QVERIFY2(starved->active(), "threads still start");
        SizePrefetch sizes(count, folders, folderOf, nameOf);
        UpdateLookahead lookahead(items, false, nullptr);
        starved.reset();
        for (int i = 0; i < count; ++i) {
            if (folderOf(i) < 0)
                continue;
            const QFileInfo info(pathOf(i));
            qint64 size = -1;
            QCOMPARE(sizes.fileSize(i, &size), info.exists());
            QCOMPARE(size, info.size());
            QCOMPARE(lookahead.needUpdate(i), !info.exists() || info.size() != i % 7);
        }
    }
};

QTEST_GUILESS_MAIN(TestEnginePaths)
#include "tst_enginepaths.moc"
