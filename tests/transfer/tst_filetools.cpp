// Local side of the transfer helpers: copying and replacing local files,
// telling local paths from URLs, refusing a destination before any request,
// hashing, folder sizes, argument splitting and the POST body.

#include "filehold.h"
#include "localfile.h"
#include "scriptedhttpserver.h"
#include "testfiles.h"
#include "transfer.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

class TestFileTools : public QObject
{
    Q_OBJECT

private slots:
    void localCopy_data()
    {
        QTest::addColumn<bool>("replace");        // replaceFile instead of fetchFile
        QTest::addColumn<QString>("source");      // "": an existing file holding "new"
        QTest::addColumn<int>("destination");     // 0 none, 1 holding "old", 2 the same read-only
        QTest::addColumn<QByteArray>("expected"); // destination after; "" must not exist; null: not checked
        const QString nowhere = "/nonexistent-kestra/main.xml";
        QTest::newRow("copy to a new destination") << false << "" << 0 << QByteArray("new");
        QTest::newRow("existing destination is not overwritten") << false << "" << 1 << QByteArray("old");
        QTest::newRow("missing source") << false << nowhere << 0 << QByteArray("");
        QTest::newRow("missing source, existing destination kept") << false << nowhere << 1 << QByteArray("old");
        QTest::newRow("replace onto a new destination") << true << "" << 0 << QByteArray("new");
        QTest::newRow("replace overwrites") << true << "" << 1 << QByteArray("new");
        QTest::newRow("replace overwrites a read-only copy") << true << "" << 2 << QByteArray("new");
        // The copy already there outlives a source that cannot be read.
        QTest::newRow("replace from a missing source keeps the old copy") << true << nowhere << 1 << QByteArray("old");
        // None of these exist: a local copy fails with the copy text, a
        // download attempt would fail with a network text instead.
        QTest::newRow("drive letter with slashes") << false << "C:/kestra/none/main.xml" << 0 << QByteArray("");
        QTest::newRow("drive letter with backslashes") << false << "C:\\kestra\\none\\main.xml" << 0 << QByteArray("");
        QTest::newRow("network share") << false << "//server/share/none/main.xml" << 0 << QByteArray("");
        QTest::newRow("file URL") << false << "file:///nonexistent-kestra/main.xml" << 0 << QByteArray("");
        QTest::newRow("unknown scheme") << false << "gopher://127.0.0.1/main.xml" << 0 << QByteArray("");
    }

    void localCopy()
    {
        QFETCH(bool, replace);
        QFETCH(QString, source);
        QFETCH(int, destination);
        QFETCH(QByteArray, expected);
        QTemporaryDir dir;
        const QString target = dir.filePath("dest/doc.xml");
        QVERIFY(QDir().mkpath(dir.filePath("dest")));
        if (source.isEmpty()) {
            source = dir.filePath("source/doc.xml");
            QVERIFY(writeFile(source, "new"));
        }
        QVERIFY(destination == 0 || writeFile(target, "old"));
        QVERIFY(destination < 2 || QFile::setPermissions(target, QFileDevice::ReadOwner));
        QString error;
        const bool ok = replace ? replaceFile(source, target, &error) : fetchFile(source, target, &error);
        QCOMPARE(ok, expected == "new");
        const QString prefix = QStringLiteral("error copy file from %1 to %2 error ")
                                   .arg(source, replace ? stagingPath(target) : target);
        QVERIFY2(ok ? error.isEmpty() : error.startsWith(prefix), qPrintable(error));
        if (!expected.isNull())
            QCOMPARE(QFile::exists(target) ? readFile(target) : QByteArray(""), expected);
        QVERIFY(ok || !fetchFile(source, target)); // without an error pointer too
    }

    void refusedBeforeAnyRequest_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("folder does not exist") << "missing";
        QTest::newRow("destination is a folder") << "folder";
        QTest::newRow("read-only folder") << "readonly";
        // The new copy is fetched beside it, so the request goes out; the
        // file stays as it was.
        QTest::newRow("replace of an undeletable file keeps it") << "undeletable";
    }

    void refusedBeforeAnyRequest()
    {
        // The source is a live server: a destination that cannot be written
        // must fail before a request is sent.
        QFETCH(QString, kind);
        QTemporaryDir dir;
        QString destination = dir.filePath(kind == "missing" ? "no/such/doc.xml" : "held/doc.xml");
        QVERIFY(kind == "missing" || writeFile(destination, "installed copy"));
        FileHold hold;
        QString why;
        if (kind == "folder")
            destination = dir.filePath("held");
        // Root ignores permissions: the hold makes the entry immutable there.
        if ((kind == "readonly" || kind == "undeletable") && !FileHold::isAvailable(dir.path(), &why))
            QSKIP(qPrintable("no way to hold a file here: " + why));
        if (kind == "readonly") {
            QVERIFY(QFile::remove(destination));
            QVERIFY2(hold.hold(dir.filePath("held"), FileHold::Contents, &why), qPrintable(why));
        }
        QVERIFY2(kind != "undeletable" || hold.hold(destination, FileHold::Entry, &why), qPrintable(why));
        ScriptedHttpServer server({ScriptedHttpServer::answer(200, "payload")});
        QVERIFY(server.start());
        QString error;
        const QString prefix = kind == "undeletable" ? QStringLiteral("can't replace %1: ").arg(destination)
                                                     : "can't open file " + destination + " error: ";
        QVERIFY(kind == "undeletable" ? !replaceFile(server.baseUrl() + "/doc.xml", destination, &error)
                                      : !fetchFile(server.baseUrl() + "/doc.xml", destination, &error));
        QVERIFY2(error.startsWith(prefix) && error.size() > prefix.size(), qPrintable(error)); // a reason follows
        QVERIFY(kind != "undeletable" || readFile(destination) == "installed copy");
        QVERIFY(!QFileInfo::exists(stagingPath(destination)));
        QTest::qWait(200);
        QCOMPARE(server.requests().size(), kind == "undeletable" ? 1 : 0);
    }

    void calcHash_data()
    {
        QTest::addColumn<qint64>("size"); // -1: no such file, -2: a folder
        QTest::addColumn<int>("algorithm");
        const int sha1 = QCryptographicHash::Sha1;
        QTest::newRow("empty file") << qint64(0) << sha1;
        QTest::newRow("5000000 bytes, five reads") << qint64(5000000) << sha1;
        QTest::newRow("5000001 bytes, short last read") << qint64(5000001) << sha1;
        QTest::newRow("sha256, chunked") << qint64(5000001) << int(QCryptographicHash::Sha256);
        QTest::newRow("missing file") << qint64(-1) << sha1;
        QTest::newRow("a folder") << qint64(-2) << sha1;
    }

    void calcHash()
    {
        QFETCH(qint64, size);
        QFETCH(int, algorithm);
        const auto algo = QCryptographicHash::Algorithm(algorithm);
        QTemporaryDir dir;
        const QByteArray content = patternBytes(qMax<qint64>(size, 0), quint32(size + 7));
        QVERIFY(size < 0 || writeFile(dir.filePath("f.bin"), content));
        const QString path = size == -2 ? dir.path() : dir.filePath("f.bin");
        const QString expected = size < 0 ? QString() : QCryptographicHash::hash(content, algo).toHex();
        QCOMPARE(::calcHash(path, algo), expected);
    }

    void folderSize()
    {
        QTemporaryDir dir;
        const QString root = QFileInfo(dir.filePath("module")).absoluteFilePath();
        for (const auto &file : QList<QPair<QString, int>>{
                 {"/a.dll", 10}, {"/b.exe", 7}, {"/sub/c.dat", 20}, {"/sub/deeper/d.dat", 300},
                 {"/sub/deeper/empty.txt", 0}, {"/.hidden", 1000}})
            QVERIFY(writeFile(root + file.first, QByteArray(file.second, 'x')));
        QVERIFY(QDir().mkpath(root + "/emptyfolder"));
        // A link back up the tree: following it would never end.
        QVERIFY(QFile::link(root, root + "/sub/loop"));
        QStringList files{"already listed"};
        QCOMPARE(::folderSize(root, &files), qint64(337));
        QCOMPARE(files.takeFirst(), QStringLiteral("already listed"));
        const QStringList expected{root + "/a.dll", root + "/b.exe", root + "/sub/c.dat", root + "/sub/deeper/d.dat",
                                   root + "/sub/deeper/empty.txt"};
        // A folder's own files come before those of its subfolders.
        QVERIFY(files.indexOf(expected[2]) > qMax(files.indexOf(expected[0]), files.indexOf(expected[1])));
        QVERIFY(files.indexOf(expected[2]) < files.indexOf(expected[3]));
        files.sort();
        QCOMPARE(files, expected);
        QCOMPARE(::folderSize(root), qint64(337));
        files = QStringList{"kept"};
        QCOMPARE(::folderSize(root + "/missing", &files), qint64(0));
        QCOMPARE(files, QStringList{"kept"});
    }

    void splitArguments_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("quoted argument with a blank") << "a \"b c\" d" << QStringList{"a", "b c", "d"};
        QTest::newRow("two blanks give an empty argument") << "a  b" << QStringList{"a", "", "b"};
        QTest::newRow("trailing blank gives a final empty argument") << "a " << QStringList{"a", ""};
        QTest::newRow("leading blank") << " a" << QStringList{"", "a"};
        QTest::newRow("quote inside an argument does not group") << "ab\"c d\"" << QStringList{"ab\"c", "d\""};
        QTest::newRow("unclosed quote runs to the end") << "\"a b" << QStringList{"a b"};
        QTest::newRow("Cyrillic text") << "\"Корвант Мед\" ok" << QStringList{"Корвант Мед", "ok"};
    }

    void splitArguments()
    {
        QFETCH(QString, text);
        QFETCH(QStringList, expected);
        QCOMPARE(::splitArguments(text, ' ', '"'), expected);
    }

    void projectIdsBody_data()
    {
        QTest::addColumn<QStringList>("ids");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("no identifiers") << QStringList() << QByteArray("{\n\"projectIds\" : [\n\n]\n}");
        QTest::newRow("two identifiers in order") << QStringList{"B", "A"}
                                                  << QByteArray("{\n\"projectIds\" : [\n\"B\",\n\"A\"\n]\n}");
        QTest::newRow("non-ASCII is UTF-8") << QStringList{"ё"}
                                            << QByteArray("{\n\"projectIds\" : [\n\"\xd1\x91\"\n]\n}");
    }

    void projectIdsBody()
    {
        QFETCH(QStringList, ids);
        QFETCH(QByteArray, expected);
        QCOMPARE(::projectIdsBody(ids), expected);
    }
};

QTEST_GUILESS_MAIN(TestFileTools)
#include "tst_filetools.moc"
