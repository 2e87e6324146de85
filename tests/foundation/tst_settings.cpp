// The state every thread of the updater shares: the settings store, read by install threads while the GUI thread
// writes it, and the log every thread appends to. CI runs these under ThreadSanitizer.
#include "loghandler.h"
#include "settings.h"
#include "testfiles.h"

#include <QtTest> // and with it all of Qt Core

namespace {
QString g_target;
QAtomicInt g_locatorCalls;
} // namespace

class TestSettings : public QObject
{
    Q_OBJECT

private slots:
    void readersDuringWrites()
    {
        // Readers ask for keys while this thread keeps adding new ones to the cache; without a lock around the cache
        // this corrupts the hash or crashes.
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
        int writes = 0;
        // Many new groups and keys force the cache to rehash while readers look.
        for (QDeadlineTimer deadline(1500); !deadline.hasExpired() && writes < 200000; ++writes) {
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

    void logLinesFromManyThreadsStayWholeAndFormatted()
    {
        QTemporaryDir dir;
        g_target = dir.filePath(QStringLiteral("log.txt"));
        // Looked up for every line, so that a day change between two lines sends the second to the next day's file.
        setLogFileLocator([] {
            g_locatorCalls.ref();
            return g_target;
        });
        const int threads = 8, perThread = 1000;
        const QtMsgType types[] = {QtDebugMsg, QtInfoMsg, QtWarningMsg, QtCriticalMsg};
        const QStringList words{"Debug", "Info", "Warning", "Critical"};
        QList<QThread *> writers;
        for (int id = 0; id < threads; ++id) {
            writers << QThread::create([id, &types] {
                // Odd writers log with a context without file or function, as release builds give.
                const QMessageLogContext context =
                    id % 2 ? QMessageLogContext() : QMessageLogContext("writer.cpp", id, "void run()", "default");
                for (int i = 0; i < perThread; ++i)
                    messageHandler(types[id % 4], context,
                                   QStringLiteral("thread %1 line %2 %3").arg(id).arg(i).arg(QString(40, 'x')));
            });
            writers.last()->start();
        }
        for (QThread *w : writers)
            QVERIFY(w->wait(120000));
        qDeleteAll(writers);
        setLogFileLocator(nullptr);
        QCOMPARE(g_locatorCalls.loadAcquire(), threads * perThread);
        const QList<QByteArray> lines = readFile(g_target).split('\n');
        QCOMPARE(lines.size(), threads * perThread + 1);
        // Each thread's lines arrive whole, in its own order and in the one format.
        const QRegularExpression whole(
            QStringLiteral("^(\\w+) \\d\\d:\\d\\d:\\d\\d: thread (\\d) line (\\d+) x{40} \\((.*)\\)$"));
        QVector<int> next(threads, 0);
        for (int i = 0; i < threads * perThread; ++i) {
            const QRegularExpressionMatch m = whole.match(QString::fromUtf8(lines.at(i)));
            QVERIFY2(m.hasMatch(), lines.at(i).constData());
            const int id = m.captured(2).toInt();
            QCOMPARE(m.captured(1), words.at(id % 4));
            const QString where = id % 2 ? QStringLiteral(":0, ") : QStringLiteral("writer.cpp:%1, void run()").arg(id);
            QCOMPARE(m.captured(4), where);
            QCOMPARE(m.captured(3).toInt(), next[id]++);
        }
    }
};

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
