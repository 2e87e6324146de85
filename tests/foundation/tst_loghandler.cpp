#include "loghandler.h"
#include "testfiles.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

namespace {
QString g_target;
int g_locatorCalls = 0;
} // namespace

class TestLogHandler : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { setLogFileLocator(nullptr); }

    void eachLineReachesTheLocatorsFile()
    {
        // The file is looked up for every line: a day change between two lines
        // sends the second one to the next day's file.
        QTemporaryDir dir;
        g_target = dir.path();
        g_locatorCalls = 0;
        // A new file for every line, as a date change would give.
        setLogFileLocator([] { return g_target + QStringLiteral("/line%1.txt").arg(++g_locatorCalls); });
        messageHandler(QtInfoMsg, QMessageLogContext("a.cpp", 1, "f()", "default"), QStringLiteral("first"));
        // A context without file or function, as release builds give.
        messageHandler(QtWarningMsg, QMessageLogContext(), QStringLiteral("second"));
        QCOMPARE(g_locatorCalls, 2);
        const auto lineIn = [&dir](const char *name, const QString &pattern) {
            const QString text = QString::fromUtf8(readFile(dir.filePath(QLatin1String(name))));
            return QRegularExpression("^" + pattern + "\n$").match(text).hasMatch() ? QString() : text;
        };
        QCOMPARE(lineIn("line1.txt", "Info \\d\\d:\\d\\d:\\d\\d: first \\(a\\.cpp:1, f\\(\\)\\)"), QString());
        QCOMPARE(lineIn("line2.txt", "Warning \\d\\d:\\d\\d:\\d\\d: second \\(:0, \\)"), QString());
    }

    void concurrentLinesStayWhole()
    {
        QTemporaryDir dir;
        g_target = dir.filePath(QStringLiteral("log.txt"));
        setLogFileLocator([] { return g_target; });
        const int threads = 8, perThread = 1000;
        QList<QThread *> writers;
        for (int id = 0; id < threads; ++id) {
            writers << QThread::create([id] {
                const QMessageLogContext context("writer.cpp", id, "void run()", "default");
                for (int i = 0; i < perThread; ++i)
                    messageHandler(QtDebugMsg, context,
                                   QStringLiteral("thread %1 line %2 %3").arg(id).arg(i).arg(QString(40, 'x')));
            });
            writers.last()->start();
        }
        for (QThread *w : writers)
            QVERIFY(w->wait(120000));
        qDeleteAll(writers);
        const QList<QByteArray> lines = readFile(g_target).split('\n');
        QCOMPARE(lines.size(), threads * perThread + 1);
        // Each thread's lines arrive whole and in its own order.
        const QRegularExpression whole(QStringLiteral(
            "^Debug \\d\\d:\\d\\d:\\d\\d: thread (\\d) line (\\d+) x{40} \\(writer\\.cpp:\\1, void run\\(\\)\\)$"));
        QVector<int> next(threads, 0);
        for (int i = 0; i < threads * perThread; ++i) {
            const QRegularExpressionMatch m = whole.match(QString::fromUtf8(lines.at(i)));
            QVERIFY2(m.hasMatch(), lines.at(i).constData());
            QCOMPARE(m.captured(2).toInt(), next[m.captured(1).toInt()]++);
        }
    }
};

QTEST_GUILESS_MAIN(TestLogHandler)
#include "tst_loghandler.moc"
