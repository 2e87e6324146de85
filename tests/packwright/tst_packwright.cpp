// packwright as a program: real source trees, the real executable started as
// a process, the pack checked file by file against its sources.

#include "fileinfo.h"
#include "filehash.h"
#include "filehold.h"
#include "packwrightthread.h"
#include "signature.h"
#include "testfiles.h"
#include "testprocess.h"

#include <QDate>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QDomDocument>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <unistd.h>

namespace {

const QString kAllowed = QStringLiteral("zxcvbnmasdfghjklqwertyuiop1234567890._-+");

bool allowed(const QString &text)
{
    for (const QChar c : text) {
        if (!kAllowed.contains(c.toLower()))
            return false;
    }
    return true;
}

QString hashedName(const QString &fileName)
{
    const QFileInfo info(fileName);
    return sha1Hex(info.completeBaseName().toUtf8()).toUpper() + QLatin1Char('.') + info.suffix();
}

// One file the pack should list, worked out from the source tree alone.
struct Expected
{
    QString fileName;
    QString path;       // "" or "/a/b" with source folder names
    QString sourceFile; // absolute
    QStringList folders; // source folder names from the module root down
};

// Depth first: a folder's files sorted by name, then its subfolders sorted
// by name with their whole trees; hidden entries left out.
void expectedEntries(const QString &folder, const QString &path, const QStringList &folders,
                     QList<Expected> *out)
{
    QDir dir(folder);
    QStringList files = dir.entryList(QDir::Files | QDir::Hidden, QDir::NoSort);
    QStringList subs = dir.entryList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot, QDir::NoSort);
    const auto visible = [](const QString &name) { return !name.startsWith(QLatin1Char('.')); };
    files.erase(std::remove_if(files.begin(), files.end(), [&](const QString &n) { return !visible(n); }), files.end());
    subs.erase(std::remove_if(subs.begin(), subs.end(), [&](const QString &n) { return !visible(n); }), subs.end());
    std::sort(files.begin(), files.end());
    std::sort(subs.begin(), subs.end());
    for (const QString &name : qAsConst(files))
        out->append({name, path, dir.absoluteFilePath(name), folders});
    for (const QString &name : qAsConst(subs))
        expectedEntries(dir.absoluteFilePath(name), path + QLatin1Char('/') + name, folders + QStringList{name}, out);
}

// Every entry below root, folders with a trailing slash, hidden ones too.
QStringList listEntries(const QString &root)
{
    QStringList result;
    const QDir base(root);
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        result << base.relativeFilePath(it.filePath()) + (it.fileInfo().isDir() ? QStringLiteral("/") : QString());
    }
    result.sort();
    return result;
}

struct DocEntry
{
    QString fileName, hash, sha256, path, data;
    qint64 size = -1;
    QString isNeedDelete;
};

QList<DocEntry> documentEntries(const QDomDocument &doc)
{
    QList<DocEntry> result;
    const QDomNodeList nodes = doc.elementsByTagName(QStringLiteral("fileinfo"));
    for (int i = 0; i < nodes.count(); ++i) {
        const QDomElement e = nodes.at(i).toElement();
        DocEntry entry;
        entry.fileName = e.attribute(QStringLiteral("filename"));
        entry.hash = e.attribute(QStringLiteral("hash"));
        entry.sha256 = e.attribute(QStringLiteral("sha256"));
        entry.size = e.attribute(QStringLiteral("size")).toLongLong();
        entry.isNeedDelete = e.attribute(QStringLiteral("is_need_delete"));
        entry.path = e.firstChildElement(QStringLiteral("path")).text();
        entry.data = e.firstChildElement(QStringLiteral("data")).text();
        result.append(entry);
    }
    return result;
}

// Replaces what changes from build to build: time, pack guid and the
// generated names of folders whose own names are not allowed.
QString normalized(QString document)
{
    document.replace(QRegularExpression(QStringLiteral("datetime=\"[^\"]*\"")), QStringLiteral("datetime=\"T\""));
    document.replace(QRegularExpression(QStringLiteral("guid=\"[^\"]*\"")), QStringLiteral("guid=\"G\""));
    document.replace(QRegularExpression(QStringLiteral("[0-9a-f]{8}_[0-9a-f]{4}_[0-9a-f]{4}_[0-9a-f]{4}_[0-9a-f]{12}")),
                     QStringLiteral("GENERATED"));
    return document;
}

bool isRoot()
{
    return ::geteuid() == 0;
}

} // namespace

class TestPackwright : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_work.isValid());
        // A private copy of the program: its log folder lies beside it, so the
        // log is this test's alone.
        m_binDir = m_work.filePath(QStringLiteral("bin"));
        QVERIFY(QDir().mkpath(m_binDir));
        m_exe = m_binDir + QStringLiteral("/packwright");
        QVERIFY2(QFile::copy(QStringLiteral(KESTRA_BIN_DIR "/packwright"), m_exe), "packwright is not built");
        // The publisher's key pair, made as a publisher makes it.
        m_key = m_work.filePath(QStringLiteral("publisher"));
        QCOMPARE(run({"--new-key", m_key}), 0);
        m_key += QStringLiteral(".key");
    }

    void init()
    {
        QDir(m_binDir + QStringLiteral("/logs")).removeRecursively();
        m_output.clear();
        m_dir.reset(new QTemporaryDir);
        QVERIFY(m_dir->isValid());
        m_src = m_dir->filePath(QStringLiteral("src"));
        m_out = m_dir->filePath(QStringLiteral("out"));
    }

    void allowedNames_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("expected");
        QTest::newRow("empty") << QString() << true;
        QTest::newRow("lower letters and digits") << QStringLiteral("abc123") << true;
        QTest::newRow("capitals") << QStringLiteral("Report") << true;
        QTest::newRow("signs . _ - +") << QStringLiteral("a.b_c-d+e") << true;
        QTest::newRow("blank") << QStringLiteral("a b") << false;
        QTest::newRow("parenthesis") << QStringLiteral("a(1)") << false;
        QTest::newRow("cyrillic") << QStringLiteral("отчёт") << false;
        QTest::newRow("tilde") << QStringLiteral("a~1") << false;
        QTest::newRow("comma") << QStringLiteral("a,b") << false;
    }

    void allowedNames()
    {
        QFETCH(QString, text);
        QFETCH(bool, expected);
        PackwrightThread worker;
        QCOMPARE(worker.isAllowedName(text), expected);
    }

    void copyWithHash_data()
    {
        QTest::addColumn<QString>("sourceBase");
        QTest::addColumn<qint64>("size");
        const QString disk = QDir::tempPath();
        // Memory-backed /dev/shm is another file system than the temporary
        // folder on most systems: copies between them take the written path.
        const QString shm = QFileInfo(QStringLiteral("/dev/shm")).isWritable() ? QStringLiteral("/dev/shm") : disk;
        QTest::newRow("empty file") << disk << qint64(0);
        QTest::newRow("one byte") << disk << qint64(1);
        QTest::newRow("exactly one block") << disk << qint64(1 << 20);
        QTest::newRow("blocks and a tail") << disk << qint64(5 * (1 << 20) + 123);
        QTest::newRow("other file system, blocks and a tail") << shm << qint64(5 * (1 << 20) + 123);
    }

    void copyWithHash()
    {
        QFETCH(QString, sourceBase);
        QFETCH(qint64, size);
        QTemporaryDir sourceDir(sourceBase + QStringLiteral("/copy-source-XXXXXX"));
        QTemporaryDir targetDir;
        QVERIFY(sourceDir.isValid() && targetDir.isValid());
        const QByteArray content = patternBytes(size, 11);
        const QString source = sourceDir.filePath(QStringLiteral("in.bin"));
        const QString target = targetDir.filePath(QStringLiteral("out.bin"));
        QVERIFY(writeFile(source, content));

        QString hash;
        qint64 copied = -1;
        FileCopyFault fault = FileCopyFault::Destination;
        QString error;
        QVERIFY2(copyFileWithSha1(source, target, &hash, &copied, &fault, &error), qPrintable(error));
        QCOMPARE(fault, FileCopyFault::None);
        QCOMPARE(hash, sha1Hex(content));
        QCOMPARE(copied, size);
        QVERIFY(readFile(target) == content);
        QCOMPARE(fileSha1Hex(target), sha1Hex(content));

        // An existing target is never overwritten.
        QVERIFY(writeFile(source, "other"));
        QVERIFY(!copyFileWithSha1(source, target, &hash, &copied, &fault, &error));
        QCOMPARE(fault, FileCopyFault::Destination);
        QVERIFY(readFile(target) == content);
        // A missing source is a source fault and leaves nothing behind.
        QVERIFY(!copyFileWithSha1(source + QStringLiteral(".missing"), target + QStringLiteral(".2"), &hash, &copied,
                                  &fault, &error));
        QCOMPARE(fault, FileCopyFault::SourceOpen);
        QVERIFY(!QFileInfo::exists(target + QStringLiteral(".2")));
    }

    void noArgumentsEndsWithCodeOne()
    {
        // The worker fails before the main thread reaches its event loop; the
        // program must still end, with the worker's code.
        QCOMPARE(run({}), 1);
        QVERIFY2(logText().contains(QStringLiteral("empty module name.")), qPrintable(logText()));
        QVERIFY(logText().contains(QStringLiteral("pack builder is started, version 2.2.7 (")));
    }

    void rejectedParameters_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("message");
        const QString src = QStringLiteral("@SRC@");
        const QString out = QStringLiteral("@OUT@");
        QTest::newRow("no module") << QStringList{"-f", src, "-o", out} << QStringLiteral("empty module name.");
        QTest::newRow("no source") << QStringList{"-m", "m", "-o", out} << QStringLiteral("empty source path");
        QTest::newRow("missing source") << QStringList{"-m", "m", "-f", "@SRC@/nowhere", "-o", out}
                                        << QStringLiteral("source path: @SRC@/nowhere not found.");
        QTest::newRow("no output") << QStringList{"-m", "m", "-f", src} << QStringLiteral("empty output path");
        QTest::newRow("output below a file") << QStringList{"-m", "m", "-f", src, "-o", "@SRC@/a.txt/out"}
                                             << QStringLiteral("can't create output path: @SRC@/a.txt/out");
        QTest::newRow("module leaving the output") << QStringList{"-m", "../m", "-f", src, "-o", out}
                                                   << QStringLiteral("bad module name: ../m");
        QTest::newRow("absolute module") << QStringList{"-m", "/tmp/m", "-f", src, "-o", out}
                                         << QStringLiteral("bad module name: /tmp/m");
        QTest::newRow("flag without value at the end") << QStringList{"-f", src, "-o", out, "-m"}
                                                       << QStringLiteral("empty module name.");
        QTest::newRow("missing signing key") << QStringList{"-m", "m", "-f", src, "-o", out, "-k", "@SRC@/no.key"}
                                             << QStringLiteral("bad private key: can't open key @SRC@/no.key");
        QTest::newRow("signing key not a key") << QStringList{"-m", "m", "-f", src, "-o", out, "-k", "@SRC@/a.txt"}
                                               << QStringLiteral("is not a private key without pass phrase");
        QTest::newRow("public key given as the signing key")
            << QStringList{"-m", "m", "-f", src, "-o", out, "-k", "@KEY@.pub"}
            << QStringLiteral("is not a private key without pass phrase");
        QTest::newRow("expiry in the past")
            << QStringList{"-m", "m", "-f", src, "-o", out, "-k", "@KEY@.key", "--expires", "2020-01-01T00:00:00Z"}
            << QStringLiteral("bad expiry (days from now or a future UTC time): 2020-01-01T00:00:00Z");
        QTest::newRow("expiry without a key") << QStringList{"-m", "m", "-f", src, "-o", out, "--expires", "30"}
                                              << QStringLiteral("--expires without a private key (-k)");
        QTest::newRow("signing a document without a key") << QStringList{"--sign", "@SRC@/a.txt"}
                                                          << QStringLiteral("no private key (-k) to sign with");
        QTest::newRow("signing a missing document") << QStringList{"--sign", "@SRC@/no.xml", "-k", "@KEY@.key"}
                                                    << QStringLiteral("document to sign: @SRC@/no.xml not found.");
    }

    void rejectedParameters()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, message);
        QVERIFY(writeFile(m_src + QStringLiteral("/a.txt"), "a"));
        const QString key = m_key.chopped(4);
        for (QString &argument : arguments)
            argument.replace(QStringLiteral("@SRC@"), m_src).replace(QStringLiteral("@OUT@"), m_out).replace("@KEY@", key);
        message.replace(QStringLiteral("@SRC@"), m_src);

        QCOMPARE(run(arguments), 1);
        QVERIFY2(logText().contains(QStringLiteral("Critical ")) && logText().contains(message), qPrintable(logText()));
        // Nothing was written: no output, no signature, no folder outside the output.
        QVERIFY(!QFileInfo::exists(m_out));
        QCOMPARE(listEntries(m_src), QStringList{"a.txt"});
        QVERIFY(!QFileInfo::exists(m_dir->filePath(QStringLiteral("m"))));
    }

    void laterFlagWins()
    {
        QVERIFY(writeFile(m_src + QStringLiteral("/a.txt"), "a"));
        QCOMPARE(run({"-m", "first", "-f", m_src, "-o", m_out, "-m", "second"}), 0);
        QVERIFY(QFileInfo::exists(m_out + QStringLiteral("/second/a.txt")));
        QVERIFY(!QFileInfo::exists(m_out + QStringLiteral("/first")));
        QCOMPARE(loadDocument(m_out)
                     .documentElement()
                     .firstChildElement("modules")
                     .firstChildElement("infoaboutmodule")
                     .attribute("name"),
                 QStringLiteral("second"));
    }

    void versionOption()
    {
        QCOMPARE(run({"--version"}), 0);
        QVERIFY2(m_output.trimmed().endsWith("2.2.7.0"), m_output.constData());
    }

    void keyPair()
    {
        // The pair of initTestCase: a private key for its owner alone, which
        // openssl reads, and its public half as one base64 line.
        const QString base = m_key.chopped(4);
        QCOMPARE(runProcess(QStringLiteral("stat"), {"-c", "%a", m_key}).output, QByteArray("600\n"));
        const QByteArray line = readFile(base + QStringLiteral(".pub"));
        QVERIFY2(QRegularExpression(QStringLiteral("^[A-Za-z0-9+/]{43}=\\n$")).match(QString::fromLatin1(line)).hasMatch(),
                 line.constData());
        const ProcessResult half = runProcess(QStringLiteral("bash"),
            {"-c", "openssl pkey -in \"$0\" -pubout -outform DER | tail -c 32 | base64", m_key});
        QVERIFY2(half.ok(), half.output.constData());
        QCOMPARE(half.output, line);

        // A key is never replaced.
        const QByteArray before = readFile(m_key);
        QCOMPARE(run({"--new-key", base}), 4);
        QVERIFY2(logText().contains(QStringLiteral("already exists, not replaced")), qPrintable(logText()));
        QCOMPARE(readFile(m_key), before);

        // openssl, not our own verifier, accepts what --sign wrote.
        QVERIFY(writeFile(m_src + QStringLiteral("/projects.xml"), "<projects/>\n"));
        QCOMPARE(run({"--sign", m_src + QStringLiteral("/projects.xml"), "-k", m_key}), 0);
        const ProcessResult check = runProcess(QStringLiteral("bash"),
            {"-c", "cd \"$0\" && head -n -1 projects.sig >part && tail -n 1 projects.sig | cut -d' ' -f2 | base64 -d >sig"
                   " && openssl pkey -in \"$1\" -pubout >pub.pem"
                   " && openssl pkeyutl -verify -pubin -inkey pub.pem -rawin -in part -sigfile sig",
             m_src, m_key});
        QVERIFY2(check.ok(), check.output.constData());
    }

    void signatures_data()
    {
        QTest::addColumn<QString>("document"); // "pack" (built with -k) or "project" (signed with --sign)
        QTest::addColumn<QString>("change");
        QTest::addColumn<int>("fault");
        const auto row = [](const char *name, const char *document, const char *change, SignatureFault fault) {
            QTest::newRow(name) << QString::fromLatin1(document) << QString::fromLatin1(change) << int(fault);
        };
        row("signed pack verifies", "pack", "", SignatureFault::None);
        row("signed project document verifies", "project", "", SignatureFault::None);
        row("signed pack with an expiry verifies", "pack", "expiry", SignatureFault::None);
        row("a byte changed in the document", "pack", "document byte", SignatureFault::DocumentMismatch);
        row("a byte appended to the project document", "project", "document longer", SignatureFault::DocumentMismatch);
        row("envelope of another document", "project", "renamed", SignatureFault::DocumentMismatch);
        row("signed by another key", "pack", "other key", SignatureFault::UntrustedKey);
        row("a signed line edited", "pack", "edited line", SignatureFault::BadSignature);
        row("expiry in the past", "pack", "expired", SignatureFault::Expired);
        row("unknown field", "pack", "unknown field", SignatureFault::Malformed);
        row("field given twice", "pack", "field twice", SignatureFault::Malformed);
        row("field missing", "pack", "field missing", SignatureFault::Malformed);
        row("fields out of order", "pack", "out of order", SignatureFault::Malformed);
        row("over-long envelope", "pack", "over-long", SignatureFault::Malformed);
        row("bad base64", "pack", "bad base64", SignatureFault::Malformed);
        row("carriage returns", "pack", "carriage returns", SignatureFault::Malformed);
        row("unsigned rebuild leaves no signature", "pack", "unsigned rebuild", SignatureFault::Malformed);
    }

    void signatures()
    {
        QFETCH(QString, document);
        QFETCH(QString, change);
        QFETCH(int, fault);
        QVERIFY(writeFile(m_src + QStringLiteral("/a.txt"), "alpha\n"));
        QString path = m_out + QStringLiteral("/update_fileinfo.xml");
        const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-1);
        if (document == QLatin1String("pack")) {
            const QStringList expiry = change == QLatin1String("expiry") ? QStringList{"--expires", "30"} : QStringList();
            QCOMPARE(run(QStringList{"-m", "m", "-f", m_src, "-o", m_out, "-k", m_key} + expiry), 0);
        } else {
            path = m_out + QStringLiteral("/projects.xml");
            QVERIFY(writeFile(path, "<projects/>\n"));
            QCOMPARE(run({"--sign", path, "-k", m_key}), 0);
        }
        const QString sig = signatureFilePath(path);
        QVERIFY(QFileInfo(sig).isFile());
        QByteArray privateKey, publicKey, otherPrivate, otherPublic, nextPrivate, nextPublic;
        QVERIFY(loadSigningKey(m_key, &privateKey, &publicKey));
        QVERIFY(generateSigningKeyPair(&otherPrivate, &otherPublic));
        QVERIFY(generateSigningKeyPair(&nextPrivate, &nextPublic));
        QByteArray doc = readFile(path);
        QByteArray envelope = readFile(sig);
        const auto edit = [&envelope](const char *pattern, const char *replacement) {
            envelope = QString::fromUtf8(envelope)
                           .replace(QRegularExpression(QLatin1String(pattern)), QLatin1String(replacement))
                           .toUtf8();
        };
        QCOMPARE(envelope.contains("\nexpires "), change == QLatin1String("expiry"));
        const QString name = QFileInfo(path).fileName();
        const QDateTime now = QDateTime::currentDateTimeUtc();
        if (change == QLatin1String("document byte"))
            doc[doc.size() / 2] = doc.at(doc.size() / 2) ^ 1;
        else if (change == QLatin1String("document longer"))
            doc += ' ';
        else if (change == QLatin1String("renamed"))
            path = m_out + QStringLiteral("/other.xml");
        else if (change == QLatin1String("other key"))
            envelope = makeSignatureEnvelope(name, doc, otherPrivate, now);
        else if (change == QLatin1String("edited line"))
            envelope.replace("signed 2", "signed 1");
        else if (change == QLatin1String("expired"))
            envelope = makeSignatureEnvelope(name, doc, privateKey, now.addDays(-2), now.addDays(-1));
        else if (change == QLatin1String("unknown field"))
            envelope.replace("\nsize ", "\ncomment x\nsize ");
        else if (change == QLatin1String("field twice"))
            envelope.replace("\nkey ", "\ndocument " + name.toUtf8() + "\nkey ");
        else if (change == QLatin1String("field missing"))
            edit("\nsha256 [^\n]*", "");
        else if (change == QLatin1String("out of order"))
            edit("\n(size [^\n]*)\n(sha256 [^\n]*)", "\n\\2\n\\1");
        else if (change == QLatin1String("over-long"))
            envelope.replace("document ", "document " + QByteArray(kMaxSignatureEnvelopeSize, 'a'));
        else if (change == QLatin1String("bad base64"))
            envelope.replace("\nsignature ", "\nsignature =");
        else if (change == QLatin1String("carriage returns"))
            envelope.replace("\n", "\r\n");
        else if (change == QLatin1String("unsigned rebuild"))
            QCOMPARE(build("m"), 0);
        if (change != QLatin1String("unsigned rebuild")) {
            QVERIFY(writeFile(path, doc));
            QVERIFY(writeFile(signatureFilePath(path), envelope));
        }

        // Two trusted keys, as while a publisher changes keys.
        QDateTime signedAt;
        QString reason;
        SignatureFault got = SignatureFault::Malformed;
        const bool ok = verifyDocumentFile(path, {nextPublic, publicKey}, &signedAt, &reason, &got);
        QCOMPARE(int(got), fault);
        QCOMPARE(ok, fault == int(SignatureFault::None));
        QCOMPARE(reason.isEmpty(), ok);
        if (ok)
            QVERIFY(signedAt >= before && signedAt <= QDateTime::currentDateTimeUtc());
    }

    void documentMatchesTree()
    {
        const QString xmllint = findExecutable({QStringLiteral("/usr/bin/xmllint")});
        QVERIFY2(!xmllint.isEmpty(), "xmllint (libxml2-utils) is missing");
        QCOMPARE(buildRichTree(m_src), QString());
        QCOMPARE(build("mod"), 0);
        const ProcessResult lint = runProcess(xmllint, {"--noout", m_out + QStringLiteral("/update_fileinfo.xml")});
        QVERIFY2(lint.ok(), lint.output.constData());
        // The checksum file holds what sha1sum says of the document.
        const ProcessResult sum = runProcess(QStringLiteral("sha1sum"), {"update_fileinfo.xml"}, 30000, m_out);
        QVERIFY(sum.ok());
        const QByteArray digest = sum.output.left(40); // "<hex>  update_fileinfo.xml\n"
        QVERIFY(QRegularExpression(QStringLiteral("^[0-9a-f]{40}$")).match(QString::fromLatin1(digest)).hasMatch());
        QCOMPARE(readFile(m_out + QStringLiteral("/update_fileinfo.sha1")), digest + "\tupdate_fileinfo.xml");

        QList<Expected> expected;
        expectedEntries(m_src, QString(), {}, &expected);
        const QDomDocument doc = loadDocument(m_out);
        const QList<DocEntry> entries = documentEntries(doc);
        QCOMPARE(entries.size(), expected.size());

        QSet<QString> dataFiles;
        QMap<QString, QString> storedFolderOf; // source folder path -> data folder text
        for (int i = 0; i < entries.size(); ++i) {
            const DocEntry &entry = entries.at(i);
            const Expected &want = expected.at(i);
            const QByteArray content = readFile(want.sourceFile);
            QCOMPARE(entry.fileName, want.fileName);
            QCOMPARE(entry.path, want.path);
            QCOMPARE(entry.hash, sha1Hex(content));
            const ProcessResult sha256 = runProcess(QStringLiteral("sha256sum"), {want.sourceFile});
            QVERIFY(sha256.ok());
            QCOMPARE(entry.sha256, QString::fromLatin1(sha256.output.left(64)));
            QCOMPARE(entry.size, qint64(content.size()));
            QCOMPARE(entry.isNeedDelete, QStringLiteral("0"));

            // data = module / stored folder names / stored file name
            const QStringList segments = entry.data.split(QLatin1Char('/'));
            QCOMPARE(segments.size(), want.folders.size() + 2);
            QCOMPARE(segments.first(), QStringLiteral("mod"));
            for (int level = 0; level < want.folders.size(); ++level) {
                const QString folder = want.folders.at(level);
                const QString stored = segments.at(level + 1);
                if (allowed(folder))
                    QCOMPARE(stored, folder);
                else
                    QVERIFY2(QRegularExpression(QStringLiteral("^[0-9a-f_]{36}$")).match(stored).hasMatch()
                                 && stored.count(QLatin1Char('_')) == 4,
                             qPrintable(stored));
                // All files of one source folder share one data folder.
                const QString key = want.folders.mid(0, level + 1).join(QLatin1Char('/'));
                const QString prefix = segments.mid(0, level + 2).join(QLatin1Char('/'));
                QCOMPARE(storedFolderOf.value(key, prefix), prefix);
                storedFolderOf.insert(key, prefix);
            }
            const QString storedFile = segments.last();
            if (allowed(QFileInfo(want.fileName).completeBaseName()))
                QCOMPARE(storedFile, want.fileName);
            else
                QCOMPARE(storedFile, hashedName(want.fileName));

            // The stored copy is byte for byte the source.
            const QString copy = m_out + QLatin1Char('/') + entry.data;
            QVERIFY2(QFileInfo(copy).isFile(), qPrintable(copy));
            QVERIFY2(readFile(copy) == content, qPrintable(copy));
            dataFiles.insert(entry.data);
        }
        QCOMPARE(storedFolderOf.value(QStringLiteral("sub")), QStringLiteral("mod/sub"));

        // The data folder holds exactly the listed files and, as folders, the
        // source's visible folders, empty ones included; nothing hidden.
        const QStringList present = listEntries(m_out + QStringLiteral("/mod"));
        int folders = 0;
        for (const QString &entry : present) {
            QVERIFY2(!entry.startsWith(QLatin1Char('.')) && !entry.contains(QStringLiteral("/.")), qPrintable(entry));
            if (entry.endsWith(QLatin1Char('/')))
                ++folders;
            else
                QVERIFY2(dataFiles.contains(QStringLiteral("mod/") + entry), qPrintable(entry));
        }
        QCOMPARE(present.size() - folders, dataFiles.size());
        // sub, sub/deeper, the cyrillic folder, its inner, "Sub2 (old)", "x]]>y",
        // empty, empty/emptier and the empty cyrillic folder.
        QCOMPARE(folders, 9);
        QVERIFY(QFileInfo(m_out + QStringLiteral("/mod/empty/emptier")).isDir());
        // The output holds the pack and nothing else, no staging leftovers.
        QCOMPARE(QDir(m_out).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name),
                 QStringList({"mod", "update_fileinfo.sha1", "update_fileinfo.xml"}));

        // The updater's reader sees the same entries.
        QList<FileInfoEntry> read;
        QString error;
        QVERIFY2(readFileInfoDocument(m_out + QStringLiteral("/update_fileinfo.xml"), &read, &error),
                 qPrintable(error));
        QCOMPARE(read.size(), entries.size());
        for (int i = 0; i < read.size(); ++i) {
            QCOMPARE(read.at(i).fileName, entries.at(i).fileName);
            QCOMPARE(read.at(i).hash, entries.at(i).hash);
            QCOMPARE(read.at(i).size, entries.at(i).size);
            QCOMPARE(read.at(i).isNeedDelete, 0);
            QCOMPARE(read.at(i).path, entries.at(i).path);
            QCOMPARE(read.at(i).data, entries.at(i).data);
        }
    }

    void documentFormat()
    {
        QVERIFY(writeFile(m_src + QStringLiteral("/a.txt"), "alpha\n"));
        QVERIFY(writeFile(m_src + QStringLiteral("/b.txt"), "beta\n"));
        QVERIFY(writeFile(m_src + QStringLiteral("/sub/c.txt"), "gamma\n"));
        const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-1);
        QCOMPARE(build("m"), 0);
        const QDateTime after = QDateTime::currentDateTimeUtc().addSecs(1);

        QByteArray raw;
        const QDomDocument doc = loadDocument(m_out, &raw);
        const QDomElement root = doc.documentElement();
        const QString datetime = root.attribute(QStringLiteral("datetime"));
        QVERIFY2(QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ$")).match(datetime).hasMatch(),
                 qPrintable(datetime));
        const QDateTime built = QDateTime::fromString(datetime, Qt::ISODate);
        QVERIFY(built >= before.addMSecs(-before.time().msec()) && built <= after);
        const QString guid = root.attribute(QStringLiteral("guid"));
        QVERIFY2(
            QRegularExpression(QStringLiteral("^\\{[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\\}$"))
                .match(guid)
                .hasMatch(),
            qPrintable(guid));

        // Byte for byte: declaration, element and attribute order, four-space
        // indentation, CDATA sections. Only time and guid vary.
        QString expected = QString::fromUtf8(readFile(QStringLiteral(KESTRA_TEST_DATA_DIR "/simple_pack.xml")));
        QVERIFY(!expected.isEmpty());
        expected.replace(QStringLiteral("@DATETIME@"), datetime).replace(QStringLiteral("@GUID@"), guid);
        QCOMPARE(QString::fromUtf8(raw), expected);
    }

    void emptySource()
    {
        QVERIFY(QDir().mkpath(m_src + QStringLiteral("/only/empty")));
        QCOMPARE(build("m"), 0);
        const QDomDocument doc = loadDocument(m_out);
        const QDomElement files =
            doc.documentElement().firstChildElement("modules").firstChildElement("infoaboutmodule").firstChildElement("files");
        QVERIFY(!files.isNull());
        QVERIFY(!files.hasChildNodes());
        QVERIFY(QFileInfo(m_out + QStringLiteral("/m/only/empty")).isDir());
    }

    void hashedNameCollisions_data()
    {
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QStringList>("stored"); // in document order
        const QString h = hashedName(QStringLiteral("ж.txt")).chopped(4); // upper-case hex of "ж"
        // Latin names sort before Cyrillic ones, so the literal file comes first.
        QTest::newRow("hashed name taken by an earlier file")
            << QStringList{h + ".txt", QStringLiteral("ж.txt")} << QStringList{h + ".txt", h + "_1.txt"};
        QTest::newRow("hashed name and _1 taken")
            << QStringList{h + ".txt", h + "_1.txt", QStringLiteral("ж.txt")}
            << QStringList{h + ".txt", h + "_1.txt", h + "_2.txt"};
        QTest::newRow("other extension does not collide")
            << QStringList{h + ".txt", QStringLiteral("ж.dat")} << QStringList{h + ".txt", h + ".dat"};
        // "(" sorts before the hex digits: the hashed copy is stored first and the
        // file that has that very name must not overwrite it.
        const QString p = hashedName(QStringLiteral("(p).txt")).chopped(4);
        QTest::newRow("own name taken by an earlier hashed file")
            << QStringList{QStringLiteral("(p).txt"), p + ".txt"} << QStringList{p + ".txt", p + "_1.txt"};
        QTest::newRow("names differing only in case")
            << QStringList{"A.txt", "a.txt"} << QStringList{"A.txt", "a_1.txt"};
    }

    void hashedNameCollisions()
    {
        QFETCH(QStringList, names);
        QFETCH(QStringList, stored);
        for (const QString &name : names)
            QVERIFY(writeFile(m_src + QLatin1Char('/') + name, name.toUtf8()));
        QCOMPARE(build("m"), 0);
        const QList<DocEntry> entries = documentEntries(loadDocument(m_out));
        QCOMPARE(entries.size(), stored.size());
        for (int i = 0; i < entries.size(); ++i) {
            QCOMPARE(entries.at(i).data, QStringLiteral("m/") + stored.at(i));
            // Each stored copy still holds its own source file.
            QCOMPARE(readFile(m_out + QLatin1Char('/') + entries.at(i).data), entries.at(i).fileName.toUtf8());
        }
    }

    void rebuildChangesOnlyVolatileParts()
    {
        QCOMPARE(buildRichTree(m_src), QString());
        QCOMPARE(build("mod"), 0);
        QByteArray first;
        const QDomDocument firstDoc = loadDocument(m_out, &first);
        QTest::qSleep(1100); // let the time stamp move on
        QCOMPARE(build("mod"), 0);
        QByteArray second;
        const QDomDocument secondDoc = loadDocument(m_out, &second);

        QVERIFY(firstDoc.documentElement().attribute("guid") != secondDoc.documentElement().attribute("guid"));
        QVERIFY(firstDoc.documentElement().attribute("datetime") != secondDoc.documentElement().attribute("datetime"));
        QVERIFY(first != second);
        QCOMPARE(normalized(QString::fromUtf8(second)), normalized(QString::fromUtf8(first)));
        // Generated folder names are fresh.
        const auto generated = [](const QByteArray &doc) {
            QStringList names;
            auto it = QRegularExpression(QStringLiteral("[0-9a-f]{8}_[0-9a-f]{4}_[0-9a-f]{4}_[0-9a-f]{4}_[0-9a-f]{12}"))
                          .globalMatch(QString::fromUtf8(doc));
            while (it.hasNext())
                names << it.next().captured();
            names.removeDuplicates();
            return names;
        };
        QVERIFY(!generated(first).isEmpty());
        for (const QString &name : generated(second))
            QVERIFY(!generated(first).contains(name));
        // And only the new pack's data folder remains.
        for (const DocEntry &entry : documentEntries(secondDoc))
            QVERIFY(QFileInfo(m_out + QLatin1Char('/') + entry.data).isFile());
        for (const QString &name : generated(first))
            QVERIFY2(!listEntries(m_out).join('\n').contains(name), qPrintable(name));
    }

    void rebuildDropsDeletedFiles()
    {
        const QString other = m_dir->filePath(QStringLiteral("other"));
        QVERIFY(writeFile(m_src + QStringLiteral("/keep.txt"), "keep"));
        QVERIFY(writeFile(m_src + QStringLiteral("/gone.txt"), "gone"));
        QVERIFY(writeFile(m_src + QStringLiteral("/old/inner.txt"), "inner"));
        QVERIFY(writeFile(other + QStringLiteral("/o.txt"), "other module"));
        QCOMPARE(build("m"), 0);
        QCOMPARE(run({"-m", "n", "-f", other, "-o", m_out}), 0);
        QVERIFY(QFileInfo(m_out + QStringLiteral("/m/gone.txt")).isFile());

        QVERIFY(QFile::remove(m_src + QStringLiteral("/gone.txt")));
        QVERIFY(QDir(m_src + QStringLiteral("/old")).removeRecursively());
        QVERIFY(writeFile(m_src + QStringLiteral("/keep.txt"), "changed"));
        QCOMPARE(build("m"), 0);

        QCOMPARE(listEntries(m_out + QStringLiteral("/m")), QStringList{"keep.txt"});
        QCOMPARE(readFile(m_out + QStringLiteral("/m/keep.txt")), QByteArray("changed"));
        const QList<DocEntry> entries = documentEntries(loadDocument(m_out));
        QCOMPARE(entries.size(), 1);
        QCOMPARE(entries.first().data, QStringLiteral("m/keep.txt"));
        // The other module's data stays; the top-level files are the last build's.
        QCOMPARE(readFile(m_out + QStringLiteral("/n/o.txt")), QByteArray("other module"));
    }

    void hiddenFilesOfPublishedPackSurvive()
    {
        QVERIFY(writeFile(m_src + QStringLiteral("/a.txt"), "a"));
        QVERIFY(writeFile(m_src + QStringLiteral("/sub/b.txt"), "b"));
        QCOMPARE(build("m"), 0);
        // What an administrator put beside the published data (access rules).
        QVERIFY(writeFile(m_out + QStringLiteral("/m/.htaccess"), "Options -Indexes\n"));
        QVERIFY(writeFile(m_out + QStringLiteral("/m/sub/.meta/info"), "kept"));
        QCOMPARE(build("m"), 0);
        QCOMPARE(readFile(m_out + QStringLiteral("/m/.htaccess")), QByteArray("Options -Indexes\n"));
        QCOMPARE(readFile(m_out + QStringLiteral("/m/sub/.meta/info")), QByteArray("kept"));
        QCOMPARE(readFile(m_out + QStringLiteral("/m/sub/b.txt")), QByteArray("b"));
    }

    void unreadableSourceKeepsOutput()
    {
        QCOMPARE(buildRichTree(m_src), QString());
        QCOMPARE(build("mod"), 0);
        const QString snapshot = snapshotOutput();
        QVERIFY(!snapshot.isEmpty());

        // A file nobody may read. Permissions stop every user but root, and root
        // only while it runs without the capabilities that bypass them; so as
        // root the program runs under setpriv with those two capabilities gone
        // from its bounding and inheritable sets, as a plain user it runs as is.
        const QString locked = m_src + QStringLiteral("/sub/locked.dat");
        QVERIFY(writeFile(locked, "secret"));
        QVERIFY(QFile::setPermissions(locked, QFileDevice::Permissions()));
        QStringList prefix;
        if (isRoot()) {
            const QString setpriv
                = findExecutable({QStringLiteral("/usr/bin/setpriv"), QStringLiteral("/bin/setpriv")});
            QVERIFY2(!setpriv.isEmpty(), "setpriv (util-linux) is missing");
            prefix = QStringList{setpriv, QStringLiteral("--inh-caps=-dac_override,-dac_read_search"),
                      QStringLiteral("--bounding-set=-dac_override,-dac_read_search")};
            // Where capabilities cannot be dropped (a container without them)
            // setpriv itself fails, or the file stays readable: nothing to test.
            if (QProcess::execute(prefix.first(), prefix.mid(1) + QStringList{QStringLiteral("/bin/true")}) != 0)
                QSKIP("setpriv cannot drop capabilities here");
            if (runProcess(prefix.first(), prefix.mid(1) + QStringList{"/bin/cat", locked}).ok())
                QSKIP("the file stays readable without the capabilities");
        }
        QCOMPARE(build("mod", prefix), 2);
        QVERIFY2(logText().contains(QStringLiteral("can't open file: ") + locked + QStringLiteral(" to read only, error: ")),
                 qPrintable(logText()));
        QCOMPARE(listEntries(m_out), listEntries(snapshot));
        QString why;
        QVERIFY2(treesEqual(m_out, snapshot, &why), qPrintable(why));
        QFile::setPermissions(locked, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    }

    void outputFailureKeepsOldPack_data()
    {
        QTest::addColumn<QString>("held");
        QTest::addColumn<int>("kind");
        // Nothing can be created in the output: the staging folder fails.
        QTest::newRow("output folder locked") << QString() << int(FileHold::Contents);
        // The new data folder is already in place when the old document refuses
        // to move: the swap must be undone.
        QTest::newRow("published document locked") << QStringLiteral("update_fileinfo.xml") << int(FileHold::Entry);
        QTest::newRow("published data folder locked") << QStringLiteral("mod") << int(FileHold::Entry);
    }

    void outputFailureKeepsOldPack()
    {
        QFETCH(QString, held);
        QFETCH(int, kind);
        QString why;
        if (!FileHold::isAvailable(m_dir->path(), &why))
            QSKIP(qPrintable(QStringLiteral("entries cannot be held here: ") + why));
        if (!isRoot() && kind == FileHold::Entry)
            QSKIP("a read-only output folder already blocks the staging folder; covered by the first row");

        QCOMPARE(buildRichTree(m_src), QString());
        QCOMPARE(build("mod"), 0);
        const QString snapshot = snapshotOutput();
        QVERIFY(!snapshot.isEmpty());
        QVERIFY(writeFile(m_src + QStringLiteral("/new.txt"), "new file"));
        QVERIFY(QFile::remove(m_src + QStringLiteral("/a.txt")));

        FileHold hold;
        QVERIFY2(hold.hold(held.isEmpty() ? m_out : m_out + QLatin1Char('/') + held, FileHold::Kind(kind), &why),
                 qPrintable(why));
        const int code = build("mod");
        QVERIFY(hold.release());
        QCOMPARE(code, 4);
        QCOMPARE(listEntries(m_out), listEntries(snapshot));
        QVERIFY2(treesEqual(m_out, snapshot, &why), qPrintable(why));

        // Once the output can be written again the same build goes through.
        QCOMPARE(build("mod"), 0);
        QCOMPARE(readFile(m_out + QStringLiteral("/mod/new.txt")), QByteArray("new file"));
        QVERIFY(!QFileInfo::exists(m_out + QStringLiteral("/mod/a.txt")));
    }

    void unpackableSource_data()
    {
        QTest::addColumn<QString>("entry");
        QTest::addColumn<QString>("message");
        // Names the workstations could not store as they are, or that would
        // reach outside the module folder there: the updater's reader refuses
        // such documents, so no such pack is built.
        QTest::newRow("colon in a file name") << "sub/a:b.txt"
                                              << "file name can't be packed: @SRC@/sub/a:b.txt";
        QTest::newRow("backslash in a folder name") << "up\\down/x.txt"
                                                    << "folder name can't be packed: @SRC@/up\\down";
        QTest::newRow("link back to an ancestor folder") << QString() << "folder loop at: @SRC@/sub/loop";
    }

    void unpackableSource()
    {
        QFETCH(QString, entry);
        QFETCH(QString, message);
        QVERIFY(writeFile(m_src + QStringLiteral("/sub/ok.txt"), "ok"));
        QCOMPARE(build("m"), 0);
        const QStringList before = listEntries(m_out);
        if (entry.isEmpty())
            QVERIFY(QFile::link(m_src, m_src + QStringLiteral("/sub/loop")));
        else
            QVERIFY(writeFile(m_src + QLatin1Char('/') + entry, "x"));
        QCOMPARE(build("m"), 2);
        message.replace(QStringLiteral("@SRC@"), m_src);
        QVERIFY2(logText().contains(message), qPrintable(logText()));
        QCOMPARE(listEntries(m_out), before);
    }

    void logFolderUnwritable()
    {
        // The program still runs when its log folder cannot be made; each
        // failure is told on standard output instead.
        QString why;
        if (!FileHold::isAvailable(m_dir->path(), &why))
            QSKIP(qPrintable(QStringLiteral("folders cannot be held here: ") + why));
        const QString bin = m_dir->filePath(QStringLiteral("bin"));
        QVERIFY(QDir().mkpath(bin));
        QVERIFY(QFile::copy(m_exe, bin + QStringLiteral("/packwright")));
        FileHold hold;
        QVERIFY2(hold.hold(bin, FileHold::Contents, &why), qPrintable(why));
        const ProcessResult run = runProcess(bin + QStringLiteral("/packwright"), {}, 30000);
        hold.release();
        QVERIFY(run.finished);
        QCOMPARE(run.exitCode, 1);
        const QByteArray &out = run.output;
        QVERIFY2(out.contains("error create mkdir  logs \n"), out.constData());
        QVERIFY2(out.contains("error create mkdir  "
                              + QDate::currentDate().toString(QStringLiteral("yyyy_MM")).toLatin1() + " \n"),
                 out.constData());
        QVERIFY(!QFileInfo::exists(bin + QStringLiteral("/logs")));
    }

private:
    int run(const QStringList &arguments, const QStringList &prefix = {});
    // Packs m_src as module into m_out.
    int build(const QString &module, const QStringList &prefix = {})
    {
        return run({QStringLiteral("-m"), module, QStringLiteral("-f"), m_src, QStringLiteral("-o"), m_out}, prefix);
    }

    // A copy of m_out as it is now (empty when the copy failed).
    QString snapshotOutput()
    {
        const QString snapshot = m_dir->filePath(QStringLiteral("snapshot"));
        return QProcess::execute(QStringLiteral("cp"), {"-a", m_out, snapshot}) == 0 ? snapshot : QString();
    }

    QString logText() const;
    QString buildRichTree(const QString &root);
    QDomDocument loadDocument(const QString &output, QByteArray *raw = nullptr);

    QTemporaryDir m_work;
    QScopedPointer<QTemporaryDir> m_dir; // each test's own: source m_src, output m_out
    QString m_src;
    QString m_out;
    QString m_binDir;
    QString m_exe;
    QString m_key; // the publisher's private key, made by packwright --new-key
    QByteArray m_output;
};

int TestPackwright::run(const QStringList &arguments, const QStringList &prefix)
{
    const QStringList command = prefix + QStringList{m_exe} + arguments;
    const ProcessResult result = runProcess(command.first(), command.mid(1), 120000);
    m_output = result.output;
    return result.exitCode;
}

QString TestPackwright::logText() const
{
    // The log lies in logs/<yyyy_MM>/packwright_<date>.txt; at midnight a run
    // may span two files, so read them all.
    QString text;
    QDirIterator it(m_binDir + QStringLiteral("/logs"), {QStringLiteral("packwright_*.txt")}, QDir::Files,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        text += QString::fromLocal8Bit(readFile(it.next()));
    return text;
}

QString TestPackwright::buildRichTree(const QString &root)
{
    const QList<QPair<QString, QByteArray>> files = {
        {QStringLiteral("a.txt"), "alpha\n"},
        {QStringLiteral("b.txt"), "beta\n"},
        {QStringLiteral("Report.PDF"), "%PDF-1.4 capitals keep their name\n"},
        {QStringLiteral("UPPER.TXT"), "upper\n"},
        {QStringLiteral("Makefile"), "all:\n"},
        {QStringLiteral("archive.tar.gz"), patternBytes(70000, 3)},
        {QStringLiteral("my file.tar.gz"), "blank in the base name\n"},
        {QStringLiteral("Отчёт (2024).docx"), "cyrillic, blank, parentheses\n"},
        {QStringLiteral("скобки(1)"), "no extension, needs a hashed name\n"},
        {QStringLiteral("plus+minus-under_score.1"), "every allowed sign\n"},
        {QStringLiteral("empty.dat"), QByteArray()},
        {QStringLiteral(".hidden"), "never packed\n"},
        {QStringLiteral("sub/c.txt"), "gamma\n"},
        {QStringLiteral("sub/deeper/big.bin"), patternBytes(3 * 1024 * 1024 + 17, 7)},
        {QStringLiteral("sub/.cache/skip.txt"), "hidden folder\n"},
        {QStringLiteral("Папка с пробелом/файл.txt"), "in a folder with a generated name\n"},
        {QStringLiteral("Папка с пробелом/inner/x.txt"), "nested below a generated name\n"},
        {QStringLiteral("Sub2 (old)/Z.txt"), "z\n"},
        {QStringLiteral(".git/config"), "hidden folder\n"},
        // The CDATA terminator in a folder name must not break the section.
        {QStringLiteral("x]]>y/z.txt"), "z"},
    };
    for (const auto &file : files) {
        if (!writeFile(root + QLatin1Char('/') + file.first, file.second))
            return QStringLiteral("can't write ") + file.first;
    }
    if (!QDir().mkpath(root + QStringLiteral("/empty/emptier")) || !QDir().mkpath(root + QStringLiteral("/Пустая")))
        return QStringLiteral("can't make empty folders");
    return QString();
}

QDomDocument TestPackwright::loadDocument(const QString &output, QByteArray *raw)
{
    const QByteArray bytes = readFile(output + QStringLiteral("/update_fileinfo.xml"));
    if (raw)
        *raw = bytes;
    QDomDocument doc;
    QString error;
    if (!doc.setContent(bytes, &error))
        qWarning() << "document does not parse:" << error;
    return doc;
}

QTEST_GUILESS_MAIN(TestPackwright)
#include "tst_packwright.moc"
