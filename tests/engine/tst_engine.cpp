// End-to-end runs of the install engine: the headless driver runs one
// InstallThread against packs built by packwright, served from a plain
// folder or by nginx on 127.0.0.1, into an isolated install root.

#include "nginxserver.h"
#include "packworld.h"
#include "signature.h"
#include "testfiles.h"
#include "testprocess.h"

#include <QDomDocument>
#include <QtTest>

#include <algorithm>

namespace {

const QString kViewerGuid = QStringLiteral("11111111-1111-4111-8111-111111111111");
const QString kArchiveGuid = QStringLiteral("22222222-2222-4222-8222-222222222222");
const QString kDicomGuid = QStringLiteral("33333333-3333-4333-8333-333333333333");
const QString kCodecGuid = QStringLiteral("44444444-4444-4444-8444-444444444444");
const QString kReportsGuid = QStringLiteral("55555555-5555-4555-8555-555555555555");

QString u(const char *text) { return QString::fromUtf8(text); }
bool is(const QString &value, const char *text) { return value == QLatin1String(text); }
QByteArray sha256Hex(const QByteArray &bytes) { return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex(); }

struct DriverLine
{
    QString kind; // message, error, status, progress, finished
    QString text;
    int nDo = 0, nAll = 0;
};

struct DriverRun
{
    bool finished = false; // exited 0 after printing "finished"
    bool selfUpdatePending = false;
    QList<DriverLine> progress;
    QList<DriverLine> lines; // every other one
    QByteArray rawOutput;

    QStringList texts(const QString &kind) const
    {
        QStringList result;
        for (const DriverLine &line : lines)
            result << (line.kind == kind ? QStringList{line.text} : QStringList());
        return result;
    }
    QStringList errors() const { return texts("error"); }
    QString errorText() const { return errors().join(" | "); }
    bool hasError(const QString &fragment) const { return !errors().filter(fragment).isEmpty(); }
    bool hasMessage(const QString &text) const { return texts("message").contains(text); }
    bool oneError(const QString &start, const QString &end = QString(), const QString &inside = QString()) const
    {
        const QString one = errors().value(0);
        return errors().size() == 1 && one.startsWith(start) && one.endsWith(end) && one.contains(inside);
    }

    static DriverRun parse(const QByteArray &output, int exitCode)
    {
        DriverRun result;
        result.rawOutput = output;
        for (const QByteArray &row : output.split('\n')) {
            const QStringList parts = QString::fromUtf8(row).split(QLatin1Char('\t'));
            if (parts.first() == QLatin1String("progress"))
                result.progress << DriverLine{parts.first(), parts.mid(3).join('\t'), parts.value(1).toInt(),
                                              parts.value(2).toInt()};
            else if (!row.isEmpty())
                result.lines << DriverLine{parts.first(), parts.mid(1).join('\t')};
            if (parts.first() == QLatin1String("finished")) {
                result.finished = exitCode == 0;
                result.selfUpdatePending = row.endsWith("=1");
            }
        }
        return result;
    }
};

#define VERIFY_FINISHED(run) QVERIFY2((run).finished, (run).rawOutput.constData())
#define VERIFY_CLEAN_RUN(run)                                                                                          \
    do {                                                                                                               \
        VERIFY_FINISHED(run);                                                                                          \
        QVERIFY2((run).errors().isEmpty(), qPrintable((run).errorText()));                                             \
    } while (false)
#define VERIFY_ONE_ERROR(run, ...) QVERIFY2((run).oneError(__VA_ARGS__), qPrintable((run).errorText()))
#define VERIFY_WHY(condition) do { QString why; QVERIFY2(condition, qPrintable(why)); } while (false)
#define SKIP_WITHOUT_NGINX() do { if (!NginxServer::isAvailable()) QSKIP("nginx is not installed"); } while (false)

// Names as long as a file system takes (255): the engine's temporary and
// staging names must not add to them.
const QString kLongName = QString(241, QLatin1Char('n')) + QStringLiteral(".txt");
const QString kLongestName = QString(250, QLatin1Char('m')) + QStringLiteral(".dll");

QMap<QString, QByteArray> viewerRelease1()
{
    return {{kLongName, "long 1\n"}, {"lib/" + kLongestName, "longest 1\n"}, {"viewer.exe", patternBytes(70000, 1)},
            {"lib/core.so", patternBytes(40000, 2)}, {u("Отчёт (1).txt"), "report template 1\n"},
            {"sub dir/x.cfg", "x=1\n"}, {"old.txt", "to be deleted\n"}, {"settings.ini", "[main]\nfrom=release1\n"}};
}

QMap<QString, QByteArray> viewerRelease2()
{
    QMap<QString, QByteArray> files = viewerRelease1();
    files.insert("viewer.exe", patternBytes(90000, 11));  // changed size
    files.insert("lib/core.so", patternBytes(40000, 12)); // same size, other bytes
    files.insert("added/new.txt", "new in 2\n");           // added
    files.insert("settings.ini", "[main]\nfrom=release2\n"); // protected
    files.insert(kLongName, "long 2\n");                     // same size, other bytes
    files.insert("lib/" + kLongestName, "longest 2\n");
    files.remove("old.txt"); // dropped: marked for deletion in the document
    return files;
}

// The clinic: viewer needs dicom (necessary, which needs codec, necessary) and reports (optional); archive alone.
QList<ModuleSpec> clinic(bool release2 = false)
{
    return {
        {"viewer", "project", kViewerGuid, u("Просмотр"), {{"dicom", true}, {"reports", false}}, "viewer.exe",
         "-a :config:", {"settings.ini"}, release2 ? viewerRelease2() : viewerRelease1(), {}},
        {"dicom", "plugin", kDicomGuid, "DICOM", {{"codec", true}}, {}, {}, {},
         {{"d.dll", patternBytes(5000, 3)}, {"data/tables.bin", patternBytes(300000, 4)}}, {}},
        {"codec", "plugin", kCodecGuid, u("Кодек"), {}, {}, {}, {}, {{"c.dll", patternBytes(8000, 5)}}, {}},
        {"reports", "config", kReportsGuid, u("Отчёты"), {}, {}, {}, {}, {{"r.txt", "reports\n"}}, {}},
        {"archive", "project", kArchiveGuid, u("Архив"), {}, "archive.exe", {}, {},
         {{"archive.exe", patternBytes(3000, 6)}, {"db/a.dat", patternBytes(2000, 7)}}, {}},
    };
}

// A program of one pack made from files (no tree of its own on the server).
ModuleSpec programm(const QString &name, const QString &guid, const QMap<QString, QByteArray> &files = {})
{
    return {name, QStringLiteral("project"), guid, name, {}, {}, {}, {}, files, {}};
}

QString entryXml(const QString &fileName, const QString &path, const QString &data, const QByteArray &content,
                 int needDelete = 0)
{
    return QStringLiteral("<fileinfo filename=\"%1\" hash=\"%2\" size=\"%3\" is_need_delete=\"%4\">"
                          "<path><![CDATA[%5]]></path><data><![CDATA[%6]]></data></fileinfo>\n")
        .arg(fileName.toHtmlEscaped(), sha1Hex(content), QString::number(content.size()), QString::number(needDelete),
             path, data);
}

QByteArray documentXml(const QString &entries)
{
    return ("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<updater_pack><modules><infoaboutmodule name=\"m\" "
            "is_required=\"0\"><files>\n" + entries + "</files></infoaboutmodule></modules><commands/></updater_pack>\n")
        .toUtf8();
}

// Signs document (its envelope beside it) as the publisher's packwright does at signedAt.
bool signAt(const QString &document, const QByteArray &privateKey, const QDateTime &signedAt,
            const QDateTime &expires = QDateTime())
{
    const QByteArray envelope = makeSignatureEnvelope(QFileInfo(document).fileName(), readFile(document), privateKey,
                                                      signedAt, expires);
    return !envelope.isEmpty() && writeFile(signatureFilePath(document), envelope);
}

QJsonObject findProgramm(const QJsonObject &registry, const QString &name)
{
    for (const QJsonValue &v : registry.value(QStringLiteral("programms")).toArray()) {
        if (v.toObject().value(QStringLiteral("programm_name")).toString() == name)
            return v.toObject();
    }
    return QJsonObject();
}

// Makes document's entry of the file good name evil instead (hashes and
// size), and puts evil in its data file: a forgery only a signature tells.
bool forgeEntry(const QString &document, const QString &dataFile, const QByteArray &good, const QByteArray &evil)
{
    QByteArray xml = readFile(document);
    const auto size = [](const QByteArray &bytes) { return "size=\"" + QByteArray::number(bytes.size()) + '"'; };
    if (xml.count(sha256Hex(good)) != 1 || xml.count(size(good)) != 1)
        return false;
    xml.replace(sha1Hex(good).toLatin1(), sha1Hex(evil).toLatin1()).replace(sha256Hex(good), sha256Hex(evil));
    return writeFile(document, xml.replace(size(good), size(evil))) && writeFile(dataFile, evil);
}

// An isolated installation: the install root (the driver copied into its updater folder, so the root the settings
// derive from the executable's folder is ours) beside the world's server and trees.
class EngineFixture : public PackWorld
{
public:
    // updaterFolder decides the flavour ("_dev" in it: a development installation); the driver's name the edition.
    bool init(const QString &updaterFolder = QStringLiteral("updater"))
    {
        setUpdaterDir(in(updaterFolder));
        QDir().mkpath(updaterDir());
        QDir().mkpath(serverDir());
        QDir().mkpath(mirror());
        return isValid() && QFile::copy(QStringLiteral(KESTRA_BIN_DIR "/installdriver"), driverPath())
               && QFile::setPermissions(driverPath(), QFile::permissions(driverPath()) | QFileDevice::ExeOwner);
    }
    // The modules published on a plain folder ("folder") or by nginx, and
    // config.ini admitting their programs and pointing at it.
    bool setUp(const QString &server = QStringLiteral("folder"), NginxServer *nginx = nullptr,
               const QList<ModuleSpec> &modules = clinic())
    {
        if (!init() || !publish(modules))
            return false;
        QString source;
        if (server.startsWith(QLatin1String("nginx"))) {
            nginx->setRoot(serverDir());
            if (is(server, "nginx-slow"))
                nginx->addServerDirective(QStringLiteral("limit_rate 64k;"));
            if (!nginx->start())
                return false;
            source = nginx->baseUrl() + QStringLiteral("/project.xml");
        }
        return writeConfig(programmGuids(modules), QString(), source);
    }
    // Release 2 of viewer, the file it drops marked for deletion as a release engineer does.
    bool publishViewer2()
    {
        const QString document = server("packs/viewer/update_fileinfo.xml");
        if (!buildPack(clinic(true).first()))
            return false;
        QByteArray xml = readFile(document);
        const int end = xml.lastIndexOf("</files>");
        return end > 0 && writeFile(document, xml.insert(end, entryXml("old.txt", "", "", "to be deleted\n", 1).toUtf8()));
    }
    QString installRoot() const { return root() + QStringLiteral("/install"); }
    QString in(const QString &relative) const { return installRoot() + '/' + relative; }
    QString server(const QString &relative) const { return serverDir() + '/' + relative; }
    QString mirror() const { return root() + QStringLiteral("/mirror"); }
    // Each module's folder under installRoot holds exactly its tree in trees (and the extra names).
    bool installed(const QStringList &modules, QString *why, const PackWorld *trees = nullptr,
                   const QStringList &extra = {}) const
    {
        return std::all_of(modules.begin(), modules.end(), [&](const QString &module) {
            return moduleEquals(in(module), (trees ? trees : this)->treeDir(module), why, extra);
        });
    }
    QString driverPath() const { return updaterDir() + QStringLiteral("/installdriver"); }

    // TMPDIR of the driver; empty: the system's. On another file system than the install root, verified files are
    // copied beside their targets instead of moved.
    QString tempDir;
    qint64 fileSizeLimit = 0; // largest file the driver may write, in bytes; 0: no limit
    QString traceFile;        // the driver's flushes and renames are traced there; empty: not traced

    bool startDetached(QProcess *process, const QStringList &arguments) const
    {
        if (!tempDir.isEmpty()) {
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.insert(QStringLiteral("TMPDIR"), tempDir);
            process->setProcessEnvironment(environment);
        }
        const QStringList driver =
            QStringList{driverPath(), "--config", configPath(), "--installed", registryPath()} + arguments;
        if (!traceFile.isEmpty()) {
            // Every flush and rename of the driver and its threads, with the
            // path of each flushed file, in the order the system saw them.
            process->start("/usr/bin/strace", QStringList{"-f", "-y", "-qq", "-e", "signal=none", "-e",
                                                          "trace=fsync,fdatasync,syncfs,rename,renameat,renameat2", "-o",
                                                          traceFile} + driver);
        } else if (fileSizeLimit > 0) {
            // A full disk as one process meets it: SIGXFSZ ignored (which the
            // driver inherits), so a write past the limit fails with EFBIG.
            process->start("/bin/sh", QStringList{"-c", QStringLiteral("trap '' XFSZ; exec /usr/bin/prlimit --fsize=%1 "
                                                                       "\"$0\" \"$@\"").arg(fileSizeLimit)} + driver);
        } else {
            process->start(driver.first(), driver.mid(1));
        }
        return process->waitForStarted(10000);
    }

    DriverRun run(const QStringList &arguments, int timeoutMs = 120000) const
    {
        QProcess process;
        if (!startDetached(&process, arguments))
            return DriverRun();
        const bool inTime = process.waitForFinished(timeoutMs);
        if (!inTime) {
            process.kill();
            process.waitForFinished(5000);
        }
        const int code = inTime && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        DriverRun result = DriverRun::parse(process.readAllStandardOutput(), code);
        if (!result.finished)
            result.rawOutput += "\n(exit code " + QByteArray::number(code)
                                + (inTime ? ")\n" : ", killed after the time limit)\n") + process.readAllStandardError();
        return result;
    }
};

// A mirror refreshed from f's signed server; workstations that trust the publisher read it through the signed
// documents it keeps, older ones as before. forged: the mirror's file list of viewer names a file of its own.
void signedMirrorRoundTrip(EngineFixture &f, const QString &trust, bool forged)
{
    const QString mirror = f.mirror();
    const QString viewer = mirror + '/' + kViewerGuid;
    VERIFY_CLEAN_RUN(f.run({"--mirror", "--install-path", mirror, "--update", "viewer:dicom"}));
    for (const char *kept : {"project.xml", "project.sig"})
        QCOMPARE(readFile(mirror + "/upstream/" + kept), readFile(f.server(kept)));
    QCOMPARE(readFile(viewer + "/update_fileinfo.sig"), readFile(f.server("packs/viewer/update_fileinfo.sig")));
    QVERIFY(!forged || forgeEntry(viewer + "/mirror_fileinfo.xml", viewer + "/sub dir/x.cfg", "x=1\n", "forged\n"));
    for (const bool trusting : {false, true}) {
        EngineFixture g;
        QVERIFY(g.init() && g.writeConfig({kViewerGuid}, trusting ? trust : QString(), mirror + "/mirror.xml"));
        const DriverRun run = g.run({"--update", "viewer:dicom", "--change-config"});
        VERIFY_FINISHED(run);
        if (forged && trusting) {
            VERIFY_ONE_ERROR(run, u("Ошибка проверки документа"), u(", подпись"));
            // Nothing of the program was installed, nor what it needs.
            QCOMPARE(QDir(g.installRoot()).entryList(QDir::Dirs | QDir::NoDotAndDotDot), QStringList{"updater"});
            continue;
        }
        // An older updater cannot tell a forged list: hashes match it.
        QVERIFY2(run.errors().isEmpty(), run.rawOutput.constData());
        const QStringList kept = trusting ? QStringList{"update_fileinfo.sig"} : QStringList();
        VERIFY_WHY(g.installed({"dicom", "codec"}, &why, &f, kept));
        QCOMPARE(readFile(g.in("viewer/viewer.exe")), patternBytes(90000, 11));
    }
}

// Reads an strace log of flushes and renames: every file renamed into the module folder was flushed before, under
// the name it had then, or by a flush of the module folder's volume after it and before the record; the record
// itself was flushed before its rename, which came after every other file of the module.
void verifyFlushedBeforeRenamed(const QString &trace, const QString &moduleFolder)
{
    // A call another thread interrupted is logged in two parts; joined here, in the place where it returned.
    QMap<QString, QString> unfinished;
    QStringList calls;
    const QRegularExpression resumed("^(\\d+)\\s+<\\.\\.\\. \\w+ resumed>(.*)$");
    for (const QString &line : QString::fromUtf8(readFile(trace)).split('\n', Qt::SkipEmptyParts)) {
        const QRegularExpressionMatch match = resumed.match(line);
        if (line.endsWith(QLatin1String("<unfinished ...>")))
            unfinished.insert(line.section(' ', 0, 0), line.chopped(int(qstrlen("<unfinished ...>"))));
        else
            calls << (match.hasMatch() ? unfinished.take(match.captured(1)) + match.captured(2) : line);
    }
    const QRegularExpression flush("^\\d+\\s+(f(?:data)?sync|syncfs)\\(\\d+<(.*)>\\)\\s+= 0$");
    const QRegularExpression rename(
        "^\\d+\\s+rename(?:at2?)?\\((?:[^,]*, )?\"(.*)\", (?:[^,]*, )?\"(.*)\"(?:, \\w+)?\\)\\s+= 0$");
    QSet<QString> flushed;
    QStringList unflushed; // renamed in since the volume was last flushed
    int dataRenames = 0, recordAt = -1, lastDataAt = -1;
    for (int i = 0; i < calls.size(); ++i) {
        const QRegularExpressionMatch f = flush.match(calls.at(i));
        const QRegularExpressionMatch r = rename.match(calls.at(i));
        const QString to = QDir::cleanPath(r.captured(2));
        // A file is flushed under the system's own form of its path; a flush
        // of the module folder's volume covers all that was renamed in before.
        if (f.hasMatch() && is(f.captured(1), "syncfs") && QDir::cleanPath(f.captured(2)) == moduleFolder)
            unflushed.clear();
        else if (f.hasMatch())
            flushed.insert(f.captured(2));
        if (!r.hasMatch() || !to.startsWith(moduleFolder + '/'))
            continue;
        const bool flushedBefore = flushed.contains(QDir::cleanPath(r.captured(1)));
        if (to == moduleFolder + "/update_fileinfo.xml") {
            QVERIFY2(flushedBefore, qPrintable("record renamed unflushed: " + calls.at(i)));
            QVERIFY2(unflushed.isEmpty(), qPrintable("record renamed before these reached the disk:\n"
                                                     + unflushed.join('\n')));
            recordAt = i;
        } else {
            if (!flushedBefore)
                unflushed << calls.at(i);
            ++dataRenames;
            lastDataAt = i;
        }
    }
    QVERIFY2(dataRenames >= 5 && recordAt > lastDataAt, qPrintable(calls.join('\n')));
}

} // namespace

class TestEngine : public QObject
{
    Q_OBJECT

private slots:
    void installAndUpdate_data()
    {
        QTest::addColumn<QString>("tempDir");
        QTest::addColumn<QString>("variant"); // of the run that brings release 2
        // The file marked for deletion and a file replaced are read-only.
        QTest::newRow("plain folder, read-only files") << QString() << "read-only";
        // After a power cut the record must never say "new" for bytes not on the disk. Moved from the temporary
        // folder, the files are flushed with the whole volume once; copied beside the target first, each copy is
        // flushed before its rename.
        if (QFileInfo::exists(QStringLiteral("/usr/bin/strace"))) {
            QTest::newRow("plain folder, traced: files flushed before the record, record last")
                << QString() << "traced";
            if (QFileInfo(QStringLiteral("/dev/shm")).isWritable())
                QTest::newRow("plain folder, temporary folder on tmpfs, traced: files flushed before the record, record last")
                    << "/dev/shm" << "traced";
        }
        // The disk fills up while the registry is written: an error, the program not reported updated, registry kept.
        QTest::newRow("plain folder, registry beyond the file size limit") << QString() << "registry full";
    }

    void installAndUpdate()
    {
        QFETCH(QString, tempDir);
        QFETCH(QString, variant);
        EngineFixture f;
        f.tempDir = tempDir;
        QVERIFY(f.setUp());
        // Another program's entry makes the registry larger than any file the update writes.
        if (is(variant, "registry full"))
            QVERIFY(f.writeRegistry(QJsonObject{{"programms", QJsonArray{QJsonObject{
                {"programm_name", "padding"}, {"display_name", QString(300000, QLatin1Char('p'))}}}}}));
        const QStringList args{"--update", "viewer:dicom,reports", "--change-config"};
        const DriverRun first = f.run(args);
        VERIFY_CLEAN_RUN(first);
        VERIFY_WHY(f.installed({"viewer", "dicom", "codec", "reports"}, &why));
        QVERIFY(!QFile::exists(f.in("archive")) && !first.selfUpdatePending);
        QVERIFY(QFileInfo(f.in("viewer/viewer.exe")).isExecutable());
        QVERIFY(!QFileInfo(f.in("viewer/sub dir/x.cfg")).isExecutable());
        // The program, its module, the module's necessary dependency, then the optional module selected with it.
        QCOMPARE(first.texts("status"), QStringList({u("Обновление модуля Просмотр"), u("Обновление модуля DICOM"),
                                                     u("Обновление модуля Кодек"), u("Обновление модуля Отчёты")}));
        QCOMPARE(first.texts("message").last(), u("Программа Просмотр обновлена"));
        QVERIFY(first.hasMessage(u("Обновлен файл %1/viewer/viewer.exe 68 Кб").arg(f.installRoot())));
        const QList<ModuleSpec> modules = clinic();
        QCOMPARE(findProgramm(f.registry(), "viewer"),
                 PackWorld::programmEntry(modules.at(0), {modules.at(1), modules.at(3)}));
        // Progress restarts per module and ends at the module's size in KiB.
        QCOMPARE(first.progress.first().text, u("Обновление файлов"));
        QCOMPARE(QList<int>({first.progress.first().nDo, first.progress.first().nAll}),
                 QList<int>({0, (70000 + 40000 + 18 + 4 + 14 + 21) / 1024}));
        const QList<DriverLine> &steps = first.progress;
        QVERIFY(std::none_of(steps.begin(), steps.end(), [](const DriverLine &l) { return l.nDo > l.nAll; }));
        const auto full = [](const DriverLine &l) { return l.text == u("Файлы обновлены") && l.nDo == l.nAll; };
        QCOMPARE(int(std::count_if(steps.begin(), steps.end(), full)), 4);

        const QString viewer = f.in("viewer");
        for (const char *name : {"old.txt", "lib/core.so", "update_fileinfo.xml"})
            QVERIFY(!is(variant, "read-only")
                    || QFile::setPermissions(viewer + '/' + name, QFileDevice::ReadOwner | QFileDevice::ReadGroup));
        const QString trace = f.root() + QStringLiteral("/trace.txt");
        f.traceFile = is(variant, "traced") ? trace : QString();
        const QByteArray registryBefore = readFile(f.registryPath());
        f.fileSizeLimit = is(variant, "registry full") ? 200000 : 0;
        // The user's own settings and files beside the program, and a killed run's staging file, swept by the next.
        const QMap<QString, QByteArray> user{{"settings.ini", "[main]\nfrom=user\n"}, {"user notes.txt", "mine\n"}};
        for (auto it = user.begin(); it != user.end(); ++it)
            QVERIFY(writeFile(viewer + '/' + it.key(), it.value()));
        QVERIFY(writeFile(viewer + "/.user notes.txt.kestra-new", "half"));
        QVERIFY(f.publishViewer2());
        const DriverRun run = f.run(args);
        if (is(variant, "registry full")) {
            VERIFY_FINISHED(run);
            VERIFY_ONE_ERROR(run, u("Не удалось записать список установленных программ %1 (")
                                      .arg(QDir::toNativeSeparators(f.registryPath())));
            QVERIFY(!run.hasMessage(u("Программа Просмотр обновлена")));
            QCOMPARE(readFile(f.registryPath()), registryBefore);
            // No half-written temporary file is left beside it.
            QCOMPARE(QDir(f.updaterDir()).entryList({"*installed*"}, QDir::Files | QDir::Hidden),
                     QStringList({"installed.json", "installed.json.bak"}));
        } else {
            VERIFY_CLEAN_RUN(run);
        }
        if (is(variant, "traced"))
            verifyFlushedBeforeRenamed(trace, viewer);
        // The user's files and the protected settings stay, the dropped file and the staging file are gone.
        QMap<QString, QByteArray> expected = viewerRelease2();
        expected.insert(user);
        expected.insert("update_fileinfo.xml", readFile(f.server("packs/viewer/update_fileinfo.xml")));
        QCOMPARE(snapshot(viewer), expected);
        // Exactly the five changed files (each new on the disk above) were replaced.
        QCOMPARE(run.texts("message").filter(QRegularExpression(u("^Обновлен файл "))).size(), 5);
    }

    // Release 2 over http. First an up-to-date start: the server's checksum file still names the local record, so
    // the document is not fetched (one replaced by hand beside it goes unseen for a day), and a file of the recorded
    // size is not hashed. Then, with the checksum file of release 2, a corrupted and a missing data file.
    void nextReleaseOverHttp()
    {
        SKIP_WITHOUT_NGINX();
        EngineFixture f;
        NginxServer nginx;
        QVERIFY(f.setUp("nginx", &nginx));
        const QStringList args{"--update", "viewer:dicom"};
        QVERIFY(f.run(args).finished);
        const QString viewer = f.in("viewer");
        const QString sums = f.server("packs/viewer/update_fileinfo.sha1");
        const QByteArray release1Sums = readFile(sums);
        const QByteArray oldRecord = readFile(viewer + "/update_fileinfo.xml");
        const QByteArray sameSize = patternBytes(40000, 99);
        QVERIFY(writeFile(viewer + "/lib/core.so", sameSize) && f.publishViewer2());
        const QByteArray release2Sums = readFile(sums);
        QVERIFY(writeFile(sums, release1Sums));
        VERIFY_CLEAN_RUN(f.run(args));
        QCOMPARE(readFile(viewer + "/update_fileinfo.xml"), oldRecord);
        QCOMPARE(readFile(viewer + "/lib/core.so"), sameSize);

        const QString pack = f.server("packs/viewer/viewer");
        const QByteArray goodExe = readFile(pack + "/viewer.exe");
        const QByteArray badExe = patternBytes(goodExe.size(), 77);
        QVERIFY(writeFile(sums, release2Sums));
        QVERIFY(writeFile(pack + "/viewer.exe", badExe) && QFile::remove(pack + "/added/new.txt"));
        const DriverRun run = f.run(args);
        VERIFY_FINISHED(run);
        // packwright's entries carry a SHA-256, which the file is checked by.
        QVERIFY(run.hasError(u("Хэш скачанного файла (%1) не совпадает с тем что в описании (%2)")
                                 .arg(QString(sha256Hex(badExe)), QString(sha256Hex(goodExe)))));
        QVERIFY(run.hasError(
            u("Ошибка при скачивании файла %1/packs/viewer/viewer/added/new.txt в ").arg(nginx.baseUrl())));
        QCOMPARE(readFile(viewer + "/viewer.exe"), patternBytes(70000, 1)); // old file untouched
        // The step was incomplete: the old record stays, the program stays registered.
        QCOMPARE(readFile(viewer + "/update_fileinfo.xml"), oldRecord);
        QVERIFY(run.hasMessage(u("Программа Просмотр обновлена")));
    }

    void killedRunNeverLosesATarget()
    {
        SKIP_WITHOUT_NGINX();
        // A module of many files, so that kills land between and during files.
        QMap<QString, QByteArray> one, two;
        for (int i = 0; i < 60; ++i) {
            const QString name = QStringLiteral("f%1/file%2.bin").arg(i % 6).arg(i);
            one.insert(name, patternBytes(2000 + i * 500, quint32(i)));
            two.insert(name, patternBytes(2000 + i * 500 + (i % 3 == 0 ? 0 : 7), quint32(1000 + i)));
        }
        EngineFixture f;
        NginxServer nginx;
        QVERIFY(f.setUp("nginx", &nginx, {programm("big", kViewerGuid, one)}));
        const QString tree1 = f.treeDir("big");
        const QString tree2 = f.makeTree("big2", two);
        const QStringList args{"--update", "big"};
        const QString installed = f.in("big");
        // A temporary folder on tmpfs makes the engine copy files beside their targets and rename them; on the same
        // file system it moves them straight over. Both ways are killed.
        QTemporaryDir otherVolume(QStringLiteral("/dev/shm/kestra-engine-XXXXXX"));
        int midway = 0;
        for (quint32 seed = 1; seed <= 4; ++seed) {
            QVERIFY(f.buildPack("big", tree1, "packs/big") && f.run(args).finished);
            VERIFY_WHY(moduleEquals(installed, tree1, &why));
            QVERIFY(f.buildPack("big", tree2, "packs/big"));
            f.tempDir = seed % 2 == 0 && otherVolume.isValid() ? otherVolume.path() : QString();
            QRandomGenerator random(seed);
            QProcess driver;
            QVERIFY(f.startDetached(&driver, args + QStringList{"--delay-ms", "15"}));
            // Kill after a random file has started (plus a random moment), so every kill lands inside the file loop.
            const int started = int(random.bounded(1, 40)) + 1;
            QByteArray out;
            QElapsedTimer timer;
            timer.start();
            while (out.count("progress\t") < started && timer.elapsed() < 30000 && driver.state() == QProcess::Running) {
                driver.waitForReadyRead(20);
                out += driver.readAllStandardOutput();
            }
            QTest::qWait(int(random.bounded(0, 30)));
            driver.kill(); // SIGKILL: no chance to clean up
            QVERIFY(driver.waitForFinished(10000));
            for (const QString &rel : listFilesRecursive(tree1))
                QVERIFY2(QFile::exists(installed + '/' + rel), qPrintable(QString::number(seed) + rel));
            // Kills that came mid-way; on a very busy machine the run may get ahead of the watcher.
            midway += !moduleEquals(installed, tree2);
            VERIFY_CLEAN_RUN(f.run(args));
            VERIFY_WHY(moduleEquals(installed, tree2, &why));
        }
        QVERIFY2(midway >= 2, qPrintable(QStringLiteral("only %1 of 4 kills landed inside the file loop").arg(midway)));
    }

    void hostileDocument_data()
    {
        // element: the name of a one-file program's project element; empty: an entry of dicom's document instead.
        QTest::addColumn<QString>("element");
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("data");
        QTest::addColumn<bool>("removal");
        const char *const rows[][4] = {
            {"parent in path", "evil.txt", "/../../", "m/evil.txt"},
            {"parent in file name", "../evil.txt", "", "m/evil.txt"},
            {"sibling module in path", "viewer.exe", "/../viewer", "m/evil.txt"},
            {"drive path", "evil.txt", "C:/evil", "m/evil.txt"},
            {"backslash parent", "..\\..\\evil.txt", "", "m/evil.txt"},
            {"windows parent alias in path", "evil.txt", "/sub/.../x", "m/evil.txt"},
            {"empty file name", "", "/sub", "m/evil.txt"},
            // dicom/linked links to a folder outside the root, holding evil.txt and a hidden file.
            {"through a folder link in the module folder", "evil.txt", "/linked", "m/evil.txt"},
            {"below a folder link in the module folder", "evil.txt", "/linked/deeper", "m/evil.txt"},
            // A removal never reads data.
            {"parent in data", "evil.txt", "", "../../secret.txt"},
            {"encoded parent in data", "evil.txt", "", "%2e%2e/%2e%2e/secret.txt"},
            {"url in data", "evil.txt", "", "http://127.0.0.1:1/secret.txt"},
            {"escaped backslash in data", "evil.txt", "", "m/%5c..%5csecret.txt"},
        };
        for (const auto &r : rows) {
            for (const bool removal : {false, true}) {
                if (!removal || (!strstr(r[0], "data") && !strstr(r[0], "below")))
                    QTest::newRow(qPrintable((removal ? "removal, " : "update, ") + u(r[0])))
                        << QString() << u(r[1]) << u(r[2]) << u(r[3]) << removal;
            }
        }
        // Module folders the updater keeps for itself (the fixture's is "updater") or Windows takes for another.
        for (const char *name : {"..", "...", "Updater", "updater.", "UPDATER_TEMP", "Backup", "nul.txt", "Aux .log", "COM¹"}) {
            for (const bool removal : {false, true})
                QTest::newRow(qPrintable((removal ? "removal, module folder " : "update, module folder ") + u(name)))
                    << u(name) << QString() << QString() << QString() << removal;
        }
    }

    void hostileDocument()
    {
        QFETCH(QString, element);
        QFETCH(QString, fileName);
        QFETCH(QString, path);
        QFETCH(QString, data);
        QFETCH(bool, removal);
        EngineFixture f;
        const QByteArray evil("evil content\n");
        const QByteArray good = patternBytes(5000, 3); // dicom's d.dll
        QStringList attacked{"updater"};
        if (!element.isEmpty()) {
            QVERIFY(f.init());
            // packwright refuses some of these names: the pack is built as evil.
            QVERIFY(f.buildPack(programm("evil", kViewerGuid, {{"evil.txt", evil}})));
            ModuleSpec up = programm(element, kViewerGuid);
            up.pack = QStringLiteral("packs/evil");
            QVERIFY(f.writeProject({up}) && f.writeConfig({kViewerGuid}));
            // A removal needs a registered program: the registry says so.
            QVERIFY(f.writeRegistry(QJsonObject{{"programms", QJsonArray{QJsonObject{{"programm_name", element}}}}}));
        } else {
            QVERIFY(f.setUp());
            QVERIFY(f.run({"--update", "viewer:dicom", "--change-config"}).finished);
            // Bait: what a hostile document would fetch, and files it would hit.
            for (const QString &bait : {f.server("packs/dicom/m/evil.txt"), f.server("secret.txt"), f.root() + "/secret.txt"})
                QVERIFY(writeFile(bait, evil));
            for (const QString &victim : {f.in("evil.txt"), f.root() + "/outside/evil.txt", f.root() + "/outside/.hidden"})
                QVERIFY(writeFile(victim, "victim\n"));
            QVERIFY(QFile::link(f.root() + "/outside", f.in("dicom/linked")));
            QVERIFY(writeFile(f.server("packs/dicom/m/d.dll"), good));
            QVERIFY(writeFile(f.server("packs/dicom/update_fileinfo.xml"),
                              documentXml(entryXml(fileName, path, data, evil) + entryXml("d.dll", "", "m/d.dll", good))));
            // dicom is under attack; removing it also removes its necessary dependency codec, as it should.
            attacked << "dicom" << (removal ? "codec" : "dicom");
        }
        // Everything outside the attacked module and the updater's own folder.
        const auto outside = [&] {
            return QList<QMap<QString, QByteArray>>{snapshot(f.root(), {"server", "trees", "install"}),
                                                    snapshot(f.installRoot(), attacked)};
        };
        const auto before = outside();
        const DriverRun run = !element.isEmpty() ? f.run({removal ? "--remove" : "--update", element})
                                                 : f.run({removal ? "--remove-plugins" : "--update", "viewer:dicom"});
        VERIFY_FINISHED(run);
        QVERIFY2(run.hasError(u("Недопустимый путь файла")), run.rawOutput.constData());
        // Nothing changed, created or deleted there, and nothing of the bait fetched.
        QVERIFY(outside() == before);
        const QMap<QString, QByteArray> installed = snapshot(f.installRoot());
        QVERIFY2(!installed.values().contains(evil), qPrintable(installed.keys(evil).join(' ')));
        if (element.isEmpty())
            QCOMPARE(readFile(f.in("dicom/d.dll")), removal ? QByteArray() : good);
    }

    void signedRelease_data()
    {
        QTest::addColumn<QString>("attack"); // what the server does to release 2 of viewer
        QTest::addColumn<QString>("reason"); // the refusal's reason; empty: release 2 is installed
        QTest::newRow("trusted keys listed with a malformed one and another publisher's") << "key list" << QString();
        QTest::newRow("a key trusted, signatures not required: unsigned document used") << "not required" << QString();
        QTest::newRow("consistent forgery: a data file and its hashes changed") << "forgery" << u("подпись");
        QTest::newRow("unsigned document") << "no envelope" << u("подпись");
        QTest::newRow("signed by an untrusted key") << "other key" << u("подпись");
        QTest::newRow("expired signature") << "expired" << u("истёк срок");
        QTest::newRow("older signed release after a newer one") << "older" << u("старее установленного");
        QTest::newRow("another module's signed document") << "other module" << u("документ другого модуля");
        QTest::newRow("signed mirror round trip") << "mirror" << QString();
        QTest::newRow("signed mirror with a file list of its own") << "forged mirror" << u("подпись");
    }

    void signedRelease()
    {
        QFETCH(QString, attack);
        QFETCH(QString, reason);
        const bool required = !is(attack, "not required");
        const QDateTime now = QDateTime::currentDateTimeUtc();
        QByteArray key, publicKey, otherKey, otherPublic;
        QVERIFY(generateSigningKeyPair(&key, &publicKey) && generateSigningKeyPair(&otherKey, &otherPublic));
        EngineFixture f;
        QVERIFY(f.init() && f.publish(clinic()));
        QVERIFY(signAt(f.server("project.xml"), key, now.addSecs(-7200)));
        for (const QString &pack : QDir(f.server("packs")).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
            QVERIFY(signAt(f.server("packs/" + pack + "/update_fileinfo.xml"), key, now.addSecs(-7200)));
        const QByteArray others = is(attack, "key list") ? "not-a-key, " + otherPublic.toBase64() + " ," : QByteArray();
        QString trust = "[security]\ntrusted_keys=" + others + publicKey.toBase64() + '\n';
        if (is(attack, "not required"))
            trust += QStringLiteral("require_signatures=false\n");
        QVERIFY(f.writeConfig({kViewerGuid, kArchiveGuid}, trust));
        const QStringList args{"--update", "viewer:dicom", "--change-config"};
        VERIFY_CLEAN_RUN(f.run(args));
        const QStringList kept = required ? QStringList{"update_fileinfo.sig"} : QStringList();
        VERIFY_WHY(f.installed({"dicom", "codec"}, &why, nullptr, kept));

        const QString pack = f.server("packs/viewer");
        const QString document = pack + "/update_fileinfo.xml";
        const QMap<QString, QByteArray> release1 = snapshot(pack);
        QVERIFY(f.publishViewer2());
        QVERIFY(signAt(document, key, now.addSecs(-3600)));
        if (is(attack, "older")) {
            VERIFY_CLEAN_RUN(f.run(args)); // release 2 goes in; then the server offers release 1 again
            QVERIFY(QDir(pack).removeRecursively());
            for (auto it = release1.begin(); it != release1.end(); ++it)
                QVERIFY(writeFile(pack + '/' + it.key(), it.value()));
        } else if (is(attack, "forgery")) {
            // The hashes of the document name the forged file: only the signature can tell.
            QVERIFY(forgeEntry(document, pack + "/viewer/viewer.exe", patternBytes(90000, 11), "#!/bin/sh\necho forged\n"));
        } else if (is(attack, "no envelope") || is(attack, "not required")) {
            QVERIFY(QFile::remove(signatureFilePath(document)));
        } else if (is(attack, "other key")) {
            QVERIFY(signAt(document, otherKey, now));
        } else if (is(attack, "expired")) {
            QVERIFY(signAt(document, key, now.addDays(-2), now.addDays(-1).addSecs(-1)));
        } else if (is(attack, "other module")) {
            // codec's genuine document, signed no earlier than viewer's record.
            const QString codec = f.server("packs/codec/update_fileinfo.xml");
            QVERIFY(writeFile(document, readFile(codec)));
            QVERIFY(writeFile(signatureFilePath(document), readFile(signatureFilePath(codec))));
        } else if (attack.endsWith(QLatin1String("mirror"))) {
            signedMirrorRoundTrip(f, trust, is(attack, "forged mirror"));
            return;
        }
        const QMap<QString, QByteArray> before = snapshot(f.installRoot(), {"updater"});
        const QJsonObject registryBefore = f.registry();
        const DriverRun run = f.run(args);
        VERIFY_FINISHED(run);
        if (reason.isEmpty()) {
            VERIFY_CLEAN_RUN(run);
            QCOMPARE(readFile(f.in("viewer/viewer.exe")), patternBytes(90000, 11));
            QCOMPARE(readFile(f.in("viewer/update_fileinfo.xml")), readFile(document));
            QCOMPARE(QFile::exists(f.in("viewer/update_fileinfo.sig")), required);
            return;
        }
        // The one error names the document and why; nothing changed (the other modules were current).
        VERIFY_ONE_ERROR(run, u("Ошибка проверки документа"), u(", ") + reason, "packs/viewer");
        QCOMPARE(snapshot(f.installRoot(), {"updater"}), before);
        QCOMPARE(f.registry(), registryBefore);
    }

    void backupOncePerModuleStep_data()
    {
        QTest::addColumn<QString>("extra"); // what the module folder holds besides its files
        // The zip writer holds a file in memory whole: one too large for that is left out and named, the rest goes on.
        QTest::newRow("with a file too large for the archive") << "large";
        // What links lead to is not the module's: neither is archived.
        QTest::newRow("with a folder link and a file link") << "links";
        // No archive at all, and the update goes on: the folder is larger than a zip archive can be.
        QTest::newRow("folder beyond the 4 GiB of the zip format") << "4gib";
    }

    void backupOncePerModuleStep()
    {
        QFETCH(QString, extra);
        EngineFixture f;
        QVERIFY(f.setUp());
        const QStringList args{"--update", "viewer:dicom"};
        QVERIFY(f.run(args).finished);
        const QString viewer = f.in("viewer");
        const QString outside = f.root() + "/outside";
        QVERIFY(writeFile(outside + "/secret.txt", "not the module's\n"));
        const QMap<QString, QByteArray> before = snapshot(viewer);
        const QString large = viewer + "/archive.db";
        // Sparse: no disk space, and nothing reads them unless they are zipped.
        const auto sparse = [](const QString &path, qint64 size) {
            QFile file(path);
            return file.open(QIODevice::WriteOnly) && file.resize(size);
        };
        QVERIFY(!is(extra, "large") || sparse(large, 600LL * 1024 * 1024));
        for (int i = 0; is(extra, "4gib") && i < 9; ++i)
            QVERIFY(sparse(viewer + QStringLiteral("/volume%1.db").arg(i), 500LL * 1024 * 1024));
        if (is(extra, "links")) {
            QVERIFY(QFile::link(outside, viewer + "/linked"));
            QVERIFY(QFile::link(outside + "/secret.txt", viewer + "/secret.txt"));
            // A dangling link where a new copy is staged (a temporary folder
            // on another file system makes the engine stage every file).
            if (QFileInfo(QStringLiteral("/dev/shm")).isWritable())
                f.tempDir = "/dev/shm";
            QVERIFY(QFile::link(outside + "/planted", viewer + "/.viewer.exe.kestra-new"));
        }
        QVERIFY(f.publishViewer2());
        const DriverRun run = f.run(args + QStringList{"--backup"});
        VERIFY_FINISHED(run);
        // The update itself went on: the new release is in place (the protected settings file aside).
        const QMap<QString, QByteArray> release = viewerRelease2();
        for (auto it = release.constBegin(); it != release.constEnd(); ++it)
            QVERIFY(it.key() == QLatin1String("settings.ini") || readFile(viewer + '/' + it.key()) == it.value());
        const QStringList zips = QDir(f.in("backup")).entryList(QDir::Files);
        if (is(extra, "4gib")) {
            VERIFY_ONE_ERROR(run, u("Не могу создать файл бэкапа %1/backup/viewer").arg(f.installRoot()), QString(),
                             u("4 ГБ"));
            QCOMPARE(zips, QStringList()); // no fragment passing for a backup
            return;
        }
        if (is(extra, "large")) {
            VERIFY_ONE_ERROR(run, u("Файл %1 слишком большой для бэкапа").arg(large));
            QCOMPARE(QFileInfo(large).size(), 600LL * 1024 * 1024);
        } else {
            VERIFY_CLEAN_RUN(run);
        }
        QVERIFY(!QFileInfo::exists(outside + "/planted"));
        // Only viewer changed: one archive, named after it.
        QCOMPARE(zips.size(), 1);
        QVERIFY(QRegularExpression("^viewer\\d{6}_\\d{6}_\\d{3}\\.zip$").match(zips.first()).hasMatch());
        // Python's reader: every entry named from the module folder, bytes equal to the folder before the update.
        const ProcessResult python = runProcess("/usr/bin/python3", {"-c",
            "import sys,zipfile,hashlib\nz=zipfile.ZipFile(sys.argv[1])\nassert z.testzip() is None\n"
            "for n in sorted(z.namelist()):\n  print(n+'\\t'+hashlib.sha1(z.read(n)).hexdigest())\n",
            f.in("backup/" + zips.first())});
        QVERIFY2(python.ok(), python.output.constData());
        QStringList expected;
        for (auto it = before.constBegin(); it != before.constEnd(); ++it)
            expected << "viewer/" + it.key() + '\t' + sha1Hex(it.value());
        QCOMPARE(QString::fromUtf8(python.output).split('\n', Qt::SkipEmptyParts), expected);
    }

    // A program's listed files go, doNotDelete survives, emptied folders are removed, its necessary chain goes with
    // its modules; a read-only file goes as well (Windows refuses until it is made writable).
    void removal()
    {
        EngineFixture f;
        QVERIFY(f.setUp());
        QVERIFY(f.run({"--update", "viewer:dicom,reports", "--update", "archive", "--change-config"}).finished);
        QVERIFY(writeFile(f.in("viewer/lib/.hidden"), "h\n"));
        QVERIFY(QFile::setPermissions(f.in("viewer/lib/core.so"), QFileDevice::ReadOwner));
        const DriverRun run = f.run({"--remove", "viewer"});
        QVERIFY(run.finished && run.hasMessage(u("Программа Просмотр удалена")));
        QVERIFY(run.hasMessage(u("Удалена дирестория %1/viewer/lib").arg(f.installRoot())));
        QCOMPARE(listFilesRecursive(f.in("viewer")), QStringList({"settings.ini", "update_fileinfo.xml"}));
        QVERIFY(!QFile::exists(f.in("dicom/d.dll")) && !QFile::exists(f.in("codec/c.dll")));
        QVERIFY(findProgramm(f.registry(), "viewer").isEmpty());
        QVERIFY(!findProgramm(f.registry(), "archive").isEmpty() && QFile::exists(f.in("archive/db/a.dat")));
    }

    void selfUpdateAndBuildFilter_data()
    {
        QTest::addColumn<QString>("updaterFolder");
        QTest::addColumn<QString>("architecture");
        QTest::addColumn<QString>("expectedBuild"); // empty: none installed
        QTest::newRow("release x64") << "updater" << "x64" << "release64";
        QTest::newRow("release other architecture") << "updater" << "arm" << "release64,release32";
        QTest::newRow("development x64") << "updater_dev" << "x64" << "dev64";
        QTest::newRow("development x32") << "updater_debug" << "x32" << "dev32";
    }

    void selfUpdateAndBuildFilter()
    {
        QFETCH(QString, updaterFolder);
        QFETCH(QString, architecture);
        QFETCH(QString, expectedBuild);
        EngineFixture f;
        QVERIFY(f.init(updaterFolder));
        // The driver's name belongs to the third edition: palladupd.
        const char *const builds[][3] = {
            {"release64", "palladupd", "3eef9002-824b-4ed6-9d5b-5f79949c6392"},
            {"release32", "palladupd", "2bd29468-6e7c-46f7-b6ae-2d27742b8790"},
            {"dev64", "palladupd_dev", "5d20a134-f22f-48c7-8d48-09bdf8848586"},
            {"dev32", "palladupd_dev", "add99e3d-ad32-4ac1-959b-0dfc8ce69a70"},
        };
        QList<ModuleSpec> elements;
        for (const auto &b : builds)
            elements << ModuleSpec{b[1], "project", b[2], u("Обновлятор"), {}, "kestra.exe", {}, {},
                                   {{"build.txt", b[0]}, {"kestra.exe", patternBytes(1000, 9)}}, "packs/" + u(b[0])};
        QVERIFY(f.publish(elements));
        QVERIFY(f.writeConfig(PackWorld::programmGuids(elements), "[config]\nversion=" + architecture + '\n'));
        const QString own = updaterFolder.contains("_d") ? QStringLiteral("palladupd_dev") : QStringLiteral("palladupd");
        const DriverRun run = f.run({"--update", own});
        VERIFY_FINISHED(run);
        // With no filter both release builds pass; the first one fills the folder
        // and the second is the same module name, already handled.
        const QString temp = f.in("updater_temp");
        QCOMPARE(readFile(temp + "/build.txt"), expectedBuild.section(',', 0, 0).toLatin1());
        QCOMPARE(run.texts("status").size(), 1);
        QCOMPARE(run.texts("message").size() - run.texts("message").filter(u("Обновлен файл")).size(),
                 expectedBuild.count(',') + 1);
        QVERIFY(run.selfUpdatePending && !QFile::exists(f.in("palladupd")));
        // Nothing new, but the copy never reached the updater's folder: the hand-over is still due; once the copier
        // brought the record over, nothing is due any more.
        const DriverRun missed = f.run({"--update", own});
        QVERIFY(missed.finished && missed.selfUpdatePending);
        QVERIFY(QDir().mkpath(f.in(own)));
        QVERIFY(QFile::copy(temp + "/update_fileinfo.xml", f.in(own + "/update_fileinfo.xml")));
        const DriverRun again = f.run({"--update", own});
        QVERIFY(again.finished && !again.selfUpdatePending);
    }

    void interruption_data()
    {
        // installed: a complete run of release 1 came first (release 2 then published); args: the run, with the
        // point where it is cancelled; errors: all it tells.
        QTest::addColumn<QString>("server");
        QTest::addColumn<bool>("installed");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QStringList>("errors");
        const QString unfinished = u("Обновление остановлено пользователем, не завершено: ");
        const QStringList viewer{"--update", "viewer:dicom,reports", "--change-config", "--interrupt-on"};
        // tables.bin takes over four seconds at 64 KiB/s; a cancel while it
        // downloads ends the run about at once.
        QTest::newRow("first install cancelled in a necessary module's large file")
            << "nginx-slow" << false << viewer + QStringList{u("progress:Обновление tables.bin")}
            << QStringList{u("Установка модуля DICOM прервана, модуль не установлен"), unfinished + u("Просмотр, DICOM, Отчёты")};
        QTest::newRow("update cancelled in the program's own files, its modules not reached")
            << "nginx-slow" << true << viewer + QStringList{u("progress:Обновление viewer.exe")}
            << QStringList{u("Обновление модуля Просмотр прервано, обновлены не все файлы"), unfinished + u("Просмотр, DICOM, Отчёты")};
        QTest::newRow("between programs")
            << "folder" << false
            << QStringList{"--update", "viewer", "--update", "archive", "--change-config", "--interrupt-on",
                           u("message:Программа Просмотр обновлена")} << QStringList{unfinished + u("Архив")};
        // The request comes while archive.exe is handled; that file is finished, the loop stops before db/a.dat;
        // progress still ends full; the local record is not written, so the next run compares every file.
        QTest::newRow("between files")
            << "folder" << false << QStringList{"--update", "archive", "--interrupt-on", u("progress:Обновление archive.exe")}
            << QStringList{u("Установка модуля Архив прервана, модуль не установлен"), unfinished + u("Архив")};
    }

    void interruption()
    {
        QFETCH(QString, server);
        QFETCH(bool, installed);
        QFETCH(QStringList, args);
        QFETCH(QStringList, errors);
        if (!is(server, "folder"))
            SKIP_WITHOUT_NGINX();
        EngineFixture f;
        NginxServer nginx;
        QVERIFY(f.setUp(server, &nginx));
        const QString viewerRecord = f.in("viewer/update_fileinfo.xml");
        QVERIFY(!installed || (f.run(args.mid(0, 3)).finished && f.publishViewer2()));
        const QByteArray registryBefore = readFile(f.registryPath());
        const QByteArray recordBefore = readFile(viewerRecord);
        QElapsedTimer timer;
        timer.start();
        const DriverRun run = f.run(args);
        const qint64 elapsed = timer.elapsed();
        VERIFY_FINISHED(run);
        // No server fault is reported for an aborted transfer, and the log says what is unfinished.
        QCOMPARE(run.errors(), errors);
        if (is(server, "folder")) {
            const bool files = !args.contains("viewer");
            QCOMPARE(findProgramm(f.registry(), "viewer").isEmpty(), files);
            QVERIFY(findProgramm(f.registry(), "archive").isEmpty());
            QCOMPARE(QFile::exists(f.in("archive/archive.exe")), files);
            QVERIFY(!QFile::exists(f.in("archive/db/a.dat")) && !QFile::exists(f.in("archive/update_fileinfo.xml")));
            const DriverLine last = run.progress.value(run.progress.size() - 1);
            QVERIFY(!files || (last.text == u("Файлы обновлены") && last.nDo == last.nAll));
            return;
        }
        QVERIFY2(elapsed < 4000, qPrintable(QString::number(elapsed)));
        // Nothing the cancel cut short is registered; the registry stays, with the modules the run did not reach.
        QCOMPARE(readFile(f.registryPath()), registryBefore);
        QVERIFY(!run.hasMessage(u("Программа Просмотр обновлена")));
        if (!installed) {
            QVERIFY(!QFile::exists(f.in("dicom/data/tables.bin")) && !QFile::exists(f.in("dicom/update_fileinfo.xml")));
        } else {
            // The program's files are half new: its old record makes the next run compare them all again.
            QCOMPARE(readFile(viewerRecord), recordBefore);
        }
    }

    void mirrorKeepsItsPublishedState_data()
    {
        // fault: what goes wrong in the refresh; published: a mirror.xml was there before it.
        QTest::addColumn<QString>("fault");
        QTest::addColumn<bool>("published");
        QTest::newRow("interrupted inside the last program") << "last" << true;
        QTest::newRow("upstream project document unreachable") << "unreachable" << true;
        QTest::newRow("first refresh, a corrupted data file") << "corrupt" << false;
        QTest::newRow("later refresh, a corrupted data file of a new release") << "corrupt" << true;
        QTest::newRow("later refresh, file list replaced by a link") << "link" << true;
    }

    void mirrorKeepsItsPublishedState()
    {
        QFETCH(QString, fault);
        QFETCH(bool, published);
        EngineFixture f;
        QVERIFY(f.setUp());
        const QString mirror = f.mirror();
        const QString document = mirror + "/mirror.xml";
        const QString archiveList = mirror + '/' + kArchiveGuid + "/mirror_fileinfo.xml";
        const QString victim = f.root() + "/outside/victim.xml";
        const QStringList both{"--mirror", "--install-path", mirror, "--update", "viewer", "--update", "archive"};
        if (published)
            VERIFY_CLEAN_RUN(f.run(both));
        // Marked, so that a rewrite with the same content shows.
        QVERIFY(is(fault, "corrupt") || writeFile(document, readFile(document) + "<!-- as published -->\n"));
        const QByteArray before = readFile(document);
        const QByteArray archiveListBefore = readFile(archiveList);
        QStringList args = both;
        if (is(fault, "last")) {
            args << "--interrupt-on" << u("progress:Обновление archive.exe");
        } else if (is(fault, "link")) {
            QVERIFY(writeFile(victim, "victim\n") && QFile::remove(archiveList) && QFile::link(victim, archiveList));
        } else if (is(fault, "unreachable")) {
            // Nothing listens on port 1 of the loopback.
            QVERIFY(f.writeConfig({kViewerGuid, kArchiveGuid}, QString(), "http://127.0.0.1:1/project.xml"));
        } else {
            if (published) { // a new release, whose data file the server then corrupts
                ModuleSpec archive = clinic().last();
                archive.files.insert("db/a.dat", patternBytes(2100, 70));
                QVERIFY(f.buildPack(archive));
            }
            const QString data = f.server("packs/archive/archive/db/a.dat");
            QVERIFY(writeFile(data, patternBytes(int(QFileInfo(data).size()), 71)));
        }
        const DriverRun run = f.run(args);
        VERIFY_FINISHED(run);
        if (is(fault, "corrupt")) {
            QVERIFY(run.hasError(u("Хэш скачанного файла")));
            // The module whose new list is not complete keeps what clients were served before; on a first refresh
            // it has no list, and the mirror lists it without binaries.
            QCOMPARE(readFile(archiveList), archiveListBefore);
            // A workstation behind it: viewer installs; archive is the previous release, or one error for it only.
            EngineFixture g;
            QVERIFY(g.init() && g.writeConfig({kViewerGuid, kArchiveGuid}, QString(), document));
            const DriverRun client = g.run({"--update", "viewer", "--update", "archive", "--change-config"});
            VERIFY_FINISHED(client);
            VERIFY_WHY(g.installed({"viewer"}, &why, &f));
            QCOMPARE(client.errors(), published ? QStringList() : QStringList{u("нет файлов для скачивания для archive")});
            QCOMPARE(readFile(g.in("archive/db/a.dat")), published ? patternBytes(2000, 7) : QByteArray());
            QCOMPARE(findProgramm(g.registry(), "archive").isEmpty(), !published);
            return;
        }
        if (is(fault, "link")) {
            VERIFY_CLEAN_RUN(run);
            QCOMPARE(readFile(victim), QByteArray("victim\n"));
            QVERIFY(!QFileInfo(archiveList).isSymLink());
            QDomDocument list;
            QVERIFY(list.setContent(readFile(archiveList)));
            QCOMPARE(list.elementsByTagName("fileinfo").count(), 2);
            return;
        }
        QCOMPARE(readFile(document), before);
        if (is(fault, "unreachable"))
            QVERIFY2(run.hasError(u("оставлен прежним")), run.rawOutput.constData());
        if (is(fault, "last"))
            QCOMPARE(readFile(archiveList), archiveListBefore);
    }

    void mirrorRemovesOnlyItsOwnFolders()
    {
        EngineFixture f;
        QVERIFY(f.setUp());
        // Without its folder a mirror run would put module folders at the top of the file system: refused.
        const DriverRun refused = f.run({"--mirror", "--update", "viewer"});
        QVERIFY(refused.finished && refused.lines.size() == 2 && refused.progress.isEmpty());
        QCOMPARE(refused.errors(), QStringList{u("Не задана папка зеркала")});
        QCOMPARE(QDir(f.installRoot()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{"updater"});
        QVERIFY(!QFile::exists(f.registryPath()));
        const QString mirror = f.mirror();
        QVERIFY(writeFile(mirror + "/obsolete/a/b.txt", "old\n") && writeFile(f.root() + "/outside/keep.txt", "keep\n"));
        const DriverRun run = f.run({"--mirror", "--install-path", mirror, "--update", "archive", "--remove-folder",
                                     "obsolete", "--remove-folder", "missing", "--remove-folder", "../outside"});
        QVERIFY(run.finished && !QFile::exists(mirror + "/obsolete") && QFile::exists(f.root() + "/outside/keep.txt"));
        QVERIFY(QFile::exists(mirror + '/' + kArchiveGuid + "/archive.exe"));
        QCOMPARE(run.errors(), QStringList({u("Ошибка при переходе из %1 в missing").arg(mirror),
                                            u("Ошибка при переходе из %1 в ../outside").arg(mirror)}));
    }

    void progressOfHugeModule()
    {
        EngineFixture f;
        QVERIFY(f.init());
        // A module listing 3 GiB in files marked for deletion: totals beyond 32 bits without writing them.
        const QByteArray small("small\n");
        QVERIFY(writeFile(f.server("packs/huge/m/small.txt"), small));
        const QString gone = entryXml("gone.bin", "", "m/gone.bin", "", 1).replace("size=\"0\"", "size=\"3221225472\"");
        QVERIFY(writeFile(f.server("packs/huge/update_fileinfo.xml"),
                          documentXml(entryXml("small.txt", "", "m/small.txt", small) + gone)));
        QVERIFY(f.writeProject({programm("huge", kViewerGuid)}) && f.writeConfig({kViewerGuid}));
        const DriverRun run = f.run({"--update", "huge"});
        QVERIFY(run.finished);
        const int totalKib = int((3221225472LL + small.size()) / 1024);
        QVERIFY(run.progress.at(2).text.contains(u("3072 Mб")));
        QCOMPARE(QList<int>({run.progress.first().nAll, run.progress.last().nDo, run.progress.last().nAll}),
                 QList<int>({totalKib, totalKib, totalKib}));
    }
};

QTEST_GUILESS_MAIN(TestEngine)
#include "tst_engine.moc"
