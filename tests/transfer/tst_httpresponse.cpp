// The plain-HTTP answer reader: answers of many shapes fed in pieces of
// several sizes (a network hands them over at arbitrary boundaries), and the
// limits that keep a hostile server from feeding it without end.

#include "httpresponseparser.h"

#include <QtTest>

namespace {

struct Result
{
    HttpResponseParser::State state = HttpResponseParser::ReadingHead;
    int status = 0;
    QByteArray body;
    bool keepAlive = false;
    bool unsupported = false;
    qint64 consumed = 0;
};

Result parse(const QByteArray &raw, int piece, bool closeAtEnd)
{
    HttpResponseParser parser;
    Result result;
    const auto sink = [&](const char *data, qint64 size) {
        result.body.append(data, int(size));
        return true;
    };
    for (int at = 0; at < raw.size(); at += piece) {
        const int size = qMin(piece, raw.size() - at);
        const qint64 used = parser.feed(raw.constData() + at, size, sink);
        result.consumed += used;
        if (used < size)
            break;
    }
    if (closeAtEnd)
        parser.closed();
    result.state = parser.state();
    result.status = parser.statusCode();
    result.keepAlive = parser.keepAlive();
    result.unsupported = parser.unsupportedCoding();
    return result;
}

} // namespace

class TestHttpResponse : public QObject
{
    Q_OBJECT

private slots:
    void answers_data();
    void answers();
    void oversizedHeadRefused();
    void refusingSinkStopsTheBody();
    void fuzzRegressions_data();
    void fuzzRegressions();
};

void TestHttpResponse::answers_data()
{
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<bool>("closeAtEnd");
    QTest::addColumn<int>("state");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("keepAlive");

    const int done = HttpResponseParser::Done;
    const int failed = HttpResponseParser::Failed;
    const int reading = HttpResponseParser::ReadingBody;

    QTest::newRow("length") << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello") << false << done
                            << 200 << QByteArray("hello") << true;
    QTest::newRow("length, header names in any case")
        << QByteArray("HTTP/1.1 200 OK\r\ncOnTeNt-LeNgTh:   3  \r\n\r\nabc") << false << done << 200
        << QByteArray("abc") << true;
    QTest::newRow("empty body") << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n") << false << done << 200
                                << QByteArray() << true;
    QTest::newRow("no content") << QByteArray("HTTP/1.1 204 No Content\r\n\r\n") << false << done << 204
                                << QByteArray() << true;
    QTest::newRow("bare line feeds") << QByteArray("HTTP/1.1 200 OK\nContent-Length: 2\n\nok") << false << done
                                     << 200 << QByteArray("ok") << true;
    QTest::newRow("chunked with extension and trailer")
        << QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                      "5;name=x\r\nhello\r\n1\r\n \r\nA\r\n0123456789\r\n0\r\nX-Sum: 1\r\n\r\n")
        << false << done << 200 << QByteArray("hello 0123456789") << true;
    QTest::newRow("chunked beside a length is read as chunked, not kept")
        << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 99\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nab\r\n0\r\n\r\n")
        << false << done << 200 << QByteArray("ab") << false;
    QTest::newRow("interim answers skipped")
        << QByteArray("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early\r\nLink: x\r\n\r\n"
                      "HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nz")
        << false << done << 200 << QByteArray("z") << true;
    QTest::newRow("connection close") << QByteArray("HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 1\r\n\r\nq")
                                      << false << done << 200 << QByteArray("q") << false;
    QTest::newRow("1.0 without keep-alive") << QByteArray("HTTP/1.0 200 OK\r\nContent-Length: 1\r\n\r\nq") << false
                                            << done << 200 << QByteArray("q") << false;
    QTest::newRow("1.0 with keep-alive")
        << QByteArray("HTTP/1.0 200 OK\r\nConnection: Keep-Alive\r\nContent-Length: 1\r\n\r\nq") << false << done
        << 200 << QByteArray("q") << true;
    QTest::newRow("body to the close") << QByteArray("HTTP/1.0 200 OK\r\n\r\nuntil the end") << true << done << 200
                                       << QByteArray("until the end") << false;
    QTest::newRow("body to the close, still open") << QByteArray("HTTP/1.1 200 OK\r\n\r\npart") << false << reading
                                                   << 200 << QByteArray("part") << false;
    QTest::newRow("error page read past like any body")
        << QByteArray("HTTP/1.1 404 Not Found\r\nContent-Length: 4\r\n\r\nnope") << false << done << 404
        << QByteArray("nope") << true;

    QTest::newRow("closed before the length") << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nshort")
                                              << true << failed << 200 << QByteArray("short") << false;
    QTest::newRow("closed inside a chunk")
        << QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n9\r\nabc") << true << failed << 200
        << QByteArray("abc") << false;
    QTest::newRow("closed in the head") << QByteArray("HTTP/1.1 200 OK\r\nContent-Le") << true << failed << 200
                                        << QByteArray() << false;
    QTest::newRow("not http") << QByteArray("SSH-2.0-OpenSSH\r\n\r\n") << false << failed << 0 << QByteArray()
                              << false;
    QTest::newRow("status not a number") << QByteArray("HTTP/1.1 2x0 OK\r\n\r\n") << false << failed << 0
                                         << QByteArray() << false;
    QTest::newRow("protocol switch") << QByteArray("HTTP/1.1 101 Switching\r\n\r\n") << false << failed << 0
                                     << QByteArray() << false;
    QTest::newRow("two different lengths")
        << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\nabcd") << false << failed
        << 200 << QByteArray() << false;
    QTest::newRow("negative length") << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\n") << false
                                     << failed << 200 << QByteArray() << false;
    QTest::newRow("length beyond 64 bits") << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999\r\n\r\n")
                                           << false << failed << 200 << QByteArray() << false;
    QTest::newRow("chunk size beyond 64 bits")
        << QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nfffffffffffffffff\r\n") << false << failed
        << 200 << QByteArray() << false;
    QTest::newRow("chunk size not hex") << QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n")
                                        << false << failed << 200 << QByteArray() << false;
    QTest::newRow("chunk without its line end")
        << QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nabXY\r\n") << false << failed << 200
        << QByteArray("ab") << false;
    QTest::newRow("folded header") << QByteArray("HTTP/1.1 200 OK\r\nX-A: 1\r\n  more\r\n\r\n") << false << failed
                                   << 200 << QByteArray() << false;
    QTest::newRow("header without colon") << QByteArray("HTTP/1.1 200 OK\r\nnonsense\r\n\r\n") << false << failed
                                          << 200 << QByteArray() << false;
}

void TestHttpResponse::answers()
{
    QFETCH(QByteArray, raw);
    QFETCH(bool, closeAtEnd);
    QFETCH(int, state);
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(bool, keepAlive);

    for (const int piece : {1, 2, 7, 64, raw.size()}) {
        const Result result = parse(raw, piece, closeAtEnd);
        const QByteArray where = "in pieces of " + QByteArray::number(piece);
        QVERIFY2(int(result.state) == state, where.constData());
        QVERIFY2(result.status == status, where.constData());
        QVERIFY2(result.body == body, where + ": body " + result.body);
        QVERIFY2(result.keepAlive == keepAlive, where.constData());
        if (state == HttpResponseParser::Done)
            QVERIFY2(result.consumed == raw.size(), where.constData());
    }
}

void TestHttpResponse::oversizedHeadRefused()
{
    // Headers that never end must not be buffered without limit.
    QByteArray raw = "HTTP/1.1 200 OK\r\n";
    const QByteArray header = "X-Filler: " + QByteArray(1000, 'a') + "\r\n";
    while (raw.size() < 70 * 1024)
        raw += header;
    const Result result = parse(raw, 4096, false);
    QCOMPARE(int(result.state), int(HttpResponseParser::Failed));
    QVERIFY(result.consumed <= 65 * 1024);

    // One endless chunk-size line, likewise.
    const QByteArray chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + QByteArray(20000, '0');
    QCOMPARE(int(parse(chunked, 512, false).state), int(HttpResponseParser::Failed));

    // Codings it does not unpack are reported as such, for the caller to
    // pass the request on.
    const Result gzip = parse("HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n\r\n", 100, false);
    QCOMPARE(int(gzip.state), int(HttpResponseParser::Failed));
    QVERIFY(gzip.unsupported);
    const Result packed = parse("HTTP/1.1 200 OK\r\nContent-Encoding: deflate\r\nContent-Length: 2\r\n\r\nxx", 100, false);
    QCOMPARE(int(packed.state), int(HttpResponseParser::Failed));
    QVERIFY(packed.unsupported);
}

void TestHttpResponse::refusingSinkStopsTheBody()
{
    HttpResponseParser parser;
    const QByteArray raw = "HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\nabcdef";
    int calls = 0;
    parser.feed(raw.constData(), raw.size() - 3, [&](const char *, qint64) {
        ++calls;
        return false;
    });
    QCOMPARE(int(parser.state()), int(HttpResponseParser::Failed));
    QVERIFY(parser.sinkRefused());
    // Nothing more is handed over after the refusal.
    parser.feed(raw.constData() + raw.size() - 3, 3, [&](const char *, qint64) {
        ++calls;
        return true;
    });
    QCOMPARE(calls, 1);
}

void TestHttpResponse::fuzzRegressions_data()
{
    // Inputs the fuzzer once failed on: the first byte picks the piece size.
    QTest::addColumn<QString>("path");
    const QDir dir(QStringLiteral(KESTRA_FUZZ_REGRESSIONS_DIR "/httpresponse"));
    const QFileInfoList files = dir.entryInfoList(QDir::Files, QDir::Name);
    QVERIFY(!files.isEmpty());
    for (const QFileInfo &file : files)
        QTest::newRow(qPrintable(file.fileName())) << file.absoluteFilePath();
}

void TestHttpResponse::fuzzRegressions()
{
    QFETCH(QString, path);
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray input = file.readAll();
    QVERIFY(!input.isEmpty());
    const Result result = parse(input.mid(1), 1 + quint8(input.at(0)) % 97, true);
    QVERIFY(result.state == HttpResponseParser::Done || result.state == HttpResponseParser::Failed);
    HttpResponseParser parser;
    parser.feed(input.constData() + 1, input.size() - 1, nullptr);
    parser.closed();
    if (parser.state() == HttpResponseParser::Done && parser.contentLength() >= 0)
        QCOMPARE(parser.bodyReceived(), parser.contentLength());
}

QTEST_GUILESS_MAIN(TestHttpResponse)
#include "tst_httpresponse.moc"
