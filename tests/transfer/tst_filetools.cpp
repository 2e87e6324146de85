// Local side of the transfer helpers: copying and replacing local files,
// telling local paths from URLs, hashing, folder sizes, argument splitting
// and the POST body.

#include "filehold.h"
#include "scriptedhttpserver.h"
#include "testfiles.h"
#include "transfer.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QString copyErrorPrefix(const QString &source, const QString &destination)
{
    return QStringLiteral("error copy file from %1 to %2 error ").arg(source, destination);
}

} // namespace

class TestFileTools : public QObject
{
    Q_OBJECT

private slots:
    void fetchFileLocal_data();
    void fetchFileLocal();
    void replaceFileLocal_data();
    void replaceFileLocal();
    void replaceFileUndeletableDestination();
    void localSourceForms_data();
    void localSourceForms();
    void calcHash_data();
    void calcHash();
    void calcHashMissingFile();
    void folderSizeTree();
    void folderSizeMissingFolder();
    void folderSizeSkipsLinkedFolders();
    void splitArguments_data();
    void splitArguments();
    void projectIdsBody_data();
    void projectIdsBody();

private:
    QTemporaryDir m_dir;
};

void TestFileTools::fetchFileLocal_data()
{
    QTest::addColumn<bool>("sourceExists");
    QTest::addColumn<bool>("destinationExists");
    QTest::addColumn<bool>("expectOk");
    QTest::addColumn<QByteArray>("expectedDestination"); // empty: must not exist

    QTest::newRow("copy to a new destination") << true << false << true << QByteArray("new content");
    QTest::newRow("existing destination is not overwritten") << true << true << false << QByteArray("old content");
    QTest::newRow("missing source") << false << false << false << QByteArray();
    QTest::newRow("missing source, existing destination kept") << false << true << false << QByteArray("old content");
}

void TestFileTools::fetchFileLocal()
{
    QFETCH(bool, sourceExists);
    QFETCH(bool, destinationExists);
    QFETCH(bool, expectOk);
    QFETCH(QByteArray, expectedDestination);

    QTemporaryDir dir;
    const QString source = dir.filePath(QStringLiteral("source/doc.xml"));
    const QString destination = dir.filePath(QStringLiteral("dest/doc.xml"));
    QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("dest"))));
    if (sourceExists)
        QVERIFY(writeFile(source, "new content"));
    if (destinationExists)
        QVERIFY(writeFile(destination, "old content"));

    QString error;
    QCOMPARE(fetchFile(source, destination, &error), expectOk);
    if (expectOk)
        QVERIFY(error.isEmpty());
    else
        QVERIFY2(error.startsWith(copyErrorPrefix(source, destination)), qPrintable(error));
    if (expectedDestination.isEmpty())
        QVERIFY(!QFile::exists(destination));
    else
        QCOMPARE(readFile(destination), expectedDestination);
    // Without an error pointer the call must behave the same and not crash.
    if (!expectOk)
        QVERIFY(!fetchFile(source, destination));
}

void TestFileTools::replaceFileLocal_data()
{
    QTest::addColumn<bool>("sourceExists");
    QTest::addColumn<int>("destinationState"); // 0 none, 1 writable, 2 read-only
    QTest::addColumn<bool>("expectOk");

    QTest::newRow("new destination") << true << 0 << true;
    QTest::newRow("existing destination is overwritten") << true << 1 << true;
    QTest::newRow("read-only destination is overwritten") << true << 2 << true;
    QTest::newRow("missing source") << false << 1 << false;
}

void TestFileTools::replaceFileLocal()
{
    QFETCH(bool, sourceExists);
    QFETCH(int, destinationState);
    QFETCH(bool, expectOk);

    QTemporaryDir dir;
    const QString source = dir.filePath(QStringLiteral("main.xml"));
    const QString destination = dir.filePath(QStringLiteral("local.xml"));
    if (sourceExists)
        QVERIFY(writeFile(source, "fresh"));
    if (destinationState > 0)
        QVERIFY(writeFile(destination, "stale"));
    if (destinationState == 2)
        QVERIFY(QFile::setPermissions(destination, QFileDevice::ReadOwner | QFileDevice::ReadGroup));

    QString error;
    QCOMPARE(replaceFile(source, destination, &error), expectOk);
    if (expectOk) {
        QCOMPARE(readFile(destination), QByteArray("fresh"));
        QCOMPARE(readFile(source), QByteArray("fresh"));
    } else {
        QVERIFY2(error.startsWith(copyErrorPrefix(source, destination)), qPrintable(error));
    }
}

void TestFileTools::replaceFileUndeletableDestination()
{
    QTemporaryDir dir;
    const QString folder = dir.filePath(QStringLiteral("locked"));
    const QString destination = folder + QStringLiteral("/main.xml");
    QVERIFY(writeFile(destination, "installed copy"));

    // Root ignores permissions: the hold makes the file immutable there, and
    // the folder read-only otherwise.
    QString why;
    if (!FileHold::isAvailable(dir.path(), &why))
        QSKIP(qPrintable(QStringLiteral("no way to make a file undeletable here: ") + why));
    FileHold hold;
    QVERIFY2(hold.hold(destination, FileHold::Entry, &why), qPrintable(why));

    // The source is a live server: the failed delete must not be followed by
    // a request.
    ScriptedHttpServer server;
    server.setResponse(200, "from server");
    QVERIFY(server.start());

    QString error;
    QVERIFY(!replaceFile(server.baseUrl() + QStringLiteral("/main.xml"), destination, &error));
    const QString expected = QStringLiteral("Ошибка при удалении файла %1, ").arg(destination);
    QVERIFY2(error.startsWith(expected), qPrintable(error));
    QVERIFY(error.size() > expected.size()); // the reason follows
    QCOMPARE(readFile(destination), QByteArray("installed copy"));
    QTest::qWait(200);
    QCOMPARE(server.requests().size(), 0);
}

void TestFileTools::localSourceForms_data()
{
    QTest::addColumn<QString>("source");

    // None of these exist, so a local copy fails with the copy text; a
    // download attempt would fail with a network text instead.
    QTest::newRow("drive letter with slashes") << QStringLiteral("C:/kestra/none/main.xml");
    QTest::newRow("drive letter with backslashes") << QStringLiteral("C:\\kestra\\none\\main.xml");
    QTest::newRow("network share") << QStringLiteral("//server/share/none/main.xml");
    QTest::newRow("absolute path") << QStringLiteral("/nonexistent-kestra/main.xml");
    QTest::newRow("file URL") << QStringLiteral("file:///nonexistent-kestra/main.xml");
    QTest::newRow("unknown scheme") << QStringLiteral("gopher://127.0.0.1/main.xml");
}

void TestFileTools::localSourceForms()
{
    QFETCH(QString, source);
    QTemporaryDir dir;
    const QString destination = dir.filePath(QStringLiteral("out.xml"));
    QString error;
    QVERIFY(!fetchFile(source, destination, &error));
    QVERIFY2(error.startsWith(copyErrorPrefix(source, destination)), qPrintable(error));
    QVERIFY(!QFile::exists(destination));
}

void TestFileTools::calcHash_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<int>("algorithm");

    const int sha1 = QCryptographicHash::Sha1;
    QTest::newRow("empty file") << qint64(0) << sha1;
    QTest::newRow("one byte") << qint64(1) << sha1;
    QTest::newRow("4999999 bytes, one read") << qint64(4999999) << sha1;
    QTest::newRow("5000000 bytes, five reads") << qint64(5000000) << sha1;
    QTest::newRow("5000001 bytes, short last read") << qint64(5000001) << sha1;
    QTest::newRow("12345678 bytes") << qint64(12345678) << sha1;
    QTest::newRow("sha256, small") << qint64(1000) << int(QCryptographicHash::Sha256);
    QTest::newRow("sha256, chunked") << qint64(5000001) << int(QCryptographicHash::Sha256);
}

void TestFileTools::calcHash()
{
    QFETCH(qint64, size);
    QFETCH(int, algorithm);
    const auto algo = static_cast<QCryptographicHash::Algorithm>(algorithm);
    const QByteArray content = patternBytes(size, static_cast<quint32>(size + 7));
    const QString path = m_dir.filePath(QStringLiteral("hash_%1.bin").arg(size));
    QVERIFY(writeFile(path, content));

    const QString digest = ::calcHash(path, algo);
    QCOMPARE(digest, QString::fromLatin1(QCryptographicHash::hash(content, algo).toHex()));
    if (algo == QCryptographicHash::Sha1)
        QVERIFY(QRegularExpression(QStringLiteral("^[0-9a-f]{40}$")).match(digest).hasMatch());
    if (size == 0 && algo == QCryptographicHash::Sha1)
        QCOMPARE(digest, QStringLiteral("da39a3ee5e6b4b0d3255bfef95601890afd80709"));
    QFile::remove(path);
}

void TestFileTools::calcHashMissingFile()
{
    QCOMPARE(::calcHash(m_dir.filePath(QStringLiteral("no-such-file"))), QString());
    // A folder cannot be hashed either.
    QCOMPARE(::calcHash(m_dir.path()), QString());
}

void TestFileTools::folderSizeTree()
{
    QTemporaryDir dir;
    const QString root = dir.filePath(QStringLiteral("module"));
    QVERIFY(writeFile(root + QStringLiteral("/a.dll"), QByteArray(10, 'a')));
    QVERIFY(writeFile(root + QStringLiteral("/b.exe"), QByteArray(7, 'b')));
    QVERIFY(writeFile(root + QStringLiteral("/sub/c.dat"), QByteArray(20, 'c')));
    QVERIFY(writeFile(root + QStringLiteral("/sub/deeper/d.dat"), QByteArray(300, 'd')));
    QVERIFY(writeFile(root + QStringLiteral("/sub/deeper/empty.txt"), QByteArray()));
    QVERIFY(writeFile(root + QStringLiteral("/.hidden"), QByteArray(1000, 'h')));
    QVERIFY(QDir().mkpath(root + QStringLiteral("/emptyfolder")));

    QStringList files{QStringLiteral("already listed")};
    QCOMPARE(folderSize(root, &files), qint64(337));
    QCOMPARE(files.takeFirst(), QStringLiteral("already listed"));
    const QString abs = QFileInfo(root).absoluteFilePath();
    QStringList expected{abs + "/a.dll", abs + "/b.exe", abs + "/sub/c.dat", abs + "/sub/deeper/d.dat",
                         abs + "/sub/deeper/empty.txt"};
    QStringList sorted = files;
    sorted.sort();
    QCOMPARE(sorted, expected);
    // A folder's own files come before those of its subfolders.
    QVERIFY(files.indexOf(abs + "/a.dll") < files.indexOf(abs + "/sub/c.dat"));
    QVERIFY(files.indexOf(abs + "/b.exe") < files.indexOf(abs + "/sub/c.dat"));
    QVERIFY(files.indexOf(abs + "/sub/c.dat") < files.indexOf(abs + "/sub/deeper/d.dat"));

    QCOMPARE(folderSize(root), qint64(337));
}

void TestFileTools::folderSizeMissingFolder()
{
    QStringList files{QStringLiteral("kept")};
    QCOMPARE(folderSize(m_dir.filePath(QStringLiteral("missing")), &files), qint64(0));
    QCOMPARE(files, QStringList{QStringLiteral("kept")});
}

void TestFileTools::folderSizeSkipsLinkedFolders()
{
    QTemporaryDir dir;
    const QString root = dir.filePath(QStringLiteral("tree"));
    QVERIFY(writeFile(root + QStringLiteral("/x.bin"), QByteArray(5, 'x')));
    QVERIFY(writeFile(root + QStringLiteral("/sub/y.bin"), QByteArray(6, 'y')));
    // A link back up the tree: following it would never end.
    QVERIFY(QFile::link(root, root + QStringLiteral("/sub/loop")));
    QStringList files;
    QCOMPARE(folderSize(root, &files), qint64(11));
    QCOMPARE(files.size(), 2);
}

void TestFileTools::splitArguments_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("quoted argument with a blank")
        << QStringLiteral("a \"b c\" d") << QStringList{"a", "b c", "d"};
    QTest::newRow("doubled quote keeps one") << QStringLiteral("\"x\"\"y\"") << QStringList{"x\"y"};
    QTest::newRow("two blanks give an empty argument") << QStringLiteral("a  b") << QStringList{"a", "", "b"};
    QTest::newRow("trailing blank gives a final empty argument") << QStringLiteral("a ") << QStringList{"a", ""};
    QTest::newRow("empty text gives one empty argument") << QString() << QStringList{""};
    QTest::newRow("quote inside an argument does not group")
        << QStringLiteral("ab\"c d\"") << QStringList{"ab\"c", "d\""};
    QTest::newRow("single argument") << QStringLiteral("--full") << QStringList{"--full"};
    QTest::newRow("leading blank") << QStringLiteral(" a") << QStringList{"", "a"};
    QTest::newRow("quoted path with blanks")
        << QStringLiteral("-f \"C:/Program Files/x.ini\"") << QStringList{"-f", "C:/Program Files/x.ini"};
    QTest::newRow("unclosed quote runs to the end") << QStringLiteral("\"a b") << QStringList{"a b"};
    QTest::newRow("empty quoted argument") << QStringLiteral("\"\" b") << QStringList{"", "b"};
    QTest::newRow("Cyrillic text") << QStringLiteral("\"Корвант Мед\" ok") << QStringList{"Корвант Мед", "ok"};
}

void TestFileTools::splitArguments()
{
    QFETCH(QString, text);
    QFETCH(QStringList, expected);
    QCOMPARE(::splitArguments(text, QLatin1Char(' '), QLatin1Char('"')), expected);
}

void TestFileTools::projectIdsBody_data()
{
    QTest::addColumn<QStringList>("ids");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("no identifiers") << QStringList() << QByteArray("{\n\"projectIds\" : [\n\n]\n}");
    QTest::newRow("one identifier") << QStringList{"ac1dba94-cd1b-402a-9679-8390a3929fa2"}
                                    << QByteArray("{\n\"projectIds\" : [\n"
                                                  "\"ac1dba94-cd1b-402a-9679-8390a3929fa2\""
                                                  "\n]\n}");
    QTest::newRow("two identifiers in order") << QStringList{"B", "A"}
                                              << QByteArray("{\n\"projectIds\" : [\n\"B\",\n\"A\"\n]\n}");
    QTest::newRow("non-ASCII is UTF-8") << QStringList{QStringLiteral("ё")}
                                        << QByteArray("{\n\"projectIds\" : [\n\"\xd1\x91\"\n]\n}");
}

void TestFileTools::projectIdsBody()
{
    QFETCH(QStringList, ids);
    QFETCH(QByteArray, expected);
    QCOMPARE(::projectIdsBody(ids), expected);
}

QTEST_GUILESS_MAIN(TestFileTools)
#include "tst_filetools.moc"
