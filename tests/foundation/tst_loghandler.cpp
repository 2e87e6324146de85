#include "loghandler.h"
#include "testfiles.h"

#include <QAtomicInt>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

namespace {
QString g_target;
QAtomicInt g_locatorCalls;
} // namespace

class TestLogHandler : public QObject
{
    Q_OBJECT

private slots:
    void concurrentLinesStayWholeAndFormatted()
    {
        QTemporaryDir dir;
        g_target = dir.filePath(QStringLiteral("log.txt"));
        // The file is looked up for every line, so that a day change between
        // two lines sends the second one to the next day's file.
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

QTEST_GUILESS_MAIN(TestLogHandler)
#include "tst_loghandler.moc"
