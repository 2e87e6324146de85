// Downloads through loadUrl/fetchFile/replaceFile against real servers on
// 127.0.0.1: nginx over HTTP and HTTPS (with a CA made and trusted here),
// pyftpdlib, tinyproxy as the application proxy, and a scripted server that
// records POST bodies or stops answering on purpose.

#include "filehold.h"
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
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkProxy>
#include <QProcess>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

namespace {

const QByteArray kSmall = "<project>small document</project>\n";
const qint64 kLargeSize = 96 * 1024 * 1024 + 12345; // not a multiple of any buffer
const int kLargeChunk = 1024 * 1024;

// Writes the large file piece by piece so the test never holds it twice.
bool writeLargeFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    for (qint64 done = 0, i = 0; done < kLargeSize; ++i) {
        const QByteArray piece = patternBytes(qMin<qint64>(kLargeChunk, kLargeSize - done), quint32(i + 11));
        if (file.write(piece) != piece.size())
            return false;
        done += piece.size();
    }
    return true;
}

bool filesEqual(const QString &a, const QString &b, QString *why)
{
    QFile fa(a), fb(b);
    if (!fa.open(QIODevice::ReadOnly) || !fb.open(QIODevice::ReadOnly)) {
        *why = QStringLiteral("can't open");
        return false;
    }
    if (fa.size() != fb.size()) {
        *why = QStringLiteral("sizes %1 and %2").arg(fa.size()).arg(fb.size());
        return false;
    }
    for (qint64 offset = 0;; offset += kLargeChunk) {
        const QByteArray x = fa.read(kLargeChunk);
        const QByteArray y = fb.read(kLargeChunk);
        if (x != y) {
            *why = QStringLiteral("differ in the block at %1").arg(offset);
            return false;
        }
        if (x.isEmpty())
            return true;
    }
}

// Runs fetchFile on a thread of its own (as the install thread does).
class FetchThread : public QThread
{
public:
    FetchThread(const QString &source, const QString &destination) : m_source(source), m_destination(destination) {}
    bool ok = false;
    QString error;

protected:
    void run() override
    {
        // Two downloads on one thread: the second reuses the thread's manager.
        ok = fetchFile(m_source, m_destination, &error) && replaceFile(m_source, m_destination, &error);
    }

private:
    QString m_source;
    QString m_destination;
};

} // namespace

class TestTransfer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void cleanup();

    void download_data();
    void download();
    void untrustedCertificateRefused();
    void largeFileStreamsToDisk();
    void schemeInCapitalsIsDownloaded();
    void urlSourceOverwritesExistingDestination();
    void replaceFileFromServer();
    void failureLeavesNoFile_data();
    void failureLeavesNoFile();
    void cutTransfers_data();
    void cutTransfers();
    void connectionKeptAlive();
    void nestedDownloadsOnOneThread();
    void interruptionAbortsTransfer();
    void plainAnswers_data();
    void plainAnswers();
    void idleConnectionClosedByServer();
    void unopenableDestination_data();
    void unopenableDestination();
    void postBody_data();
    void postBody();
    void ftp_data();
    void ftp();
    void applicationProxy();
    void stalledServerFails_data();
    void stalledServerFails();
    void slowServerThatKeepsSendingSucceeds();
    void downloadsOnWorkerThreads();
    void noCookiesCarriedBetweenDownloads();

private:
    QString url(const QString &base, const QString &path) const { return base + path; }
    QString out(const QString &name) const { return m_work.filePath(QStringLiteral("out/") + name); }

    QTemporaryDir m_work;
    QString m_root;
    NginxServer m_http;
    NginxServer m_https;
    NginxServer m_upgrade; // plain http redirecting to m_https
    FtpServer m_ftp;
    bool m_ftpAvailable = false;
};

void TestTransfer::initTestCase()
{
    QVERIFY(m_work.isValid());
    if (!NginxServer::isAvailable())
        QFAIL("nginx is not installed (scripts/packages.txt lists nginx-light)");
    QVERIFY(QDir().mkpath(m_work.filePath(QStringLiteral("out"))));
    m_root = m_work.filePath(QStringLiteral("www"));
    QVERIFY(writeFile(m_root + QStringLiteral("/small.xml"), kSmall));
    QVERIFY(writeFile(m_root + QStringLiteral("/sub/папка/file.bin"), patternBytes(70000, 3)));
    QVERIFY(writeFile(m_root + QStringLiteral("/empty.txt"), QByteArray()));
    QVERIFY(writeLargeFile(m_root + QStringLiteral("/large.bin")));
    // A precompressed copy that nginx sends with Content-Encoding: gzip; the
    // network layer unpacks it, so the stored file is the plain document.
    QByteArray document = "<project>";
    for (int i = 0; i < 2000; ++i)
        document += "<module name=\"m" + QByteArray::number(i) + "\"/>";
    document += "</project>\n";
    QVERIFY(writeFile(m_root + QStringLiteral("/gz/doc.xml"), document));
    QProcess gzip;
    gzip.start(QStringLiteral("gzip"), {QStringLiteral("-k"), QStringLiteral("-9"), m_root + QStringLiteral("/gz/doc.xml")});
    QVERIFY(gzip.waitForFinished(30000) && gzip.exitCode() == 0);
    QVERIFY(QFileInfo(m_root + QStringLiteral("/gz/doc.xml.gz")).size() < document.size() / 4);

    m_http.setRoot(m_root);
    m_http.addServerDirective(QStringLiteral("location /gz/ { gzip_static on; }"));
    m_http.addServerDirective(QStringLiteral("location = /error500 { return 500; }"));
    m_http.addServerDirective(QStringLiteral("location = /moved { return 301 http://127.0.0.1:$server_port/small.xml; }"));
    m_http.addServerDirective(QStringLiteral("location = /found { return 302 http://127.0.0.1:$server_port/small.xml; }"));
    m_http.addServerDirective(QStringLiteral("location = /relative { return 307 /small.xml; }"));
    m_http.addServerDirective(QStringLiteral("location = /loop { return 302 http://127.0.0.1:$server_port/loop; }"));
    m_http.addServerDirective(QStringLiteral("location = /choices { return 300 \"pick one\"; }"));
    m_http.addServerDirective(QStringLiteral("location = /notmodified { return 304; }"));
    m_http.addServerDirective(QStringLiteral("location = /nocontent { return 204; }"));
    m_http.addServerDirective(QStringLiteral("location = /via { return 200 \"via=[$http_via]\"; }"));
    m_http.addServerDirective(QStringLiteral("location = /post { return 405; }"));
    m_http.addServerDirective(
        QStringLiteral("location = /setcookie { add_header Set-Cookie \"session=abc; Path=/\"; return 200 \"set\"; }"));
    m_http.addServerDirective(QStringLiteral("location = /cookie { return 200 \"cookie=[$http_cookie]\"; }"));
    QString error;
    QVERIFY2(m_http.start(&error), qPrintable(error));

    // TLS with a CA of our own, trusted for this process only.
    const QString certs = m_work.filePath(QStringLiteral("certs"));
    QVERIFY(QDir().mkpath(certs));
    TestCertificates tls;
    QVERIFY2(createTestCertificates(certs, &tls, &error), qPrintable(error));
    QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
    QList<QSslCertificate> cas = ssl.caCertificates();
    const QList<QSslCertificate> ours = QSslCertificate::fromPath(tls.caCertificate);
    QCOMPARE(ours.size(), 1);
    cas += ours;
    ssl.setCaCertificates(cas);
    QSslConfiguration::setDefaultConfiguration(ssl);

    m_https.setRoot(m_root);
    m_https.setTls(tls.serverCertificate, tls.serverKey);
    m_https.addServerDirective(
        QStringLiteral("location = /downgrade { return 301 http://127.0.0.1:%1/small.xml; }").arg(m_http.port()));
    m_https.addServerDirective(
        QStringLiteral("location = /moved { return 301 https://127.0.0.1:$server_port/small.xml; }"));
    QVERIFY2(m_https.start(&error), qPrintable(error));

    m_upgrade.setRoot(m_root);
    m_upgrade.addServerDirective(
        QStringLiteral("location = /upgrade { return 301 https://127.0.0.1:%1/small.xml; }").arg(m_https.port()));
    QVERIFY2(m_upgrade.start(&error), qPrintable(error));

    m_ftpAvailable = FtpServer::isAvailable();
    if (m_ftpAvailable) {
        m_ftp.setRoot(m_root);
        QVERIFY2(m_ftp.start(&error), qPrintable(error));
    }
}

void TestTransfer::cleanupTestCase()
{
    m_ftp.stop();
    m_upgrade.stop();
    m_https.stop();
    m_http.stop();
}

void TestTransfer::cleanup()
{
    QDir(m_work.filePath(QStringLiteral("out"))).removeRecursively();
    QDir().mkpath(m_work.filePath(QStringLiteral("out")));
    Settings::instance()->setRuntimeValue(QStringLiteral("General"), QStringLiteral("transfer_stall_timeout"), 60);
}

void TestTransfer::download_data()
{
    QTest::addColumn<QString>("server"); // http, https, upgrade
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("expectedFile"); // under the web root; empty: must fail

    QTest::newRow("GET") << "http" << "/small.xml" << "/small.xml";
    QTest::newRow("GET of an empty file") << "http" << "/empty.txt" << "/empty.txt";
    QTest::newRow("GET with a Cyrillic path") << "http" << "/sub/папка/file.bin" << "/sub/папка/file.bin";
    QTest::newRow("gzip-encoded document stored unpacked") << "http" << "/gz/doc.xml" << "/gz/doc.xml";
    QTest::newRow("404 not found") << "http" << "/missing.xml" << "";
    QTest::newRow("500 server error") << "http" << "/error500" << "";
    QTest::newRow("301 http to http followed") << "http" << "/moved" << "/small.xml";
    QTest::newRow("302 http to http followed") << "http" << "/found" << "/small.xml";
    QTest::newRow("307 relative redirect followed") << "http" << "/relative" << "/small.xml";
    QTest::newRow("redirect loop fails") << "http" << "/loop" << "";
    QTest::newRow("300 with a body is not the file") << "http" << "/choices" << "";
    QTest::newRow("304 is not the file") << "http" << "/notmodified" << "";
    QTest::newRow("HTTPS GET") << "https" << "/small.xml" << "/small.xml";
    QTest::newRow("HTTPS 404") << "https" << "/missing.xml" << "";
    QTest::newRow("301 https to https followed") << "https" << "/moved" << "/small.xml";
    QTest::newRow("301 https to http refused") << "https" << "/downgrade" << "";
    QTest::newRow("301 http to https followed") << "upgrade" << "/upgrade" << "/small.xml";
}

void TestTransfer::download()
{
    QFETCH(QString, server);
    QFETCH(QString, path);
    QFETCH(QString, expectedFile);
    const QString base = server == "https" ? m_https.baseUrl() : server == "upgrade" ? m_upgrade.baseUrl()
                                                                                   : m_http.baseUrl();
    const QString destination = out(QStringLiteral("doc.xml"));
    QString error;
    const bool ok = fetchFile(base + path, destination, &error);
    if (expectedFile.isEmpty()) {
        QVERIFY(!ok);
        QVERIFY(!error.isEmpty());
        QVERIFY2(!QFile::exists(destination), "a failed download left a file behind");
    } else {
        QVERIFY2(ok, qPrintable(error));
        QCOMPARE(readFile(destination), readFile(m_root + expectedFile));
    }
}

void TestTransfer::untrustedCertificateRefused()
{
    // A server whose certificate comes from a CA nobody trusts: the download
    // must fail, not fall back to an unchecked connection.
    QTemporaryDir certs;
    TestCertificates tls;
    QString error;
    QVERIFY2(createTestCertificates(certs.path(), &tls, &error), qPrintable(error));
    NginxServer stranger;
    stranger.setRoot(m_root);
    stranger.setTls(tls.serverCertificate, tls.serverKey);
    QVERIFY2(stranger.start(&error), qPrintable(error));
    const QString destination = out(QStringLiteral("untrusted.xml"));
    QVERIFY(!fetchFile(stranger.baseUrl() + QStringLiteral("/small.xml"), destination, &error));
    QVERIFY(!error.isEmpty());
    QVERIFY(!QFile::exists(destination));
}

void TestTransfer::largeFileStreamsToDisk()
{
    const QString destination = out(QStringLiteral("large.bin"));
    QString error;
    QVERIFY2(fetchFile(m_http.baseUrl() + QStringLiteral("/large.bin"), destination, &error), qPrintable(error));
    QString why;
    QVERIFY2(filesEqual(destination, m_root + QStringLiteral("/large.bin"), &why), qPrintable(why));
    QCOMPARE(calcHash(destination), calcHash(m_root + QStringLiteral("/large.bin")));
}

void TestTransfer::schemeInCapitalsIsDownloaded()
{
    const QString destination = out(QStringLiteral("caps.xml"));
    QString source = m_http.baseUrl() + QStringLiteral("/small.xml");
    source.replace(0, 4, QStringLiteral("HTTP"));
    QString error;
    QVERIFY2(fetchFile(source, destination, &error), qPrintable(error));
    QCOMPARE(readFile(destination), kSmall);
}

void TestTransfer::urlSourceOverwritesExistingDestination()
{
    const QString destination = out(QStringLiteral("existing.xml"));
    QVERIFY(writeFile(destination, QByteArray(5000, 'o'))); // longer than the download: truncated
    QString error;
    QVERIFY2(fetchFile(m_http.baseUrl() + QStringLiteral("/small.xml"), destination, &error), qPrintable(error));
    QCOMPARE(readFile(destination), kSmall);
}

void TestTransfer::replaceFileFromServer()
{
    const QString destination = out(QStringLiteral("main.xml"));
    QVERIFY(writeFile(destination, "old"));
    QVERIFY(QFile::setPermissions(destination, QFileDevice::ReadOwner));
    QString error;
    QVERIFY2(replaceFile(m_https.baseUrl() + QStringLiteral("/small.xml"), destination, &error, QString()),
             qPrintable(error));
    QCOMPARE(readFile(destination), kSmall);
}

void TestTransfer::failureLeavesNoFile_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<bool>("destinationExisted");

    QTest::newRow("500 onto a new file") << "/error500" << false;
    QTest::newRow("500 onto an existing file") << "/error500" << true;
    QTest::newRow("404 onto an existing file") << "/missing.xml" << true;
    QTest::newRow("connection refused") << "refused" << false;
}

void TestTransfer::failureLeavesNoFile()
{
    QFETCH(QString, source);
    QFETCH(bool, destinationExisted);
    const QString destination = out(QStringLiteral("partial.xml"));
    if (destinationExisted)
        QVERIFY(writeFile(destination, kSmall));
    const QString from = source == "refused" ? QStringLiteral("http://127.0.0.1:%1/x").arg(freeTcpPort())
                                             : m_http.baseUrl() + source;
    QString error;
    QVERIFY(!loadUrl(QUrl(from), destination, &error));
    QVERIFY(!error.isEmpty());
    QVERIFY(!QFile::exists(destination));
    // Without an error pointer too.
    QVERIFY(!loadUrl(QUrl(from), destination));
    QVERIFY(!QFile::exists(destination));
}

void TestTransfer::cutTransfers_data()
{
    QTest::addColumn<int>("behaviour");
    QTest::addColumn<bool>("honourRange");
    QTest::addColumn<bool>("expectOk");
    QTest::addColumn<QByteArray>("secondRange"); // Range header of the second request

    QTest::newRow("cut once, resumed with Range")
        << int(ScriptedHttpServer::Behaviour::CutOnce) << true << true << QByteArray("bytes=80000-");
    QTest::newRow("cut once, server ignores Range: read again")
        << int(ScriptedHttpServer::Behaviour::CutOnce) << false << true << QByteArray("bytes=80000-");
    // The server promises a length and closes the connection half way, every time.
    QTest::newRow("always cut short fails")
        << int(ScriptedHttpServer::Behaviour::Truncate) << true << false << QByteArray("bytes=20000-");
}

void TestTransfer::cutTransfers()
{
    QFETCH(int, behaviour);
    QFETCH(bool, honourRange);
    QFETCH(bool, expectOk);
    QFETCH(QByteArray, secondRange);
    const QByteArray body = patternBytes(200000, 9);
    ScriptedHttpServer server(static_cast<ScriptedHttpServer::Behaviour>(behaviour));
    server.setResponse(200, body);
    server.setHonourRange(honourRange);
    QVERIFY(server.start());
    const QString destination = out(QStringLiteral("cut.bin"));
    QString error;
    const bool ok = fetchFile(server.baseUrl() + QStringLiteral("/pack.bin"), destination, &error);
    QCOMPARE(ok, expectOk);
    if (ok) {
        QCOMPARE(readFile(destination), body);
    } else {
        QVERIFY(!error.isEmpty());
        QVERIFY(!QFile::exists(destination));
    }
    const QList<ScriptedHttpServer::Request> requests = server.requests();
    QVERIFY(requests.size() >= 2);
    QVERIFY(requests.size() <= 10); // bounded retries (the manager may resend a request once)
    QVERIFY(requests.first().header("Range").isEmpty());
    QCOMPARE(requests.last().header("Range"), secondRange);
}

void TestTransfer::connectionKeptAlive()
{
    // Small files one after another travel over one connection.
    const QByteArray body = patternBytes(7000, 4);
    ScriptedHttpServer server(ScriptedHttpServer::Behaviour::Raw);
    server.setRaw("HTTP/1.1 200 OK\r\nContent-Length: 7000\r\n\r\n" + body, false);
    QVERIFY(server.start());
    QString error;
    for (int i = 0; i < 20; ++i) {
        const QString destination = out(QStringLiteral("f%1.bin").arg(i));
        QVERIFY2(fetchFile(server.baseUrl() + QStringLiteral("/f.bin"), destination, &error), qPrintable(error));
        QCOMPARE(readFile(destination), body);
    }
    const QList<ScriptedHttpServer::Request> requests = server.requests();
    QCOMPARE(requests.size(), 20);
    QCOMPARE(requests.last().connection, requests.first().connection);
}

void TestTransfer::nestedDownloadsOnOneThread()
{
    // A download started from inside another one's wait (a second click on
    // a dialog's OK while the first still loads): each gets its own whole file.
    ScriptedHttpServer slow(ScriptedHttpServer::Behaviour::Trickle);
    const QByteArray slowBody = "0123456789";
    slow.setResponse(200, slowBody);
    slow.setTrickle(2, 200);
    QVERIFY(slow.start());
    bool innerOk = false;
    QString innerError;
    QTimer::singleShot(300, [&]() {
        innerOk = fetchFile(m_http.baseUrl() + QStringLiteral("/sub/папка/file.bin"), out(QStringLiteral("inner.bin")),
                            &innerError);
    });
    QString error;
    QVERIFY2(fetchFile(slow.baseUrl() + QStringLiteral("/outer"), out(QStringLiteral("outer.bin")), &error),
             qPrintable(error));
    QCOMPARE(readFile(out(QStringLiteral("outer.bin"))), slowBody);
    QVERIFY2(innerOk, qPrintable(innerError));
    QCOMPARE(readFile(out(QStringLiteral("inner.bin"))), readFile(m_root + QStringLiteral("/sub/папка/file.bin")));
}

void TestTransfer::interruptionAbortsTransfer()
{
    // A cancelled install asks its thread to stop; the download in progress
    // ends within about a second, not when the file has arrived.
    ScriptedHttpServer server(ScriptedHttpServer::Behaviour::Trickle);
    server.setResponse(200, QByteArray(100, 'x'));
    server.setTrickle(1, 200); // 20 s for the whole body
    QVERIFY(server.start());
    const QString destination = out(QStringLiteral("cancelled.bin"));
    FetchThread worker(server.baseUrl() + QStringLiteral("/big"), destination);
    worker.start();
    QTest::qWait(600);
    QElapsedTimer timer;
    timer.start();
    worker.requestInterruption();
    QVERIFY(worker.wait(10000));
    QVERIFY2(timer.elapsed() < 3000, qPrintable(QString::number(timer.elapsed())));
    QVERIFY(!worker.ok);
    QVERIFY2(worker.error.contains(QStringLiteral("interrupted")), qPrintable(worker.error));
    QVERIFY(!QFile::exists(destination));
}

void TestTransfer::plainAnswers_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<bool>("closeAfter");
    QTest::addColumn<QByteArray>("expected"); // stored file; empty: must fail
    QTest::addColumn<qint64>("limit");        // maxBytes of the download

    const QByteArray body = patternBytes(9000, 21);
    const QByteArray hex = QByteArray::number(4000, 16);
    const QByteArray chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + hex + "\r\n" + body.left(4000)
                               + "\r\n" + QByteArray::number(5000, 16) + "\r\n" + body.mid(4000) + "\r\n0\r\n\r\n";
    const qint64 none = -1;
    QTest::newRow("chunked, kept open") << chunked << false << body << none;
    QTest::newRow("interim answer first")
        << "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 9000\r\n\r\n" + body << false << body
        << none;
    QTest::newRow("old server, body to the close") << "HTTP/1.0 200 OK\r\n\r\n" + body << true << body << none;
    QTest::newRow("deflate-coded body unpacked")
        << "HTTP/1.1 200 OK\r\nContent-Encoding: deflate\r\nContent-Length: "
               + QByteArray::number(qCompress(body).size() - 4) + "\r\n\r\n" + qCompress(body).mid(4)
        << false << body << none;
    QTest::newRow("503 fails") << QByteArray("HTTP/1.1 503 Busy\r\nContent-Length: 4\r\n\r\nbusy") << false
                               << QByteArray() << none;
    QTest::newRow("garbage instead of an answer") << QByteArray("220 ftp ready\r\n\r\n") << true << QByteArray()
                                                  << none;
    // Bytes left over after an answer on a kept connection must not be
    // taken as the start of the next one: the second file succeeds too.
    QTest::newRow("stray CRLF after a chunked body, kept open") << chunked + "\r\n" << false << body << none;
    QTest::newRow("body longer than its Content-Length, kept open")
        << "HTTP/1.1 200 OK\r\nContent-Length: 9000\r\n\r\n" + body + "XXXX" << false << body << none;
    // Without a declared length only the caller's limit bounds the body.
    QTest::newRow("chunked body past the limit fails") << chunked << false << QByteArray() << qint64(8999);
    QTest::newRow("chunked body at the limit") << chunked << false << body << qint64(9000);
}

void TestTransfer::plainAnswers()
{
    QFETCH(QByteArray, answer);
    QFETCH(bool, closeAfter);
    QFETCH(QByteArray, expected);
    QFETCH(qint64, limit);
    ScriptedHttpServer server(ScriptedHttpServer::Behaviour::Raw);
    server.setRaw(answer, closeAfter);
    QVERIFY(server.start());
    // A kept connection is used twice: the second request travels on it.
    for (int round = 0; round < (closeAfter ? 1 : 2); ++round) {
        const QString destination = out(QStringLiteral("answer%1.bin").arg(round));
        QString error;
        const bool ok = fetchFile(server.baseUrl() + QStringLiteral("/answer.bin"), destination, &error,
                                  QStringLiteral("GET"), limit);
        if (expected.isEmpty()) {
            QVERIFY(!ok);
            QVERIFY(!error.isEmpty());
            QVERIFY2(!QFile::exists(destination), "a failed download left a file behind");
        } else {
            QVERIFY2(ok, qPrintable(error));
            QCOMPARE(readFile(destination), expected);
        }
    }
}

void TestTransfer::idleConnectionClosedByServer()
{
    // The server promises to keep the connection and closes it anyway; the
    // next request finds it gone and is sent again on a new one.
    const QByteArray body = patternBytes(5000, 5);
    ScriptedHttpServer server(ScriptedHttpServer::Behaviour::Raw);
    server.setRaw("HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\n" + body, true);
    QVERIFY(server.start());
    for (int i = 0; i < 5; ++i) {
        const QString destination = out(QStringLiteral("again%1.bin").arg(i));
        QString error;
        QVERIFY2(fetchFile(server.baseUrl() + QStringLiteral("/f.bin"), destination, &error), qPrintable(error));
        QCOMPARE(readFile(destination), body);
    }
    const QList<ScriptedHttpServer::Request> requests = server.requests();
    QCOMPARE(requests.size(), 5);
    for (int i = 0; i < requests.size(); ++i)
        QCOMPARE(requests.at(i).connection, i + 1);
}

void TestTransfer::unopenableDestination_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("folder does not exist") << "missing";
    QTest::newRow("destination is a folder") << "folder";
    QTest::newRow("read-only folder") << "readonly";
}

void TestTransfer::unopenableDestination()
{
    QFETCH(QString, kind);
    QString destination;
    FileHold hold;
    if (kind == "missing") {
        destination = out(QStringLiteral("no/such/folder/doc.xml"));
    } else if (kind == "folder") {
        destination = out(QStringLiteral("a-folder"));
        QVERIFY(QDir().mkpath(destination));
    } else {
        // Root ignores permissions: the hold makes the folder immutable there.
        const QString folder = out(QStringLiteral("readonly"));
        QVERIFY(QDir().mkpath(folder));
        QString why;
        if (!FileHold::isAvailable(folder, &why))
            QSKIP(qPrintable(QStringLiteral("no way to make a folder read-only here: ") + why));
        QVERIFY2(hold.hold(folder, FileHold::Contents, &why), qPrintable(why));
        destination = folder + QStringLiteral("/doc.xml");
    }

    ScriptedHttpServer server;
    server.setResponse(200, "payload");
    QVERIFY(server.start());
    QString error;
    QVERIFY(!fetchFile(server.baseUrl() + QStringLiteral("/doc.xml"), destination, &error));
    const QString prefix = QStringLiteral("can't open file ") + destination + QStringLiteral(" error: ");
    QVERIFY2(error.startsWith(prefix), qPrintable(error));
    QVERIFY(error.size() > prefix.size());
    QTest::qWait(200);
    QCOMPARE(server.requests().size(), 0);
}

void TestTransfer::postBody_data()
{
    QTest::addColumn<QString>("method");
    QTest::addColumn<bool>("isPost");

    QTest::newRow("POST") << "POST" << true;
    QTest::newRow("post in lower case") << "post" << true;
    QTest::newRow("PoSt in mixed case") << "PoSt" << true;
    QTest::newRow("GET") << "GET" << false;
    QTest::newRow("empty method is GET") << "" << false;
    QTest::newRow("unknown method is GET") << "PUT" << false;
    QTest::newRow("POST with blanks is GET") << " POST" << false;
}

void TestTransfer::postBody()
{
    QFETCH(QString, method);
    QFETCH(bool, isPost);

    Settings::instance()->setRuntimeValue(QStringLiteral("projects"), QStringLiteral("projects_count"), 2);
    Settings::instance()->setRuntimeValue(QStringLiteral("projects"), QStringLiteral("key1"),
                                          QStringLiteral("11111111-2222-3333-4444-555555555555"));
    Settings::instance()->setRuntimeValue(QStringLiteral("projects"), QStringLiteral("key2"),
                                          QStringLiteral("66666666-7777-8888-9999-000000000000"));
    const QStringList ids = Settings::instance()->projects();

    ScriptedHttpServer server;
    server.setResponse(200, "<projects/>");
    QVERIFY(server.start());
    const QString destination = out(QStringLiteral("main.xml"));
    QString error;
    QVERIFY2(fetchFile(server.baseUrl() + QStringLiteral("/bin/main.xml"), destination, &error, method),
             qPrintable(error));
    QCOMPARE(readFile(destination), QByteArray("<projects/>"));

    const QList<ScriptedHttpServer::Request> requests = server.requests();
    QCOMPARE(requests.size(), 1);
    const ScriptedHttpServer::Request &request = requests.first();
    QCOMPARE(request.target, QByteArray("/bin/main.xml"));
    if (!isPost) {
        QCOMPARE(request.method, QByteArray("GET"));
        QVERIFY(request.body.isEmpty());
        return;
    }
    QCOMPARE(request.method, QByteArray("POST"));
    QCOMPARE(request.header("Content-Type"), QByteArray("application/json"));
    QCOMPARE(request.body, projectIdsBody(ids));
    // The server reads it as JSON with the identifiers in order.
    QJsonParseError parse;
    const QJsonDocument json = QJsonDocument::fromJson(request.body, &parse);
    QCOMPARE(parse.error, QJsonParseError::NoError);
    QStringList received;
    for (const QJsonValue &v : json.object().value(QStringLiteral("projectIds")).toArray())
        received << v.toString();
    QCOMPARE(received, ids);
    QVERIFY(ids.contains(QStringLiteral("11111111-2222-3333-4444-555555555555")));
}

void TestTransfer::ftp_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("expectOk");
    QTest::newRow("small document") << "/small.xml" << true;
    QTest::newRow("binary in a Cyrillic folder") << "/sub/папка/file.bin" << true;
    QTest::newRow("missing file") << "/missing.xml" << false;
}

void TestTransfer::ftp()
{
    if (!m_ftpAvailable)
        QFAIL("pyftpdlib is not installed for /usr/bin/python3 (scripts/packages.txt lists python3-pyftpdlib)");
    QFETCH(QString, path);
    QFETCH(bool, expectOk);
    const QString destination = out(QStringLiteral("ftp.bin"));
    QString error;
    const bool ok = fetchFile(m_ftp.baseUrl() + path, destination, &error);
    QCOMPARE(ok, expectOk);
    if (expectOk) {
        QCOMPARE(readFile(destination), readFile(m_root + path));
    } else {
        QVERIFY(!error.isEmpty());
        QVERIFY(!QFile::exists(destination));
    }
}

void TestTransfer::applicationProxy()
{
    if (!TinyProxyServer::isAvailable())
        QFAIL("tinyproxy is not installed");
    // Qt sends loopback addresses past any proxy, and update servers are
    // never loopback. So the request names a host that only the proxy chain
    // can reach: tinyproxy hands everything to nginx as its upstream proxy,
    // and the name is never resolved.
    TinyProxyServer proxy;
    proxy.setUpstream(m_http.port());
    QString error;
    QVERIFY2(proxy.start(&error), qPrintable(error));
    const QString direct = m_http.baseUrl() + QStringLiteral("/via");
    const QString named = QStringLiteral("http://kestra-updates.test/via");
    const QString destination = out(QStringLiteral("via.txt"));

    // This thread's manager exists already and holds a kept-alive direct
    // connection; the proxy set afterwards must still apply to it.
    QVERIFY2(replaceFile(direct, destination, &error), qPrintable(error));
    QCOMPARE(readFile(destination), QByteArray("via=[]"));

    const QNetworkProxy previous = QNetworkProxy::applicationProxy();
    QNetworkProxy::setApplicationProxy(
        QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), proxy.port()));
    auto restore = qScopeGuard([&]() { QNetworkProxy::setApplicationProxy(previous); });
    // Guard: never let a named host go out directly from a test.
    QCOMPARE(QNetworkProxyFactory::proxyForQuery(QNetworkProxyQuery(QUrl(named))).value(0).type(),
             QNetworkProxy::HttpProxy);

    QVERIFY2(replaceFile(named, destination, &error), qPrintable(error));
    const QByteArray via = readFile(destination);
    QVERIFY2(via.startsWith("via=[") && via.contains(TinyProxyServer::viaName().toUtf8()), via.constData());
    QVERIFY2(proxy.log().contains("kestra-updates.test"), proxy.log().constData());

    // And on a thread whose manager is created while the proxy is in force.
    FetchThread worker(named, out(QStringLiteral("via-thread.txt")));
    worker.start();
    QVERIFY(worker.wait(60000));
    QVERIFY2(worker.ok, qPrintable(worker.error));
    QVERIFY(readFile(out(QStringLiteral("via-thread.txt"))).contains(TinyProxyServer::viaName().toUtf8()));

    // With the proxy removed the same manager goes direct again.
    restore.dismiss();
    QNetworkProxy::setApplicationProxy(previous);
    QVERIFY2(replaceFile(direct, destination, &error), qPrintable(error));
    QCOMPARE(readFile(destination), QByteArray("via=[]"));
}

void TestTransfer::stalledServerFails_data()
{
    QTest::addColumn<int>("behaviour");
    QTest::newRow("accepts and never answers") << int(ScriptedHttpServer::Behaviour::Silent);
    QTest::newRow("stops after the headers") << int(ScriptedHttpServer::Behaviour::HeadersThenStall);
}

void TestTransfer::stalledServerFails()
{
    QFETCH(int, behaviour);
    Settings::instance()->setRuntimeValue(QStringLiteral("General"), QStringLiteral("transfer_stall_timeout"), 2);
    ScriptedHttpServer server(static_cast<ScriptedHttpServer::Behaviour>(behaviour));
    server.setResponse(200, patternBytes(100000, 5));
    QVERIFY(server.start());

    const QString destination = out(QStringLiteral("stalled.bin"));
    QString error;
    QElapsedTimer timer;
    timer.start();
    QVERIFY(!fetchFile(server.baseUrl() + QStringLiteral("/stall"), destination, &error));
    const qint64 elapsed = timer.elapsed();
    QVERIFY2(elapsed >= 1900 && elapsed < 30000, qPrintable(QString::number(elapsed)));
    QVERIFY(!error.isEmpty());
    QVERIFY(!QFile::exists(destination));
    QCOMPARE(server.requests().size(), 1);
}

void TestTransfer::slowServerThatKeepsSendingSucceeds()
{
    Settings::instance()->setRuntimeValue(QStringLiteral("General"), QStringLiteral("transfer_stall_timeout"), 2);
    ScriptedHttpServer server(ScriptedHttpServer::Behaviour::Trickle);
    const QByteArray body = "0123456789ABCDEF"; // 8 pieces at 0.5 s: 4 s, twice the limit
    server.setResponse(200, body);
    server.setTrickle(2, 500);
    QVERIFY(server.start());

    const QString destination = out(QStringLiteral("slow.bin"));
    QString error;
    QElapsedTimer timer;
    timer.start();
    QVERIFY2(fetchFile(server.baseUrl() + QStringLiteral("/slow"), destination, &error), qPrintable(error));
    QVERIFY2(timer.elapsed() >= 3000, "the body came faster than scripted: the test proves nothing");
    QCOMPARE(readFile(destination), body);
}

void TestTransfer::downloadsOnWorkerThreads()
{
    // Several threads at once, each with its own manager, each ending (and
    // destroying its manager in its own thread) while the others run.
    std::vector<std::unique_ptr<FetchThread>> threads;
    for (int i = 0; i < 4; ++i) {
        const QString base = i % 2 ? m_https.baseUrl() : m_http.baseUrl();
        threads.emplace_back(new FetchThread(base + QStringLiteral("/sub/папка/file.bin"),
                                             out(QStringLiteral("thread%1.bin").arg(i))));
    }
    for (auto &t : threads)
        t->start();
    for (auto &t : threads)
        QVERIFY(t->wait(60000));
    for (int i = 0; i < 4; ++i) {
        QVERIFY2(threads[i]->ok, qPrintable(threads[i]->error));
        QCOMPARE(readFile(out(QStringLiteral("thread%1.bin").arg(i))),
                 readFile(m_root + QStringLiteral("/sub/папка/file.bin")));
    }
}

void TestTransfer::noCookiesCarriedBetweenDownloads()
{
    // The thread's manager is reused for its connections only: what one
    // server sets must not be sent with the next request.
    QString error;
    QVERIFY2(fetchFile(m_http.baseUrl() + QStringLiteral("/setcookie"), out(QStringLiteral("set.txt")), &error),
             qPrintable(error));
    QCOMPARE(readFile(out(QStringLiteral("set.txt"))), QByteArray("set"));
    QVERIFY2(fetchFile(m_http.baseUrl() + QStringLiteral("/cookie"), out(QStringLiteral("cookie.txt")), &error),
             qPrintable(error));
    QCOMPARE(readFile(out(QStringLiteral("cookie.txt"))), QByteArray("cookie=[]"));
}

QTEST_GUILESS_MAIN(TestTransfer)
#include "tst_transfer.moc"
