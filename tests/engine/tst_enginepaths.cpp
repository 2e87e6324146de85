// The sizes of installed files read ahead, and the look-ahead's decisions, when no thread can be started.

#include "filestat.h"
#include "testfiles.h"
#include "updatelookahead.h"

#include <QtTest>

#include <pthread.h>

#include <system_error>
#include <thread>

// While it lives no new thread of this process starts (its petabyte stack cannot be mapped), as when out of threads.
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
    Q_DISABLE_COPY(NoThreadsToSpare)
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
    // A process out of threads: the loop then reads and decides every file itself, and the update goes on.
    void noThreadToSpare()
    {
        // Files "f<i>" of i % 7 bytes, every fifth one missing; f7 (empty) also in sub.
        QTemporaryDir dir;
        const int count = 60;
        QVERIFY(writeFile(dir.filePath("sub/f7"), QByteArray()));
        const QVector<QString> folders{dir.path(), dir.filePath("sub"), dir.filePath("none")};
        // Entries alternate between the folders; every third one is the loop's alone.
        auto folderOf = [](int i) { return i % 3 == 2 ? -1 : (i / 10) % 3; };
        auto nameOf = [](int i) { return QStringLiteral("f%1").arg(i); };
        auto pathOf = [&](int i) { return folders.at(folderOf(i)) + QLatin1Char('/') + nameOf(i); };
        QVector<UpdateLookahead::Item> items(count);
        for (int i = 0; i < count; ++i) {
            QVERIFY(i % 5 == 4 || writeFile(dir.filePath(nameOf(i)), QByteArray(i % 7, 'x')));
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
