// Local file operations and the transfer helpers' local side: copies, one-step replacement, hashing, staging
// names and their sweep, fetches from local paths, argument splitting, the POST body.

#include "filehold.h"
#include "fileops.h"
#include "scriptedhttpserver.h"
#include "testfiles.h"
#include "transfer.h"

#include <QtTest> // and with it all of Qt Core

class TestFileOps : public QObject
{
    Q_OBJECT

private slots:
    void copy_data()
    {
        QTest::addColumn<QString>("op");     // hashing, replace, fetch or fetch-replace
        QTest::addColumn<QString>("source"); // "": an existing file holding "new"
        QTest::addColumn<QString>("target"); // before: "" or "old"
        QTest::addColumn<QString>("name");   // "": a short one
        QTest::addColumn<bool>("copied");    // else the target stays as it was
        const QString nowhere = "/nonexistent-kestra/main.xml";
        QTest::newRow("hashing copy never overwrites") << "hashing" << "" << "old" << "" << false;
        // Its size is not what is read: the torn copy must leave nothing.
        QTest::newRow("hashing copy of a changing source") << "hashing" << "/proc/self/status" << "" << "" << false;
        QTest::newRow("replace from a missing source keeps the target") << "replace" << nowhere << "old" << "" << false;
        // The staging name beside the target must fit where the target does.
        QTest::newRow("name of 254 bytes in UTF-8 replaced")
            << "replace" << "" << "old" << QString(125, QChar(0x436)) + ".exe" << true;
        QTest::newRow("fetch-replace from a missing source keeps the copy")
            << "fetch-replace" << nowhere << "old" << "" << false;
        // Neither exists: a local copy fails with the copy text, a download attempt would fail with a network text
        // instead. A drive letter reads as a URL scheme, a share as a host.
        for (const char *path : {"C:\\kestra\\none\\main.xml", "//server/share/none/main.xml"})
            QTest::addRow("local path %s", path) << "fetch" << QString(path) << "" << "" << false;
    }

    void copy()
    {
        QFETCH(QString, op);
        QFETCH(QString, source);
        QFETCH(QString, target);
        QFETCH(QString, name);
        QFETCH(bool, copied);
        name = name.isEmpty() ? QStringLiteral("Программа.exe") : name;
        QTemporaryDir dir;
        const QString dst = dir.filePath("dst/" + name);
        QVERIFY(QDir().mkpath(dir.filePath("dst")));
        if (source.isEmpty()) {
            source = dir.filePath("src/" + name);
            QVERIFY(writeFile(source, "new"));
        }
        QVERIFY(target.isEmpty() || writeFile(dst, "old"));
        QString error;
        const bool ok = op == "hashing"   ? copyFileHashing(source, dst, nullptr, &error)
                        : op == "replace" ? replaceLocalFile(source, dst, &error)
                        : op == "fetch"   ? fetchFile(source, dst, &error)
                                          : replaceFile(source, dst, &error);
        QCOMPARE(ok, copied);
        // The copy's own text, naming what it wrote: beside a target replaced.
        const bool staged = op == "fetch-replace" || (op == "replace" && !target.isEmpty());
        const QString prefix = QStringLiteral("error copy file from %1 to %2 error ")
                                   .arg(source, staged ? stagingPath(dst) : dst);
        QVERIFY2(ok ? error.isEmpty() : error.startsWith(prefix) && error.size() > prefix.size(), qPrintable(error));
        QCOMPARE(readFile(dst), QByteArray(copied ? "new" : target.isEmpty() ? "" : "old"));
        // Nothing staged or torn is left beside the target.
        QCOMPARE(QDir(dir.filePath("dst")).entryList(QDir::Files | QDir::Hidden | QDir::System),
                 copied || !target.isEmpty() ? QStringList{name} : QStringList());
        QVERIFY(isStagingName(QFileInfo(stagingPath(dst)).fileName()));
    }

    void hash()
    {
        // SHA-1 digests are the pack builder's checksum files, held against sha1sum there.
        const auto algo = QCryptographicHash::Sha256;
        QTemporaryDir dir;
        const QString path = dir.filePath("f.bin"), missing = dir.filePath("missing.bin");
        const QByteArray content = patternBytes(5000001, 7); // a short last block
        QVERIFY(writeFile(path, content));
        QString error;
        QCOMPARE(calcHash(path, algo, &error), QString(QCryptographicHash::hash(content, algo).toHex()));
        QVERIFY(error.isEmpty() && calcHash(path, algo) == calcHash(path, algo, &error));
        QVERIFY(calcHash(missing, algo, &error).isEmpty() && !error.isEmpty());
        // A caller that takes no reason gets the failure logged instead.
        QTest::ignoreMessage(QtWarningMsg, qPrintable("error open file " + missing));
        QVERIFY(calcHash(missing, algo).isEmpty());
    }

    void sweepStaging()
    {
        QTemporaryDir dir;
        for (const char *name : {".keep.txt.kestra-new", "sub/deeper/.x.kestra-new", "keep.txt", "x.kestra-new"})
            QVERIFY(writeFile(dir.filePath(name), "x"));
        QVERIFY(QFile::setPermissions(dir.filePath(".keep.txt.kestra-new"), QFileDevice::ReadOwner));
        // A link named like a staging file is nobody's leftover: it stays.
        QVERIFY(QFile::link(dir.filePath("keep.txt"), dir.filePath("sub/.link.kestra-new")));
        QCOMPARE(sweepStagingFiles(dir.path()), 2);
        QCOMPARE(listFilesRecursive(dir.path()), QStringList({"keep.txt", "sub/.link.kestra-new", "x.kestra-new"}));
    }

    void refusedBeforeAnyRequest_data()
    {
        // A destination that cannot be written fails before a request goes to the live server; a replaced one is
        // fetched beside it, so the request goes out, and the file stays as it was.
        QTest::addColumn<bool>("replace");
        QTest::newRow("folder does not exist") << false;
        QTest::newRow("replace of an undeletable file keeps it") << true;
    }

    void refusedBeforeAnyRequest()
    {
        QFETCH(bool, replace);
        QTemporaryDir dir;
        QString why, error;
        // Root ignores permissions: the hold makes the entry immutable there.
        if (replace && !FileHold::isAvailable(dir.path(), &why, true))
            QSKIP(qPrintable("no way to hold a file here: " + why));
        const QString destination = dir.filePath(replace ? "held/doc.xml" : "no/such/doc.xml");
        FileHold hold;
        QVERIFY(!replace || writeFile(destination, "installed copy"));
        QVERIFY2(!replace || hold.hold(destination, FileHold::Entry, &why), qPrintable(why));
        ScriptedHttpServer server({ScriptedHttpServer::answer(200, "payload")});
        QVERIFY(server.start());
        const QString url = server.baseUrl() + "/doc.xml";
        QVERIFY(replace ? !replaceFile(url, destination, &error) : !fetchFile(url, destination, &error));
        const QString prefix = replace ? QStringLiteral("can't replace %1: ").arg(destination)
                                       : "can't open file " + destination + " error: ";
        QVERIFY2(error.startsWith(prefix) && error.size() > prefix.size(), qPrintable(error)); // a reason follows
        QVERIFY(!replace || readFile(destination) == "installed copy");
        QVERIFY(!QFileInfo::exists(stagingPath(destination)));
        QTest::qWait(200);
        QCOMPARE(server.requests().size(), replace ? 1 : 0);
    }

    void splitArguments_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("every blank ends an argument, empty ones too") << " a " << QStringList{"", "a", ""};
        QTest::newRow("quote inside an argument does not group") << "ab\"c d\"" << QStringList{"ab\"c", "d\""};
        QTest::newRow("unclosed quote runs to the end") << "\"a b" << QStringList{"a b"};
        QTest::newRow("quoted Cyrillic with a blank") << "\"Корвант Мед\" ok" << QStringList{"Корвант Мед", "ok"};
    }

    void splitArguments()
    {
        QFETCH(QString, text);
        QFETCH(QStringList, expected);
        QCOMPARE(::splitArguments(text, ' ', '"'), expected);
    }

    void projectIdsBodyIsUtf8()
    {
        // Keys are typed by users: a non-ASCII one goes as UTF-8. The body's form: tst_servers' POST row.
        QCOMPARE(::projectIdsBody({"ё"}), QByteArray("{\n\"projectIds\" : [\n\"\xd1\x91\"\n]\n}"));
    }
};

QTEST_GUILESS_MAIN(TestFileOps)
#include "tst_fileops.moc"
