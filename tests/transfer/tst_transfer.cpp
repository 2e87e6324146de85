// Downloads through loadUrl/fetchFile/replaceFile against real servers on
// 127.0.0.1: nginx over HTTP and HTTPS (with a CA made and trusted here),
// pyftpdlib, tinyproxy as the application proxy, and a scripted server that
// records requests or misbehaves on purpose.

#include "ftpserver.h"
#include "nginxserver.h"
#include "scriptedhttpserver.h"
#include "settings.h"
#include "testcertificates.h"
#include "testfiles.h"
#include "tinyproxyserver.h"
#include "transfer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QNetworkProxy>
#include <QProcess>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

namespace {

using Behaviour = ScriptedHttpServer::Behaviour;
const QByteArray kSmall = "<project>small document</project>\n";

// Runs two downloads on a thread of its own (as the install thread does):
// the second reuses the thread's manager.
class FetchThread : public QThread
{
public:
    FetchThread(const QString &source, const QString &destination) : m_source(source), m_destination(destination) {}
    bool ok = false;
    QString error;

protected:
    void run() override
    {
        ok = fetchFile(m_source, m_destination, &error) && replaceFile(m_source, m_destination, &error);
    }

private:
    QString m_source, m_destination;
};

bool writeLargeFile(const QString &path) // piece by piece, never held whole
{
    QFile file(path);
    bool ok = file.open(QIODevice::WriteOnly);
    for (int i = 0; ok && i < 96; ++i)
        ok = file.write(patternBytes(1024 * 1024, quint32(i + 11))) == 1024 * 1024;
    return ok && file.write(patternBytes(12345, 7)) == 12345; // not a multiple of any buffer
}

bool startTls(NginxServer *server, const QString &root, const QString &certs, bool trusted, QString *error)
{
    TestCertificates tls;
    if (!QDir().mkpath(certs) || !createTestCertificates(certs, &tls, error))
        return false;
    if (trusted) { // for this process only
        QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
        ssl.setCaCertificates(ssl.caCertificates() + QSslCertificate::fromPath(tls.caCertificate));
        QSslConfiguration::setDefaultConfiguration(ssl);
    }
    server->setRoot(root);
    server->setTls(tls.serverCertificate, tls.serverKey);
    return true;
}

} // namespace

class TestTransfer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(NginxServer::isAvailable(), "nginx is not installed (scripts/packages.txt lists nginx-light)");
        QVERIFY(QDir().mkpath(m_work.filePath("out")));
        m_root = m_work.filePath(QStringLiteral("www"));
        QVERIFY(writeFile(m_root + "/small.xml", kSmall) && writeFile(m_root + "/empty.txt", QByteArray()));
        QVERIFY(writeFile(m_root + "/sub/папка/file.bin", patternBytes(70000, 3)));
        QVERIFY(writeLargeFile(m_root + "/large.bin"));
        // nginx sends the precompressed copy with Content-Encoding: gzip; the
        // stored file must be the plain document.
        QByteArray document = "<project>";
        for (int i = 0; i < 2000; ++i)
            document += "<module name=\"m" + QByteArray::number(i) + "\"/>";
        QVERIFY(writeFile(m_root + "/gz/doc.xml", document + "</project>\n"));
        QCOMPARE(QProcess::execute("gzip", {"-k", "-9", m_root + "/gz/doc.xml"}), 0);

        m_http.setRoot(m_root);
        const QString here = QStringLiteral("http://127.0.0.1:$server_port");
        for (const QString &location : QStringList
             {"/gz/ { gzip_static on; }", "= /error500 { return 500; }", "= /moved { return 301 " + here + "/small.xml; }",
              "= /found { return 302 " + here + "/small.xml; }", "= /relative { return 307 /small.xml; }",
              "= /loop { return 302 " + here + "/loop; }", "= /choices { return 300 \"pick one\"; }",
              "= /notmodified { return 304; }",
              "= /via { add_header Set-Cookie \"session=abc; Path=/\"; return 200 \"[$http_via][$http_cookie]\"; }"})
            m_http.addServerDirective("location " + location);
        QString error;
        QVERIFY2(m_http.start(&error), qPrintable(error));
        QVERIFY2(startTls(&m_https, m_root, m_work.filePath("certs"), true, &error), qPrintable(error));
        m_https.addServerDirective(QStringLiteral("location = /downgrade { return 301 http://127.0.0.1:%1/small.xml; }")
                                       .arg(m_http.port()));
        m_https.addServerDirective("location = /moved { return 301 https://127.0.0.1:$server_port/small.xml; }");
        QVERIFY2(m_https.start(&error), qPrintable(error));
        // A certificate from a CA nobody trusts: no fallback to an unchecked connection.
        QVERIFY2(startTls(&m_stranger, m_root, m_work.filePath("stranger"), false, &error), qPrintable(error));
        QVERIFY2(m_stranger.start(&error), qPrintable(error));
        m_upgrade.setRoot(m_root);
        m_upgrade.addServerDirective(
            QStringLiteral("location = /upgrade { return 301 https://127.0.0.1:%1/small.xml; }").arg(m_https.port()));
        QVERIFY2(m_upgrade.start(&error), qPrintable(error));
        if (FtpServer::isAvailable()) {
            m_ftp.setRoot(m_root);
            QVERIFY2(m_ftp.start(&error), qPrintable(error));
        }
    }

    void cleanup()
    {
        QDir(m_work.filePath("out")).removeRecursively();
        QVERIFY(QDir().mkpath(m_work.filePath("out")));
        Settings::instance()->setRuntimeValue("General", "transfer_stall_timeout", 60);
    }

    void fromServers_data()
    {
        QTest::addColumn<QString>("server");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("expectedFile"); // under the web root; empty: must fail
        QTest::addColumn<QString>("call");         // fetch, load, replace (over a read-only copy)
        QTest::addColumn<QByteArray>("existing");  // destination before; empty: none
        const QString fetch = "fetch";
        const QByteArray none;
        QTest::newRow("GET") << "http" << "/small.xml" << "/small.xml" << fetch << none;
        QTest::newRow("GET of an empty file") << "http" << "/empty.txt" << "/empty.txt" << fetch << none;
        QTest::newRow("GET with a Cyrillic path") << "http" << "/sub/папка/file.bin" << "/sub/папка/file.bin" << fetch
                                                  << none;
        QTest::newRow("gzip-encoded document stored unpacked") << "http" << "/gz/doc.xml" << "/gz/doc.xml" << fetch
                                                               << none;
        QTest::newRow("large file streamed to disk") << "http" << "/large.bin" << "/large.bin" << fetch << none;
        QTest::newRow("scheme in capitals") << "HTTP" << "/small.xml" << "/small.xml" << fetch << none;
        QTest::newRow("download overwrites a longer file") << "http" << "/small.xml" << "/small.xml" << fetch
                                                           << QByteArray(5000, 'o');
        QTest::newRow("404 not found") << "http" << "/missing.xml" << "" << fetch << none;
        QTest::newRow("500 onto an existing file") << "http" << "/error500" << "" << "load" << kSmall;
        QTest::newRow("404 onto an existing file") << "http" << "/missing.xml" << "" << "load" << kSmall;
        QTest::newRow("connection refused") << "refused" << "/x" << "" << "load" << none;
        QTest::newRow("301 http to http followed") << "http" << "/moved" << "/small.xml" << fetch << none;
        QTest::newRow("302 http to http followed") << "http" << "/found" << "/small.xml" << fetch << none;
        QTest::newRow("307 relative redirect followed") << "http" << "/relative" << "/small.xml" << fetch << none;
        QTest::newRow("redirect loop fails") << "http" << "/loop" << "" << fetch << none;
        QTest::newRow("300 with a body is not the file") << "http" << "/choices" << "" << fetch << none;
        QTest::newRow("304 is not the file") << "http" << "/notmodified" << "" << fetch << none;
        QTest::newRow("HTTPS GET") << "https" << "/small.xml" << "/small.xml" << fetch << none;
        QTest::newRow("HTTPS 404") << "https" << "/missing.xml" << "" << fetch << none;
        QTest::newRow("HTTPS replaces a read-only copy") << "https" << "/small.xml" << "/small.xml" << "replace"
                                                         << QByteArray("old");
        QTest::newRow("untrusted certificate refused") << "stranger" << "/small.xml" << "" << fetch << none;
        QTest::newRow("301 https to https followed") << "https" << "/moved" << "/small.xml" << fetch << none;
        QTest::newRow("301 https to http refused") << "https" << "/downgrade" << "" << fetch << none;
        QTest::newRow("301 http to https followed") << "upgrade" << "/upgrade" << "/small.xml" << fetch << none;
        QTest::newRow("FTP document") << "ftp" << "/small.xml" << "/small.xml" << fetch << none;
        QTest::newRow("FTP binary in a Cyrillic folder") << "ftp" << "/sub/папка/file.bin" << "/sub/папка/file.bin"
                                                         << fetch << none;
        QTest::newRow("FTP missing file") << "ftp" << "/missing.xml" << "" << fetch << none;
    }

    void fromServers()
    {
        QFETCH(QString, server);
        QFETCH(QString, path);
        QFETCH(QString, expectedFile);
        QFETCH(QString, call);
        QFETCH(QByteArray, existing);
        if (server == "ftp" && !FtpServer::isAvailable())
            QFAIL("pyftpdlib is not installed for /usr/bin/python3 (scripts/packages.txt lists python3-pyftpdlib)");
        const QMap<QString, QString> bases{
            {"http", m_http.baseUrl()}, {"HTTP", "HTTP" + m_http.baseUrl().mid(4)}, {"https", m_https.baseUrl()},
            {"stranger", m_stranger.baseUrl()}, {"upgrade", m_upgrade.baseUrl()}, {"ftp", m_ftp.baseUrl()},
            {"refused", QStringLiteral("http://127.0.0.1:%1").arg(freeTcpPort())}};
        const QString source = bases.value(server) + path, destination = out("doc.xml");
        QVERIFY(existing.isEmpty() || writeFile(destination, existing));
        QVERIFY(call != "replace" || QFile::setPermissions(destination, QFileDevice::ReadOwner));
        QString error;
        const bool ok = call == "load"      ? loadUrl(QUrl(source), destination, &error)
                        : call == "replace" ? replaceFile(source, destination, &error)
                                            : fetchFile(source, destination, &error);
        if (expectedFile.isEmpty()) {
            QVERIFY(!ok && !error.isEmpty());
            QVERIFY2(!QFile::exists(destination), "a failed download left a file behind");
            QVERIFY(!fetchFile(source, destination) && !QFile::exists(destination)); // without an error pointer
        } else {
            QVERIFY2(ok, qPrintable(error));
            QCOMPARE(QFileInfo(destination).size(), QFileInfo(m_root + expectedFile).size());
            QCOMPARE(calcHash(destination), calcHash(m_root + expectedFile));
        }
    }

    void scriptedAnswers_data()
    {
        QTest::addColumn<int>("behaviour");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<bool>("close");          // the server closes after each answer
        QTest::addColumn<QByteArray>("expected"); // stored file of every round; empty: each must fail
        QTest::addColumn<int>("rounds");          // downloads one after another
        QTest::addColumn<int>("connections");     // distinct connections of the requests; -1: not checked
        QTest::addColumn<qint64>("limit");        // maxBytes of the download
        QTest::addColumn<int>("stall");           // transfer_stall_timeout in seconds
        QTest::addColumn<int>("minMs");           // the least time all rounds may take
        QTest::addColumn<QByteArray>("lastRange"); // of the last request, the first has none; null: not checked
        auto row = [](const char *name, Behaviour behaviour, const QByteArray &answer, bool close,
                      const QByteArray &expected, int rounds = 1, int connections = -1, qint64 limit = -1,
                      int stall = 60, int minMs = 0, const QByteArray &lastRange = QByteArray()) {
            QTest::newRow(name) << int(behaviour) << answer << close << expected << rounds << connections << limit
                                << stall << minMs << lastRange;
        };
        const QByteArray body = patternBytes(9000, 21);
        const QByteArray ok = "HTTP/1.1 200 OK\r\nContent-Length: 9000\r\n\r\n";
        const QByteArray chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nfa0\r\n" + body.left(4000)
                                   + "\r\n1388\r\n" + body.mid(4000) + "\r\n0\r\n\r\n";
        const QByteArray deflated = qCompress(body).mid(4);
        row("chunked, kept open", Behaviour::Raw, chunked, false, body, 2);
        row("interim answer first", Behaviour::Raw, "HTTP/1.1 100 Continue\r\n\r\n" + ok + body, false, body, 2);
        row("old server, body to the close", Behaviour::Raw, "HTTP/1.0 200 OK\r\n\r\n" + body, true, body);
        row("deflate-coded body unpacked", Behaviour::Raw,
            "HTTP/1.1 200 OK\r\nContent-Encoding: deflate\r\nContent-Length: " + QByteArray::number(deflated.size())
                + "\r\n\r\n" + deflated,
            false, body, 2);
        row("503 fails", Behaviour::Raw, "HTTP/1.1 503 Busy\r\nContent-Length: 4\r\n\r\nbusy", false, "", 2);
        row("garbage instead of an answer", Behaviour::Raw, "220 ftp ready\r\n\r\n", true, "");
        // Bytes left over after an answer on a kept connection are not the
        // start of the next one: the second file succeeds too.
        row("stray CRLF after a chunked body, kept open", Behaviour::Raw, chunked + "\r\n", false, body, 2);
        row("body longer than its Content-Length, kept open", Behaviour::Raw, ok + body + "XXXX", false, body, 2);
        // Without a declared length only the caller's limit bounds the body.
        row("chunked body past the limit fails", Behaviour::Raw, chunked, false, "", 2, -1, 8999);
        row("chunked body at the limit", Behaviour::Raw, chunked, false, body, 2, -1, 9000);
        row("files one after another share one connection", Behaviour::Raw, ok + body, false, body, 20, 1);
        // Kept-alive by its head, closed anyway: the next request goes on a new one.
        row("server closes an idle kept connection", Behaviour::Raw, ok + body, true, body, 5, 5);
        const QByteArray big = ScriptedHttpServer::answer(200, patternBytes(200000, 9));
        const int head = big.indexOf("\r\n\r\n") + 4;
        row("accepts and never answers: stalls, sent once", Behaviour::Raw, "", false, "", 1, 1, -1, 2, 1900);
        row("stops after the headers: stalls, sent once", Behaviour::Raw, big.left(head + 10000), false, "", 1, 1, -1,
            2, 1900);
        row("slow server that keeps sending succeeds", Behaviour::Trickle,
            ScriptedHttpServer::answer(200, "0123456789ABCDEF"), true, "0123456789ABCDEF", 1, 1, -1, 2, 3000);
        row("cut once, resumed with Range", Behaviour::CutOnce, big.mid(head), true, big.mid(head), 1, -1, -1, 60, 0,
            "bytes=80000-");
        row("cut once, server ignores Range: read again", Behaviour::CutOnceThenWhole, big.mid(head), true,
            big.mid(head), 1, -1, -1, 60, 0, "bytes=80000-");
        row("always cut short fails", Behaviour::Raw, big.left(head + 20000), true, "", 1, -1, -1, 60, 0,
            "bytes=20000-");
    }

    void scriptedAnswers()
    {
        QFETCH(int, behaviour);
        QFETCH(QByteArray, answer);
        QFETCH(bool, close);
        QFETCH(QByteArray, expected);
        QFETCH(int, rounds);
        QFETCH(int, connections);
        QFETCH(qint64, limit);
        QFETCH(int, stall);
        QFETCH(int, minMs);
        QFETCH(QByteArray, lastRange);
        Settings::instance()->setRuntimeValue("General", "transfer_stall_timeout", stall);
        ScriptedHttpServer server(Behaviour(behaviour), answer, close);
        QVERIFY(server.start());
        QElapsedTimer timer;
        timer.start();
        for (int round = 0; round < rounds; ++round) {
            const QString destination = out(QStringLiteral("answer%1.bin").arg(round));
            QString error;
            const bool ok = fetchFile(server.baseUrl() + "/answer.bin", destination, &error, "GET", limit);
            QCOMPARE(ok, !expected.isEmpty());
            QVERIFY2(ok ? readFile(destination) == expected : !error.isEmpty() && !QFile::exists(destination),
                     qPrintable(error));
        }
        QVERIFY2(timer.elapsed() >= minMs && timer.elapsed() < 30000, qPrintable(QString::number(timer.elapsed())));
        const QList<ScriptedHttpServer::Request> requests = server.requests();
        QSet<int> seen;
        for (const ScriptedHttpServer::Request &request : requests)
            seen.insert(request.connection);
        if (connections >= 0) {
            QCOMPARE(requests.size(), rounds);
            QCOMPARE(seen.size(), connections);
        }
        if (!lastRange.isNull()) {
            QVERIFY(requests.size() >= 2 && requests.size() <= 10); // bounded retries
            QVERIFY(requests.first().header("Range").isEmpty());
            QCOMPARE(requests.last().header("Range"), lastRange);
        }
    }

    void postBody_data()
    {
        QTest::addColumn<QString>("method");
        QTest::addColumn<QByteArray>("sent");
        QTest::newRow("POST") << "POST" << QByteArray("POST");
        QTest::newRow("post in lower case") << "post" << QByteArray("POST");
        QTest::newRow("PoSt in mixed case") << "PoSt" << QByteArray("POST");
        QTest::newRow("GET") << "GET" << QByteArray("GET");
        QTest::newRow("empty method is GET") << "" << QByteArray("GET");
        QTest::newRow("unknown method is GET") << "PUT" << QByteArray("GET");
        QTest::newRow("POST with blanks is GET") << " POST" << QByteArray("GET");
    }

    void postBody()
    {
        QFETCH(QString, method);
        QFETCH(QByteArray, sent);
        Settings::instance()->setRuntimeValue("projects", "projects_count", 1);
        Settings::instance()->setRuntimeValue("projects", "key1", "11111111-2222-3333-4444-555555555555");
        ScriptedHttpServer server(Behaviour::Raw, ScriptedHttpServer::answer(200, "<projects/>"));
        QVERIFY(server.start());
        QString error;
        QVERIFY2(fetchFile(server.baseUrl() + "/bin/main.xml", out("main.xml"), &error, method), qPrintable(error));
        QCOMPARE(readFile(out("main.xml")), QByteArray("<projects/>"));
        const QList<ScriptedHttpServer::Request> requests = server.requests();
        QCOMPARE(requests.size(), 1);
        QCOMPARE(requests.first().target, QByteArray("/bin/main.xml"));
        QCOMPARE(requests.first().method, sent);
        const bool post = sent == "POST";
        QCOMPARE(requests.first().header("Content-Type"), post ? QByteArray("application/json") : QByteArray());
        QCOMPARE(requests.first().body, post ? projectIdsBody(Settings::instance()->projects()) : QByteArray());
    }

    void applicationProxyAndNoCookies()
    {
        QVERIFY2(TinyProxyServer::isAvailable(), "tinyproxy is not installed");
        // Qt sends loopback addresses past any proxy, and update servers are
        // never loopback: the request names a host only the proxy chain can
        // reach (tinyproxy hands everything to nginx as its upstream proxy).
        TinyProxyServer proxy;
        proxy.setUpstream(m_http.port());
        QString error;
        QVERIFY2(proxy.start(&error), qPrintable(error));
        const QString direct = m_http.baseUrl() + "/via", named = "http://kestra-updates.test/via";
        const QByteArray via = TinyProxyServer::viaName().toUtf8();
        // This thread's manager holds a kept-alive direct connection already;
        // the proxy set afterwards must still apply. The thread's manager is
        // reused for its connections only: the cookie nginx sets is never sent.
        QVERIFY2(replaceFile(direct, out("via.txt"), &error), qPrintable(error));
        QCOMPARE(readFile(out("via.txt")), QByteArray("[][]"));
        const QNetworkProxy previous = QNetworkProxy::applicationProxy();
        QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::HttpProxy, "127.0.0.1", proxy.port()));
        auto restore = qScopeGuard([&]() { QNetworkProxy::setApplicationProxy(previous); });
        // Guard: never let a named host go out directly from a test.
        QCOMPARE(QNetworkProxyFactory::proxyForQuery(QNetworkProxyQuery(QUrl(named))).value(0).type(),
                 QNetworkProxy::HttpProxy);
        QVERIFY2(replaceFile(named, out("via.txt"), &error), qPrintable(error));
        QVERIFY2(readFile(out("via.txt")).contains(via) && readFile(out("via.txt")).endsWith("[]"),
                 readFile(out("via.txt")).constData());
        QVERIFY2(proxy.log().contains("kestra-updates.test"), proxy.log().constData());
        // And on a thread whose manager is created while the proxy is in force.
        FetchThread worker(named, out("via-thread.txt"));
        worker.start();
        QVERIFY(worker.wait(60000));
        QVERIFY2(worker.ok, qPrintable(worker.error));
        QVERIFY(readFile(out("via-thread.txt")).contains(via));
        // With the proxy removed the same manager goes direct again.
        restore.dismiss();
        QNetworkProxy::setApplicationProxy(previous);
        QVERIFY2(replaceFile(direct, out("via.txt"), &error), qPrintable(error));
        QCOMPARE(readFile(out("via.txt")), QByteArray("[][]"));
    }

    void downloadsOnWorkerThreads()
    {
        // Each thread has its own manager and destroys it in its own thread
        // while the others still run.
        std::vector<std::unique_ptr<FetchThread>> threads;
        for (int i = 0; i < 4; ++i)
            threads.emplace_back(new FetchThread((i % 2 ? m_https.baseUrl() : m_http.baseUrl()) + "/sub/папка/file.bin",
                                                 out(QStringLiteral("thread%1.bin").arg(i))));
        for (auto &thread : threads)
            thread->start();
        for (int i = 0; i < 4; ++i) {
            QVERIFY(threads[i]->wait(60000));
            QVERIFY2(threads[i]->ok, qPrintable(threads[i]->error));
            QCOMPARE(readFile(out(QStringLiteral("thread%1.bin").arg(i))), readFile(m_root + "/sub/папка/file.bin"));
        }
    }

    void nestedDownloadsOnOneThread()
    {
        // A download started from inside another one's wait (a second click on
        // a dialog's OK while the first still loads): each gets its whole file.
        ScriptedHttpServer slow(Behaviour::Trickle, ScriptedHttpServer::answer(200, "0123456789"));
        slow.setTrickle(2, 200);
        QVERIFY(slow.start());
        bool innerOk = false;
        QString innerError, error;
        QTimer::singleShot(300, [&]() {
            innerOk = fetchFile(m_http.baseUrl() + "/sub/папка/file.bin", out("inner.bin"), &innerError);
        });
        QVERIFY2(fetchFile(slow.baseUrl() + "/outer", out("outer.bin"), &error), qPrintable(error));
        QCOMPARE(readFile(out("outer.bin")), QByteArray("0123456789"));
        QVERIFY2(innerOk, qPrintable(innerError));
        QCOMPARE(readFile(out("inner.bin")), readFile(m_root + "/sub/папка/file.bin"));
    }

    void interruptionAbortsTransfer()
    {
        // A cancelled install asks its thread to stop; the download in progress
        // ends within about a second, not when the file has arrived.
        ScriptedHttpServer server(Behaviour::Trickle, ScriptedHttpServer::answer(200, QByteArray(100, 'x')));
        server.setTrickle(1, 200); // 20 s for the whole body
        QVERIFY(server.start());
        FetchThread worker(server.baseUrl() + "/big", out("cancelled.bin"));
        worker.start();
        QTest::qWait(600);
        QElapsedTimer timer;
        timer.start();
        worker.requestInterruption();
        QVERIFY(worker.wait(10000));
        QVERIFY2(timer.elapsed() < 3000, qPrintable(QString::number(timer.elapsed())));
        QVERIFY(!worker.ok);
        QVERIFY2(worker.error.contains("interrupted"), qPrintable(worker.error));
        QVERIFY(!QFile::exists(out("cancelled.bin")));
    }

private:
    QString out(const QString &name) const { return m_work.filePath("out/" + name); }

    QTemporaryDir m_work;
    QString m_root;
    NginxServer m_http, m_https, m_stranger;
    NginxServer m_upgrade; // plain http redirecting to m_https
    FtpServer m_ftp;
};

QTEST_GUILESS_MAIN(TestTransfer)
#include "tst_transfer.moc"
