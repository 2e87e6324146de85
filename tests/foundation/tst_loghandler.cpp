#include "loghandler.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

QString g_target;
int g_locatorCalls = 0;

QString fixedLocator()
{
    return g_target;
}

// Hands out a new file for every line, as a date change would.
QString countingLocator()
{
    return g_target + QStringLiteral("/line%1.txt").arg(++g_locatorCalls);
}

// Runs fn with stdout sent to a file and returns what was printed.
template <typename Fn>
QByteArray captureStdout(Fn fn)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("stdout.txt"));
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, STDOUT_FILENO);
    ::close(fd);
    fn();
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    ::close(saved);
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    return file.readAll();
}

class LineWriter : public QThread
{
public:
    LineWriter(int id, int count) : m_id(id), m_count(count) {}

protected:
    void run() override
    {
        QMessageLogContext context("writer.cpp", m_id, "void LineWriter::run()", "default");
        for (int i = 0; i < m_count; ++i)
            messageHandler(QtDebugMsg, context, QStringLiteral("thread %1 line %2 %3").arg(m_id).arg(i).arg(QString(40, QChar('x'))));
    }

private:
    int m_id;
    int m_count;
};

} // namespace

class TestLogHandler : public QObject
{
    Q_OBJECT

private slots:
    void lineFormat_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("prefix");
        QTest::newRow("debug") << int(QtDebugMsg) << "Debug ";
        QTest::newRow("info") << int(QtInfoMsg) << "Info ";
        QTest::newRow("warning") << int(QtWarningMsg) << "Warning ";
        QTest::newRow("critical") << int(QtCriticalMsg) << "Critical ";
        QTest::newRow("fatal") << int(QtFatalMsg) << "Fatal ";
        QTest::newRow("unknown type has no level word") << int(QtInfoMsg) + 7 << "";
    }

    void lineFormat()
    {
        QFETCH(int, type);
        QFETCH(QString, prefix);
        QMessageLogContext context("src/main.cpp", 46, "int qMain(int, char**)", "default");
        const QString line = formatLogLine(QtMsgType(type), context, QStringLiteral("сообщение и message"));
        const QRegularExpression pattern(
            QStringLiteral("^") + QRegularExpression::escape(prefix)
            + QStringLiteral("\\d\\d:\\d\\d:\\d\\d: сообщение и message "
                             "\\(src/main\\.cpp:46, int qMain\\(int, char\\*\\*\\)\\)\\n$"));
        QVERIFY2(pattern.match(line).hasMatch(), qPrintable(line));
    }

    void contextWithoutFileOrFunction()
    {
        QMessageLogContext context;
        const QString line = formatLogLine(QtWarningMsg, context, QStringLiteral("m"));
        QVERIFY2(line.startsWith(QLatin1String("Warning ")) && line.endsWith(QLatin1String(": m (:0, )\n")),
                 qPrintable(line));
    }

    void eachLineReachesTheLocatorsFile()
    {
        // The file is looked up for every line: a day change between two lines
        // sends the second one to the next day's file.
        QTemporaryDir dir;
        g_target = dir.path();
        g_locatorCalls = 0;
        setLogFileLocator(countingLocator);
        QMessageLogContext context("a.cpp", 1, "f()", "default");
        messageHandler(QtInfoMsg, context, QStringLiteral("first"));
        messageHandler(QtInfoMsg, context, QStringLiteral("second"));
        QCOMPARE(g_locatorCalls, 2);
        QVERIFY(QFile(dir.filePath("line1.txt")).exists());
        QFile second(dir.filePath("line2.txt"));
        QVERIFY(second.open(QIODevice::ReadOnly));
        const QByteArray text = second.readAll();
        QVERIFY2(text.startsWith("Info ") && text.contains(": second (a.cpp:1, f())\n"), text.constData());
        setLogFileLocator(nullptr);
    }

    void unwritableFolderFallsBackToStdout()
    {
        QTemporaryDir dir;
        // A path below a regular file can never be opened, root or not.
        const QString blocker = dir.filePath(QStringLiteral("plainfile"));
        QFile f(blocker);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.close();
        g_target = blocker + QStringLiteral("/logs/2026-12-06.txt");
        setLogFileLocator(fixedLocator);
        QMessageLogContext context("a.cpp", 1, "f()", "default");
        const QByteArray printed = captureStdout([&] {
            messageHandler(QtWarningMsg, context, QStringLiteral("one"));
            messageHandler(QtWarningMsg, context, QStringLiteral("two"));
        });
        setLogFileLocator(nullptr);
        // One line of the device's error text per message, and the program goes on.
        const QList<QByteArray> lines = printed.split('\n');
        QCOMPARE(lines.size(), 3);
        QVERIFY(lines.at(0).endsWith(' '));
        QVERIFY(!lines.at(0).trimmed().isEmpty());
        QCOMPARE(lines.at(0), lines.at(1));
        QVERIFY(lines.at(2).isEmpty());
    }

    void concurrentLinesStayWhole()
    {
        QTemporaryDir dir;
        g_target = dir.filePath(QStringLiteral("log.txt"));
        setLogFileLocator(fixedLocator);
        const int threads = 8;
        const int perThread = 1000;
        QList<LineWriter *> writers;
        for (int i = 0; i < threads; ++i)
            writers << new LineWriter(i, perThread);
        for (LineWriter *w : writers)
            w->start();
        for (LineWriter *w : writers)
            QVERIFY(w->wait(120000));
        qDeleteAll(writers);
        setLogFileLocator(nullptr);

        QFile file(g_target);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = file.readAll().split('\n');
        QCOMPARE(lines.size(), threads * perThread + 1);
        const QRegularExpression whole(QStringLiteral(
            "^Debug \\d\\d:\\d\\d:\\d\\d: thread (\\d) line (\\d+) x{40} \\(writer\\.cpp:\\1, void LineWriter::run\\(\\)\\)$"));
        QVector<int> next(threads, 0);
        for (int i = 0; i < threads * perThread; ++i) {
            const QRegularExpressionMatch m = whole.match(QString::fromUtf8(lines.at(i)));
            QVERIFY2(m.hasMatch(), lines.at(i).constData());
            // Each thread's lines arrive whole and in its own order.
            const int id = m.captured(1).toInt();
            QCOMPARE(m.captured(2).toInt(), next[id]);
            ++next[id];
        }
    }
};

QTEST_GUILESS_MAIN(TestLogHandler)
#include "tst_loghandler.moc"
