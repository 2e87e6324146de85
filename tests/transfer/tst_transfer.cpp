// Downloads against real servers on 127.0.0.1: nginx over HTTP and HTTPS (a CA made and trusted here), pyftpdlib,
// tinyproxy as the application proxy, and a scripted server that misbehaves on purpose and records requests.

#include "nginxserver.h"
#include "scriptedhttpserver.h"
#include "settings.h"
#include "testfiles.h"
#include "transfer.h"

#include <QNetworkProxy>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QtTest> // and with it all of Qt Core

namespace {

const QByteArray kSmall = "<project>small document</project>\n";

// A download from one of the servers started here, compared with the web root.
struct Served
{
    QString server, path;
    QString expectedFile;         // under the web root; empty: must fail
    QString call = "fetch";       // fetch, replace (over a read-only copy)
    QByteArray existing = {};     // destination before; empty: none
};

// Downloads from a scripted server and what its requests must show.
struct Scripted
{
    QList<QByteArray> answers;
    bool close;           // the server closes after each answer
    QByteArray expected;  // stored file of every round; empty: each must fail
    int rounds = 1;       // downloads one after another
    int connections = -1; // distinct connections, one request a round; -1: not checked
    qint64 limit = -1;    // maxBytes of the download
    int stall = 60;       // transfer_stall_timeout in seconds
    int minMs = 0;        // the least time all rounds may take
    QByteArray lastRange = {}; // of the last request, the first has none; null: not checked
    int pieceSize = 0;    // the body trickled pieceSize bytes every 500 ms
};

// Anonymous, read-only (no -w) FTP on 127.0.0.1 serving one folder: Debian's
// pyftpdlib; passive data connections stay on the control connection's address.
class FtpServer : public ServerProcess
{
public:
    bool start(const QString &root, QString *error)
    {
        return startServer("/usr/bin/python3", [root](quint16 port, QStringList *arguments, QString *) {
            *arguments = QStringList{"-m", "pyftpdlib", "-i", "127.0.0.1", "-p", QString::number(port), "-d", root};
            return true;
        }, error);
    }
    QString baseUrl() const { return QStringLiteral("ftp://127.0.0.1:%1").arg(port()); }
    static bool isAvailable() { return runProcess("/usr/bin/python3", {"-c", "import pyftpdlib"}, 10000).ok(); }
};

// tinyproxy in the foreground (-d: its pid is ours). It hands every request to nginx on upstream as its own upstream
// proxy: nginx accepts the absolute request URIs a proxy sends, so it stands in for any named host.
class TinyProxyServer : public ServerProcess
{
public:
    bool start(quint16 upstream, QString *error)
    {
        return startServer(binary(), [this, upstream](quint16 port, QStringList *arguments, QString *error) {
            const QString path = writeConfig("tinyproxy.conf",
                QStringLiteral("Port %1\nListen 127.0.0.1\nTimeout 30\nLogLevel Info\nMaxClients 20\nAllow 127.0.0.1\n"
                               "Upstream http 127.0.0.1:%2\n").arg(port).arg(upstream),
                error);
            *arguments = QStringList{"-d", "-c", path};
            return !path.isEmpty();
        }, error);
    }
    static QString binary() { return findExecutable({"/usr/bin/tinyproxy", "/usr/sbin/tinyproxy", "tinyproxy"}); }
};

// A throw-away self-signed certificate for 127.0.0.1, trusted (as its own authority, for this process only) if asked.
bool startTls(NginxServer *server, const QString &root, const QString &certs, bool trusted, QString *error)
{
    if (!QDir().mkpath(certs)
        || !runTool("openssl", {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "server.key", "-out",
                                "server.pem", "-days", "2", "-subj", "/CN=127.0.0.1",
                                "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost"}, error, 60000, certs))
        return false;
    if (trusted) {
        QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
        ssl.setCaCertificates(ssl.caCertificates() + QSslCertificate::fromPath(certs + "/server.pem"));
        QSslConfiguration::setDefaultConfiguration(ssl);
    }
    server->setRoot(root);
    server->setTls(certs + "/server.pem", certs + "/server.key");
    return server->start(error);
}

} // namespace

Q_DECLARE_METATYPE(Served)
Q_DECLARE_METATYPE(Scripted)

class TestTransfer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(NginxServer::isAvailable(), "nginx is not installed (scripts/packages.txt lists nginx-light)");
        QVERIFY2(!TinyProxyServer::binary().isEmpty(), "tinyproxy is not installed");
        QVERIFY(QDir().mkpath(m_work.filePath("out")));
        m_root = m_work.filePath(QStringLiteral("www"));
        QVERIFY(writeFile(m_root + "/small.xml", kSmall));
        QVERIFY(writeFile(m_root + "/sub/папка/file.bin", patternBytes(70000, 3)));
        // 96 MiB and a tail that is not a multiple of any buffer.
        QVERIFY(writeFile(m_root + "/large.bin", patternBytes(96 * 1024 * 1024 + 12345, 11)));
        // nginx sends the precompressed copy with Content-Encoding: gzip; the stored file must be the plain document.
        const QByteArray document = "<project>" + QByteArray("<module name=\"m\"/>").repeated(2000) + "</project>\n";
        QVERIFY(writeFile(m_root + "/gz/doc.xml", document));
        QCOMPARE(QProcess::execute("gzip", {"-k", "-9", m_root + "/gz/doc.xml"}), 0);

        m_http.setRoot(m_root);
        // This thread's downloads share its manager for the connections only: a cookie nginx sets is never sent back.
        m_http.addServerDirective("add_header Set-Cookie \"session=abc; Path=/\";");
        m_http.addServerDirective("if ($http_cookie) { return 403; }");
        for (const QString &location : QStringList
             {"/gz/ { gzip_static on; }", "= /error500 { return 500; }", "= /relative { return 307 /small.xml; }",
              "= /loop { return 302 http://127.0.0.1:$server_port/loop; }"})
            m_http.addServerDirective("location " + location);
        QString error;
        QVERIFY2(m_http.start(&error), qPrintable(error));
        m_https.addServerDirective(QStringLiteral("location = /downgrade { return 301 http://127.0.0.1:%1/small.xml; }")
                                       .arg(m_http.port()));
        QVERIFY2(startTls(&m_https, m_root, m_work.filePath("certs"), true, &error), qPrintable(error));
        // A certificate from a CA nobody trusts: no fallback to an unchecked connection.
        QVERIFY2(startTls(&m_stranger, m_root, m_work.filePath("stranger"), false, &error), qPrintable(error));
        QVERIFY2(FtpServer::isAvailable(), "pyftpdlib is not installed (scripts/packages.txt lists python3-pyftpdlib)");
        QVERIFY2(m_ftp.start(m_root, &error), qPrintable(error));
        QVERIFY2(m_proxy.start(m_http.port(), &error), qPrintable(error));
    }

    void cleanup()
    {
        QDir(m_work.filePath("out")).removeRecursively();
        QVERIFY(QDir().mkpath(m_work.filePath("out")));
        Settings::instance()->setRuntimeValue("General", "transfer_stall_timeout", 60);
        QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::NoProxy));
    }

    void fromServers_data()
    {
        QTest::addColumn<Served>("row");
        QTest::newRow("gzip-encoded document stored unpacked") << Served{"http", "/gz/doc.xml", "/gz/doc.xml"};
        QTest::newRow("large file streamed to disk") << Served{"http", "/large.bin", "/large.bin"};
        QTest::newRow("scheme in capitals") << Served{"HTTP", "/small.xml", "/small.xml"};
        QTest::newRow("download overwrites a longer file")
            << Served{"http", "/small.xml", "/small.xml", "fetch", QByteArray(5000, 'o')};
        QTest::newRow("500 onto an existing file") << Served{"http", "/error500", "", "fetch", kSmall};
        // The rows before left kept-alive direct connections in this thread's manager: the proxy set now must apply.
        QTest::newRow("named host through the application proxy") << Served{"proxy", "/small.xml", "/small.xml"};
        QTest::newRow("307 relative redirect followed") << Served{"http", "/relative", "/small.xml"};
        QTest::newRow("redirect loop fails") << Served{"http", "/loop", ""};
        QTest::newRow("HTTPS replaces a read-only copy")
            << Served{"https", "/small.xml", "/small.xml", "replace", "old"};
        QTest::newRow("untrusted certificate refused") << Served{"stranger", "/small.xml", ""};
        QTest::newRow("301 https to http refused") << Served{"https", "/downgrade", ""};
        QTest::newRow("FTP binary in a Cyrillic folder") << Served{"ftp", "/sub/папка/file.bin", "/sub/папка/file.bin"};
    }

    void fromServers()
    {
        QFETCH(Served, row);
        const QMap<QString, QString> bases{
            {"http", m_http.baseUrl()}, {"HTTP", "HTTP" + m_http.baseUrl().mid(4)}, {"https", m_https.baseUrl()},
            {"stranger", m_stranger.baseUrl()}, {"ftp", m_ftp.baseUrl()}, {"proxy", "http://kestra-updates.test"}};
        const QString source = bases.value(row.server) + row.path, destination = out("doc.xml");
        // Qt sends loopback past any proxy (update servers never are): the row names a host only the proxy reaches.
        if (row.server == "proxy")
            QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::HttpProxy, "127.0.0.1", m_proxy.port()));
        QVERIFY(row.existing.isEmpty() || writeFile(destination, row.existing));
        QVERIFY(row.call != "replace" || QFile::setPermissions(destination, QFileDevice::ReadOwner));
        QString error;
        const bool ok = row.call == "replace" ? replaceFile(source, destination, &error)
                                              : fetchFile(source, destination, &error);
        QVERIFY2(ok == !row.expectedFile.isEmpty(), qPrintable(error));
        QVERIFY(ok || !error.isEmpty());
        // Nothing staged or torn beside it, and a failed download leaves no file at all.
        QCOMPARE(QDir(out("")).entryList(QDir::Files | QDir::Hidden), ok ? QStringList{"doc.xml"} : QStringList());
        if (ok)
            QCOMPARE(readFile(destination), readFile(m_root + row.expectedFile));
        else
            QVERIFY(!fetchFile(source, destination) && !QFile::exists(destination)); // without an error pointer
    }

    void scriptedAnswers_data()
    {
        QTest::addColumn<Scripted>("row");
        const QByteArray body = patternBytes(9000, 21);
        const QByteArray ok = "HTTP/1.1 200 OK\r\nContent-Length: 9000\r\n\r\n";
        const QByteArray chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nfa0\r\n" + body.left(4000)
                                   + "\r\n1388\r\n" + body.mid(4000) + "\r\n0\r\n\r\n";
        QTest::newRow("garbage instead of an answer") << Scripted{{"220 ftp ready\r\n\r\n"}, true, ""};
        // Without a declared length only the caller's limit bounds the body.
        QTest::newRow("chunked body past the limit fails") << Scripted{{chunked}, false, "", 2, -1, 8999};
        QTest::newRow("files one after another share one connection") << Scripted{{ok + body}, false, body, 20, 1};
        const QByteArray whole = patternBytes(200000, 9), big = ScriptedHttpServer::answer(200, whole);
        const int head = big.size() - whole.size();
        // Qt's stall timer is a coarse one, which may fire up to 5 % early.
        QTest::newRow("accepts and never answers: stalls, sent once") << Scripted{{""}, false, "", 1, 1, -1, 2, 1800};
        const QByteArray slow = "0123456789ABCDEF"; // 8 pieces at 0.5 s: twice the stall limit
        QTest::newRow("slow server that keeps sending succeeds")
            << Scripted{{ScriptedHttpServer::answer(200, slow)}, true, slow, 1, 1, -1, 2, 3000, QByteArray(), 2};
        const QByteArray rest = "HTTP/1.1 206 Partial\r\nContent-Length: 120000\r\n"
                                "Content-Range: bytes 80000-199999/200000"
                                "\r\nConnection: close\r\n\r\n" + whole.mid(80000);
        QTest::newRow("cut once, resumed with Range")
            << Scripted{{big.left(head + 80000), rest}, true, whole, 1, -1, -1, 60, 0, "bytes=80000-"};
        QTest::newRow("cut once, server ignores Range: read again")
            << Scripted{{big.left(head + 80000), big}, true, whole, 1, -1, -1, 60, 0, "bytes=80000-"};
        QTest::newRow("always cut short fails")
            << Scripted{{big.left(head + 20000)}, true, "", 1, -1, -1, 60, 0, "bytes=20000-"};
    }

    void scriptedAnswers()
    {
        QFETCH(Scripted, row);
        Settings::instance()->setRuntimeValue("General", "transfer_stall_timeout", row.stall);
        ScriptedHttpServer server(row.answers, row.close, row.pieceSize, 500);
        QVERIFY(server.start());
        // A download started inside a trickled one's wait (a second click on
        // a dialog's OK while the first still loads) gets its whole file too.
        QObject scope; // ends the timer with this row
        bool nestedOk = row.pieceSize == 0;
        if (row.pieceSize > 0)
            QTimer::singleShot(300, &scope, [&]() {
                nestedOk = fetchFile(m_http.baseUrl() + "/sub/папка/file.bin", out("nested.bin"))
                           && readFile(out("nested.bin")) == readFile(m_root + "/sub/папка/file.bin");
            });
        QElapsedTimer timer;
        timer.start();
        for (int round = 0; round < row.rounds; ++round) {
            const QString destination = out(QStringLiteral("answer%1.bin").arg(round));
            QString error;
            const bool ok = fetchFile(server.baseUrl() + "/bin/main.xml", destination, &error,
                                      Settings::instance()->transferOptions("GET", row.limit));
            QCOMPARE(ok, !row.expected.isEmpty());
            QVERIFY2(ok ? readFile(destination) == row.expected : !error.isEmpty() && !QFile::exists(destination),
                     qPrintable(error));
        }
        QVERIFY2(timer.elapsed() >= row.minMs && timer.elapsed() < 30000, qPrintable(QString::number(timer.elapsed())));
        QVERIFY(nestedOk);
        const QList<ScriptedHttpServer::Request> requests = server.requests();
        QSet<int> seen;
        for (const ScriptedHttpServer::Request &request : requests) {
            seen.insert(request.connection);
            QCOMPARE(request.method + ' ' + request.target + request.body, QByteArray("GET /bin/main.xml"));
        }
        QVERIFY(row.connections < 0 || (requests.size() == row.rounds && seen.size() == row.connections));
        if (!row.lastRange.isNull()) {
            QVERIFY(requests.size() >= 2 && requests.size() <= 10); // bounded retries
            QVERIFY(requests.first().headers.value("range").isEmpty());
            QCOMPARE(requests.last().headers.value("range"), row.lastRange);
        }
    }

private:
    QString out(const QString &name) const { return m_work.filePath("out/" + name); }

    QTemporaryDir m_work;
    QString m_root;
    NginxServer m_http, m_https, m_stranger;
    FtpServer m_ftp;
    TinyProxyServer m_proxy;
};

QTEST_GUILESS_MAIN(TestTransfer)
#include "tst_transfer.moc"
