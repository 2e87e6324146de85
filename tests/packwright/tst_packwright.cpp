// packwright as a program: real source trees, the real executable started as
// a process, the pack checked file by file against its sources.

#include "filehold.h"
#include "signature.h"
#include "testfiles.h"
#include "testprocess.h"

#include <QDomDocument>
#include <QtTest>

#include <unistd.h>

namespace {

// Every entry below root, folders with a trailing slash, hidden ones too.
QStringList listEntries(const QString &root)
{
    QStringList result;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString rel = QDir(root).relativeFilePath(it.next());
        result << (it.fileInfo().isDir() ? rel + QLatin1Char('/') : rel);
    }
    result.sort();
    return result;
}

QStringList generatedNames(const QByteArray &doc)
{
    QStringList names;
    static const QRegularExpression generated("[0-9a-f]{8}_[0-9a-f]{4}_[0-9a-f]{4}_[0-9a-f]{4}_[0-9a-f]{12}");
    for (auto it = generated.globalMatch(QString::fromUtf8(doc)); it.hasNext();)
        names << it.next().captured();
    names.removeDuplicates();
    return names;
}

// What changes from build to build made fixed: time, pack guid, and the
// generated folder names numbered in order of first appearance.
QByteArray numbered(QByteArray document)
{
    const QStringList names = generatedNames(document);
    for (int i = 0; i < names.size(); ++i)
        document.replace(names.at(i).toLatin1(), "@G" + QByteArray::number(i + 1) + "@");
    QString text = QString::fromUtf8(document);
    // Only the exact forms are replaced: any other form differs from the reviewed copy.
    text.replace(QRegularExpression("datetime=\"\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ\""), "datetime=\"@DATETIME@\"");
    text.replace(QRegularExpression("guid=\"\\{[0-9a-f]{8}(-[0-9a-f]{4}){3}-[0-9a-f]{12}\\}\""), "guid=\"@GUID@\"");
    return text.toUtf8();
}

} // namespace

class TestPackwright : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // A private copy of the program: its log folder lies beside it, so the log is this test's alone.
        m_binDir = m_work.filePath(QStringLiteral("bin"));
        m_exe = m_binDir + QStringLiteral("/packwright");
        QVERIFY2(QDir().mkpath(m_binDir) && QFile::copy(KESTRA_BIN_DIR "/packwright", m_exe), "packwright is not built");
        // The publisher's key pair, made as a publisher makes it: a private key for its owner alone, never replaced.
        m_key = m_work.filePath(QStringLiteral("publisher"));
        QCOMPARE(run({"--new-key", m_key}), 0);
        m_key += QStringLiteral(".key");
        QCOMPARE(runProcess(QStringLiteral("stat"), {"-c", "%a", m_key}).output, QByteArray("600\n"));
        const QByteArray before = readFile(m_key);
        QCOMPARE(run({"--new-key", m_key.chopped(4)}), 4);
        QCOMPARE(readFile(m_key), before);
    }

    void init()
    {
        QDir(m_binDir + QStringLiteral("/logs")).removeRecursively();
        m_dir.reset(new QTemporaryDir);
        m_src = m_dir->filePath(QStringLiteral("src"));
        m_out = m_dir->filePath(QStringLiteral("out"));
    }

    void signatures_data()
    {
        QTest::addColumn<QString>("document"); // "pack" (built with -k), "pack expiring" or "project" (--sign)
        QTest::addColumn<QString>("pattern");  // edit of the envelope, or "unsigned rebuild"
        QTest::addColumn<QString>("replacement");
        QTest::addColumn<bool>("verifies"); // else refused as malformed
        QTest::newRow("signed project document verifies") << "project" << "" << "" << true;
        QTest::newRow("signed pack with an expiry verifies") << "pack expiring" << "" << "" << true;
        // Changed documents and forged signatures are the install rows'; these are the envelopes only a hostile
        // or broken publisher writes.
        QTest::newRow("unknown field") << "pack" << "\nsize " << "\ncomment x\nsize " << false;
        QTest::newRow("over-long envelope") << "pack" << "document "
                                            << "document " + QString(kMaxSignatureEnvelopeSize, 'a') << false;
        QTest::newRow("unsigned rebuild leaves no signature") << "pack" << "unsigned rebuild" << "" << false;
    }

    void signatures()
    {
        QFETCH(QString, document);
        QFETCH(QString, pattern);
        QFETCH(QString, replacement);
        QFETCH(bool, verifies);
        QVERIFY(writeFile(src("a.txt"), "alpha\n"));
        const QString path = out(document == "project" ? "projects.xml" : "update_fileinfo.xml");
        const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-1);
        const bool expiring = document.endsWith(QLatin1String("expiring"));
        if (document == "project")
            QVERIFY(writeFile(path, "<projects/>\n") && run({"--sign", path, "-k", m_key}) == 0);
        else
            QCOMPARE(build("m", QStringList{"-k", m_key} + (expiring ? QStringList{"--expires", "30"} : QStringList())), 0);
        QString envelope = QString::fromUtf8(readFile(signatureFilePath(path)));
        QCOMPARE(envelope.contains("\nexpires "), expiring);
        if (pattern == "unsigned rebuild")
            QCOMPARE(build("m"), 0);
        else // an edit that misses leaves a valid signature, and the row fails
            QVERIFY(writeFile(signatureFilePath(path),
                              envelope.replace(QRegularExpression(pattern), replacement).toUtf8()));
        QByteArray privateKey, publicKey;
        QVERIFY(loadSigningKey(m_key, &privateKey, &publicKey));
        QDateTime signedAt;
        QString reason;
        SignatureFault got = SignatureFault::Malformed;
        const bool ok = verifyDocumentFile(path, {publicKey}, &signedAt, &reason, &got);
        QCOMPARE(int(got), int(verifies ? SignatureFault::None : SignatureFault::Malformed));
        QCOMPARE(ok, verifies);
        QCOMPARE(reason.isEmpty(), ok);
        QVERIFY(!ok || (signedAt >= before && signedAt <= QDateTime::currentDateTimeUtc()));
    }

    void documentMatchesTree()
    {
        QCOMPARE(buildRichTree(), QString());
        const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-1);
        QCOMPARE(build("mod"), 0);
        const QByteArray first = readFile(out("update_fileinfo.xml"));
        QDomDocument doc;
        QVERIFY(doc.setContent(first));
        const QDateTime built = QDateTime::fromString(doc.documentElement().attribute("datetime"), Qt::ISODate);
        QVERIFY(built >= before.addMSecs(-before.time().msec()) && built <= QDateTime::currentDateTimeUtc().addSecs(1));
        // Byte for byte the reviewed document: declaration, element and attribute order, four-space indentation,
        // CDATA sections, depth-first order with files before folders, hashed names for names the workstations
        // may not store, one generated name per such folder.
        QCOMPARE(QString::fromUtf8(numbered(first)), QString::fromUtf8(readFile(KESTRA_TEST_DATA_DIR "/rich_pack.xml")));
        QCOMPARE(storedAsSources(doc), QString());
        // The source's visible folders are there, empty ones included.
        QCOMPARE(listEntries(out("mod")).filter(QRegularExpression("/$")).size(), 9);
        QVERIFY(QFileInfo(out("mod/empty/emptier")).isDir());
        // The output holds the pack and nothing else, no staging leftovers.
        QCOMPARE(QDir(m_out).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name),
                 QStringList({"mod", "update_fileinfo.sha1", "update_fileinfo.xml"}));

        // Access rules an administrator put beside the published data and another module's pack survive a rebuild.
        QVERIFY(writeFile(out("mod/.htaccess"), "Options -Indexes\n") && writeFile(out("mod/sub/.meta/info"), "kept"));
        QVERIFY(writeFile(m_dir->filePath(QStringLiteral("other/o.txt")), "other module"));
        QCOMPARE(run({"-m", "n", "-f", m_dir->filePath(QStringLiteral("other")), "-o", m_out}), 0);
        // A rebuild changes only time, guid and the generated names, which are fresh; only the new data folders remain.
        QTest::qSleep(1100);
        QCOMPARE(build("mod"), 0);
        const QByteArray second = readFile(out("update_fileinfo.xml"));
        QVERIFY(first != second && doc.setContent(second));
        QCOMPARE(numbered(second), numbered(first));
        const QString after = listEntries(m_out).join('\n');
        for (const QString &name : generatedNames(first))
            QVERIFY2(!generatedNames(second).contains(name) && !after.contains(name), qPrintable(name));
        QCOMPARE(storedAsSources(doc, {".htaccess", "sub/.meta/info"}), QString());
        QVERIFY(readFile(out("mod/.htaccess")) + readFile(out("n/o.txt")) == "Options -Indexes\nother module");
    }

    void failedBuildKeepsOldPack_data()
    {
        // "arguments <split at blanks>", "unreadable", "hold <entry>", "entry <name>" or "loop"
        QTest::addColumn<QString>("fault");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("message"); // of a critical line in the log
        const auto refused = [](const char *name, const QString &arguments, const QString &message) {
            QTest::newRow(name) << "arguments " + arguments << 1 << message;
        };
        const QString m = "-m mod -f @SRC@ -o @OUT@ ";
        // The worker fails before the main thread reaches its event loop; the program must still end with its code.
        refused("no arguments", "", "empty module name.");
        refused("missing source", "-m mod -f @SRC@/nowhere -o @OUT@", "source path: @SRC@/nowhere not found.");
        refused("output below a file", "-m mod -f @SRC@ -o @SRC@/b.txt/o", "can't create output path: @SRC@/b.txt/o");
        refused("module leaving the output", "-m ../mod -f @SRC@ -o @OUT@", "bad module name: ../mod");
        refused("public key given as the signing key", m + "-k @KEY@.pub", "is not a private key without pass phrase");
        refused("expiry in the past", m + "-k @KEY@.key --expires 2020-01-01T00:00:00Z",
                "bad expiry (days from now or a future UTC time): 2020-01-01T00:00:00Z");
        QTest::newRow("unreadable source file") << "unreadable" << 2
                                                << "can't open file: @SRC@/sub/locked.dat to read only, error: ";
        // Nothing can be created in the output: the staging folder fails.
        QTest::newRow("output folder locked") << "hold " << 4 << "can't create staging folder in output path: @OUT@";
        // The new data folder is already in place when the old document refuses to move: the swap must be undone.
        QTest::newRow("published document locked") << "hold update_fileinfo.xml" << 4
                                                   << "can't copy pack to output path: @OUT@";
        // Names the workstations could not store as they are, or that would reach outside the module folder there:
        // the updater's reader refuses such documents, so no such pack is built.
        QTest::newRow("colon in a file name") << "entry sub/a:b.txt" << 2
                                              << "file name can't be packed: @SRC@/sub/a:b.txt";
        QTest::newRow("link back to an ancestor folder") << "loop" << 2 << "folder loop at: @SRC@/sub/loop";
    }

    void failedBuildKeepsOldPack()
    {
        QFETCH(QString, fault);
        QFETCH(int, code);
        QFETCH(QString, message);
        QString why;
        const bool hold = fault.startsWith(QLatin1String("hold "));
        if (hold && !FileHold::isAvailable(m_dir->path(), &why))
            QSKIP(qPrintable(QStringLiteral("entries cannot be held here: ") + why));
        if (hold && ::geteuid() != 0 && fault != QLatin1String("hold "))
            QSKIP("a read-only output folder already blocks the staging folder; covered by the first hold row");
        QCOMPARE(buildRichTree(), QString());
        QCOMPARE(build("mod"), 0);
        const QString snapshot = m_dir->filePath(QStringLiteral("snapshot"));
        QVERIFY(runProcess(QStringLiteral("cp"), {"-a", m_out, snapshot}).ok());
        QVERIFY(writeFile(src("new.txt"), "new file") && QFile::remove(src("a.txt")));
        QDir(m_binDir + QStringLiteral("/logs")).removeRecursively();

        QStringList arguments{"-m", "mod", "-f", m_src, "-o", m_out};
        FileHold holder;
        if (hold) {
            const QString held = fault.mid(5);
            QVERIFY2(holder.hold(held.isEmpty() ? m_out : out(held), held.isEmpty() ? FileHold::Contents : FileHold::Entry,
                                 &why), qPrintable(why));
        } else if (fault == QLatin1String("loop")) {
            QVERIFY(QFile::link(m_src, src("sub/loop")));
        } else if (fault.startsWith(QLatin1String("entry "))) {
            QVERIFY(writeFile(src(fault.mid(6)), "x"));
        } else if (fault.startsWith(QLatin1String("arguments "))) {
            arguments = fault.mid(10).replace("@SRC@", m_src).replace("@OUT@", m_out).replace("@KEY@", m_key.chopped(4))
                            .split(' ', Qt::SkipEmptyParts);
        } else {
            // Refused to every reader, root included, whatever its capabilities: a write-only kernel attribute.
            const QString refusing = QStringLiteral("/sys/bus/platform/drivers_probe");
            if (!QFileInfo(refusing).isFile() || QFile(refusing).open(QIODevice::ReadOnly))
                QSKIP("no kernel attribute here refuses to be read");
            QVERIFY(QFile::link(refusing, src("sub/locked.dat")));
        }
        QCOMPARE(run(arguments), code);
        holder.release();
        message.replace("@SRC@", m_src).replace("@OUT@", m_out);
        const QRegularExpression critical("^Critical .*" + QRegularExpression::escape(message),
                                          QRegularExpression::MultilineOption);
        QVERIFY2(logText().contains(critical), qPrintable(logText()));
        QCOMPARE(listEntries(m_out), listEntries(snapshot));
        QVERIFY2(treesEqual(m_out, snapshot, &why), qPrintable(why));
    }

    void logFolderUnwritable()
    {
        // The program still runs when its log folder cannot be made; each failure and message goes to standard output.
        QString why;
        if (!FileHold::isAvailable(m_dir->path(), &why))
            QSKIP(qPrintable(QStringLiteral("folders cannot be held here: ") + why));
        FileHold hold;
        QVERIFY2(hold.hold(m_binDir, FileHold::Contents, &why), qPrintable(why));
        const ProcessResult run = runProcess(m_exe, {}, 30000);
        hold.release();
        QCOMPARE(run.exitCode, 1);
        QVERIFY(!QFileInfo::exists(m_binDir + QStringLiteral("/logs")));
        // Each message that found no log file leaves one line: the device's error text.
        QStringList lines = QString::fromUtf8(run.output).split('\n', Qt::SkipEmptyParts);
        const QString month = QDate::currentDate().toString(QStringLiteral("yyyy_MM"));
        QVERIFY2(lines.contains("error create mkdir  logs ") && lines.contains("error create mkdir  " + month + " "),
                 run.output.constData());
        lines = lines.filter(QRegularExpression("^(?!error create mkdir)"));
        QVERIFY2(lines.size() >= 2 && lines.count(lines.first()) == lines.size() && lines.first().endsWith(' ')
                     && !lines.first().trimmed().isEmpty(), run.output.constData());
    }

private:
    QString src(const QString &relative) const { return m_src + QLatin1Char('/') + relative; }
    QString out(const QString &relative) const { return m_out + QLatin1Char('/') + relative; }

    int run(const QStringList &arguments) { return runProcess(m_exe, arguments, 120000).exitCode; }
    int build(const QString &module, const QStringList &more = {})
    {
        return run(QStringList{"-m", module, "-f", m_src, "-o", m_out} + more);
    }

    // Each stored copy is byte for byte its source, which exists; the data folder holds exactly those and the
    // names in data. Empty, or what differs.
    QString storedAsSources(const QDomDocument &doc, QStringList data = {}) const
    {
        const QDomNodeList nodes = doc.elementsByTagName(QStringLiteral("fileinfo"));
        for (int i = 0; i < nodes.count(); ++i) {
            const QDomElement e = nodes.at(i).toElement();
            const QString stored = e.firstChildElement("data").text();
            const QString source = m_src + e.firstChildElement("path").text() + '/' + e.attribute("filename");
            if (!QFileInfo(source).isFile() || readFile(out(stored)) != readFile(source))
                return stored;
            data << stored.mid(4);
        }
        data.sort();
        const QStringList files = listFilesRecursive(out("mod"));
        return files == data ? QString() : files.join(',');
    }

    QString logText() const
    {
        // The log lies in logs/<yyyy_MM>/packwright_<date>.txt; at midnight a run may span two files: all are read.
        QString text;
        const QString logs = m_binDir + QStringLiteral("/logs/");
        for (const QString &file : listFilesRecursive(logs).filter(QRegularExpression("(^|/)packwright_[^/]*\\.txt$")))
            text += QString::fromLocal8Bit(readFile(logs + file));
        return text;
    }

    QString buildRichTree()
    {
        const QList<QPair<QString, QByteArray>> files = {
            {"a.txt", "alpha\n"}, {"b.txt", "beta\n"}, {"Report.PDF", "%PDF-1.4 capitals keep their name\n"},
            {"UPPER.TXT", "upper\n"}, {"Makefile", "all:\n"}, {"archive.tar.gz", patternBytes(70000, 3)},
            {"my file.tar.gz", "blank in the base name\n"}, {"Отчёт (2024).docx", "cyrillic, blank, parentheses\n"},
            {"скобки(1)", "no extension, needs a hashed name\n"}, {"plus+minus-under_score.1", "every allowed sign\n"},
            {"empty.dat", QByteArray()}, {".hidden", "never packed\n"}, {"sub/c.txt", "gamma\n"},
            {"sub/deeper/big.bin", patternBytes(3 * 1024 * 1024 + 17, 7)}, {"sub/.cache/skip.txt", "hidden folder\n"},
            {"Папка с пробелом/файл.txt", "in a folder with a generated name\n"},
            {"Папка с пробелом/inner/x.txt", "nested below a generated name\n"}, {"Sub2 (old)/Z.txt", "z\n"},
            {".git/config", "hidden folder\n"},
            // The CDATA terminator in a folder name must not break the section.
            {"x]]>y/z.txt", "z"},
            // Stored names taken already: by a file of that very name, sorted
            // before the hashed one or after it, or by one differing in case only.
            {"6C190C23240564F531BBE2A022CBE800BB8C808D.txt", "literal hashed name"},
            {"ж.txt", "needs the hashed name, stored with _1"}, {"(p).txt", "hashed, stored first"},
            {"470BD3968C9A8B1792364C26EB2DC49138350566.txt", "its own name taken, stored with _1"},
            {"A.txt", "capital"},
        };
        for (const auto &file : files)
            if (!writeFile(src(file.first), file.second))
                return QStringLiteral("can't write ") + file.first;
        const bool folders = QDir().mkpath(src("empty/emptier")) && QDir().mkpath(src("Пустая"));
        return folders ? QString() : QStringLiteral("can't make empty folders");
    }

    QTemporaryDir m_work;
    QScopedPointer<QTemporaryDir> m_dir; // each test's own: source m_src, output m_out
    QString m_src, m_out, m_binDir, m_exe;
    QString m_key; // the publisher's private key, made by packwright --new-key
};

QTEST_GUILESS_MAIN(TestPackwright)
#include "tst_packwright.moc"
