// End-to-end runs of the install engine: the headless driver runs one
// InstallThread against packs built by packwright, served from a plain
// folder or by nginx on 127.0.0.1, into an isolated install root.

#include "nginxserver.h"
#include "packworld.h"
#include "signature.h"
#include "testfiles.h"
#include "testprocess.h"

#include <QDir>
#include <QDomDocument>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QtTest>

#include <algorithm>

namespace {

const QString kViewerGuid = QStringLiteral("11111111-1111-4111-8111-111111111111");
const QString kArchiveGuid = QStringLiteral("22222222-2222-4222-8222-222222222222");
const QString kDicomGuid = QStringLiteral("33333333-3333-4333-8333-333333333333");
const QString kCodecGuid = QStringLiteral("44444444-4444-4444-8444-444444444444");
const QString kReportsGuid = QStringLiteral("55555555-5555-4555-8555-555555555555");

QString u(const char *text)
{
    return QString::fromUtf8(text);
}

// One signal line printed by the install driver.
struct DriverLine
{
    QString kind; // message, error, status, progress, finished
    QString text;
    int nDo = 0;
    int nAll = 0;
};

struct DriverRun
{
    bool finished = false; // exited 0 after printing "finished"
    bool selfUpdatePending = false;
    QList<DriverLine> lines;
    QByteArray rawOutput;

    QList<DriverLine> linesOf(const QString &kind) const
    {
        QList<DriverLine> result;
        for (const DriverLine &line : lines) {
            if (line.kind == kind)
                result << line;
        }
        return result;
    }
    QStringList texts(const QString &kind) const
    {
        QStringList result;
        for (const DriverLine &line : linesOf(kind))
            result << line.text;
        return result;
    }
    bool hasError(const QString &fragment) const { return !texts(QStringLiteral("error")).filter(fragment).isEmpty(); }
    int count(const QString &kind) const { return linesOf(kind).size(); }

    static DriverRun parse(const QByteArray &output, int exitCode)
    {
        DriverRun result;
        result.rawOutput = output;
        for (const QByteArray &row : output.split('\n')) {
            if (row.isEmpty())
                continue;
            const QStringList parts = QString::fromUtf8(row).split(QLatin1Char('\t'));
            DriverLine line;
            line.kind = parts.value(0);
            const bool progress = line.kind == QLatin1String("progress");
            line.nDo = progress ? parts.value(1).toInt() : 0;
            line.nAll = progress ? parts.value(2).toInt() : 0;
            line.text = parts.mid(progress ? 3 : 1).join(QLatin1Char('\t'));
            if (line.kind == QLatin1String("finished")) {
                result.finished = exitCode == 0;
                result.selfUpdatePending = line.text.endsWith(QLatin1String("=1"));
            }
            result.lines << line;
        }
        return result;
    }
};

// What a running driver prints until it has printed count progress lines
// (or ended, or timeoutMs passed).
QByteArray readProgress(QProcess &driver, int count, int timeoutMs)
{
    QByteArray out;
    QElapsedTimer timer;
    timer.start();
    while (out.count(QByteArray("progress\t")) < count && timer.elapsed() < timeoutMs
           && driver.state() == QProcess::Running) {
        driver.waitForReadyRead(20);
        out += driver.readAllStandardOutput();
    }
    return out;
}

// The run ended normally and told of no error.
#define VERIFY_CLEAN_RUN(run)                                                                                          \
    do {                                                                                                               \
        QVERIFY2((run).finished, (run).rawOutput.constData());                                                         \
        QVERIFY2((run).count(QStringLiteral("error")) == 0,                                                            \
                 qPrintable((run).texts(QStringLiteral("error")).join(QStringLiteral(" | "))));                        \
    } while (false)

// An isolated installation: the install root (with the driver copied into
// its updater folder, so the install root the settings derive from the
// executable's folder is ours) beside the world's server and trees.
class EngineFixture : public PackWorld
{
public:
    // updaterFolder decides the flavour ("_dev" in it makes a development
    // installation); the driver's name gives the edition.
    bool init(const QString &updaterFolder = QStringLiteral("updater"))
    {
        setUpdaterDir(installRoot() + QLatin1Char('/') + updaterFolder);
        QDir().mkpath(updaterDir());
        QDir().mkpath(serverDir());
        return isValid() && QFile::copy(QStringLiteral(KESTRA_BIN_DIR "/installdriver"), driverPath())
               && QFile::setPermissions(driverPath(), QFile::permissions(driverPath()) | QFileDevice::ExeOwner);
    }
    QString installRoot() const { return root() + QStringLiteral("/install"); }
    // Each module's folder under installRoot holds exactly its tree in trees.
    bool installed(const QStringList &modules, QString *why, const PackWorld *trees = nullptr) const
    {
        for (const QString &module : modules) {
            if (!moduleEquals(installRoot() + QLatin1Char('/') + module, (trees ? trees : this)->treeDir(module), why))
                return false;
        }
        return true;
    }
    QString driverPath() const { return updaterDir() + QStringLiteral("/installdriver"); }

    // Temporary folder of the driver (TMPDIR); empty: the system's. On another
    // file system than the install root, verified files are copied beside
    // their targets instead of moved.
    void setTempDir(const QString &path) { m_tempDir = path; }

    // Starts the driver without waiting (for kill tests).
    bool startDetached(QProcess *process, const QStringList &arguments) const
    {
        process->setProcessChannelMode(QProcess::SeparateChannels);
        if (!m_tempDir.isEmpty()) {
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.insert(QStringLiteral("TMPDIR"), m_tempDir);
            process->setProcessEnvironment(environment);
        }
        const QStringList driverArguments =
            QStringList{"--config", configPath(), "--installed", registryPath()} + arguments;
        if (!m_traceFile.isEmpty()) {
            // Every flush and rename of the driver and its threads, with the
            // path of each flushed file, in the order the system saw them.
            process->start(QStringLiteral("/usr/bin/strace"),
                           QStringList{"-f", "-y", "-qq", "-e", "signal=none", "-e",
                                       "trace=fsync,fdatasync,rename,renameat,renameat2", "-o", m_traceFile,
                                       driverPath()}
                               + driverArguments);
        } else if (m_fileSizeLimit > 0) {
            // A full disk as one process meets it: SIGXFSZ ignored (which the
            // driver inherits), so a write past the limit fails with EFBIG.
            process->start(QStringLiteral("/bin/sh"),
                           QStringList{"-c", QStringLiteral("trap '' XFSZ; exec /usr/bin/prlimit --fsize=%1 \"$0\" \"$@\"")
                                                 .arg(m_fileSizeLimit),
                                       driverPath()}
                               + driverArguments);
        } else {
            process->start(driverPath(), driverArguments);
        }
        return process->waitForStarted(10000);
    }
    // Largest file the driver may write, in bytes; 0: no limit.
    void setFileSizeLimit(qint64 bytes) { m_fileSizeLimit = bytes; }
    // Runs the driver under strace, its flushes and renames written to path;
    // empty: not traced.
    void setTraceFile(const QString &path) { m_traceFile = path; }

    DriverRun run(const QStringList &arguments, int timeoutMs = 120000) const
    {
        QProcess process;
        DriverRun result;
        if (!startDetached(&process, arguments))
            return result;
        if (!process.waitForFinished(timeoutMs)) {
            process.kill();
            process.waitForFinished(5000);
            result.rawOutput = process.readAllStandardOutput() + "\n(killed after the time limit)\n"
                               + process.readAllStandardError();
            return result;
        }
        const int code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        result = DriverRun::parse(process.readAllStandardOutput(), code);
        if (!result.finished)
            result.rawOutput += "\n(exit code " + QByteArray::number(code) + ")\n" + process.readAllStandardError();
        return result;
    }

private:
    QString m_tempDir;
    QString m_traceFile;
    qint64 m_fileSizeLimit = 0;
};

// Names as long as a file system takes (255): the engine's temporary and
// staging names must not add to them.
const QString kLongName = QString(241, QLatin1Char('n')) + QStringLiteral(".txt");
const QString kLongestName = QString(250, QLatin1Char('m')) + QStringLiteral(".dll");

QMap<QString, QByteArray> viewerRelease1()
{
    return {
        {kLongName, QByteArray("long 1\n")},
        {QStringLiteral("lib/") + kLongestName, QByteArray("longest 1\n")},
        {QStringLiteral("viewer.exe"), patternBytes(70000, 1)},
        {QStringLiteral("lib/core.so"), patternBytes(40000, 2)},
        {u("Отчёт (1).txt"), QByteArray("report template 1\n")},
        {QStringLiteral("sub dir/x.cfg"), QByteArray("x=1\n")},
        {QStringLiteral("old.txt"), QByteArray("to be deleted\n")},
        {QStringLiteral("settings.ini"), QByteArray("[main]\nfrom=release1\n")},
    };
}

QMap<QString, QByteArray> viewerRelease2()
{
    QMap<QString, QByteArray> files = viewerRelease1();
    files.insert(QStringLiteral("viewer.exe"), patternBytes(90000, 11));  // changed size
    files.insert(QStringLiteral("lib/core.so"), patternBytes(40000, 12)); // same size, other bytes
    files.insert(QStringLiteral("added/new.txt"), "new in 2\n");         // added
    files.insert(QStringLiteral("settings.ini"), "[main]\nfrom=release2\n"); // protected
    files.insert(kLongName, "long 2\n"); // same size, other bytes
    files.insert(QStringLiteral("lib/") + kLongestName, "longest 2\n");
    files.remove(QStringLiteral("old.txt")); // dropped: marked for deletion in the document
    return files;
}

// The clinic: program viewer needs dicom (necessary, which in turn needs
// codec, necessary) and reports (optional); program archive stands alone.
QList<ModuleSpec> clinic(bool release2 = false)
{
    return {
        {"viewer", "project", kViewerGuid, u("Просмотр"), {{"dicom", true}, {"reports", false}}, "viewer.exe",
         "-a :config:", {"settings.ini"}, release2 ? viewerRelease2() : viewerRelease1(), {}},
        {"dicom", "plugin", kDicomGuid, u("DICOM"), {{"codec", true}}, {}, {}, {},
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

// One hand-written entry of a file-information document.
QString entryXml(const QString &fileName, const QString &path, const QString &data, const QByteArray &content,
                 int needDelete = 0)
{
    return QStringLiteral("<fileinfo filename=\"%1\" hash=\"%2\" size=\"%3\" is_need_delete=\"%4\">"
                          "<path><![CDATA[%5]]></path><data><![CDATA[%6]]></data></fileinfo>\n")
        .arg(fileName.toHtmlEscaped(), sha1Hex(content), QString::number(content.size()), QString::number(needDelete),
             path, data);
}

// Marks a file for deletion in a pack's document, as a release engineer does
// for files that a release drops.
bool addDeletionEntry(const QString &document, const QString &fileName)
{
    QByteArray xml = readFile(document);
    const int end = xml.lastIndexOf("</files>");
    return end > 0
           && writeFile(document, xml.insert(end, entryXml(fileName, QString(), QString(), "to be deleted\n", 1).toUtf8()));
}

QByteArray documentXml(const QString &entries)
{
    return (QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<updater_pack><modules><infoaboutmodule "
                           "name=\"m\" is_required=\"0\"><files>\n")
            + entries + QStringLiteral("</files></infoaboutmodule></modules><commands/></updater_pack>\n"))
        .toUtf8();
}

// Signs document (its envelope beside it) as if at signedAt, as the
// publisher's packwright does at that time.
bool signAt(const QString &document, const QByteArray &privateKey, const QDateTime &signedAt,
            const QDateTime &expires = QDateTime())
{
    const QByteArray envelope = makeSignatureEnvelope(QFileInfo(document).fileName(), readFile(document), privateKey,
                                                      signedAt, expires);
    return !envelope.isEmpty() && writeFile(signatureFilePath(document), envelope);
}

// The project document and every pack's document of the world's server.
bool signServer(const PackWorld &world, const QByteArray &privateKey, const QDateTime &signedAt)
{
    QStringList documents{world.serverDir() + QStringLiteral("/project.xml")};
    for (const QString &pack : QDir(world.serverDir() + QStringLiteral("/packs")).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        documents << world.serverDir() + QStringLiteral("/packs/") + pack + QStringLiteral("/update_fileinfo.xml");
    for (const QString &document : documents) {
        if (!signAt(document, privateKey, signedAt))
            return false;
    }
    return true;
}

QJsonObject findProgramm(const QJsonObject &registry, const QString &name)
{
    const QJsonArray programms = registry.value(QStringLiteral("programms")).toArray();
    for (const QJsonValue &v : programms) {
        if (v.toObject().value(QStringLiteral("programm_name")).toString() == name)
            return v.toObject();
    }
    return QJsonObject();
}

QStringList pluginNames(const QJsonObject &programm)
{
    QStringList names;
    for (const QJsonValue &v : programm.value(QStringLiteral("plugins")).toArray())
        names << v.toObject().value(QStringLiteral("plugin_name")).toString();
    return names;
}

} // namespace

class TestEngine : public QObject
{
    Q_OBJECT

private:
    static void verifyFlushedBeforeRenamed(const QString &trace, const QString &moduleFolder);
    // The clinic published on a plain folder ("folder") or by nginx, and
    // config.ini pointing at it.
    bool setupClinic(EngineFixture &f, const QString &server = QStringLiteral("folder"), NginxServer *nginx = nullptr);
    bool buildViewer(EngineFixture &f, bool release2);
private slots:
    void initTestCase()
    {
        QVERIFY2(QFile::exists(QStringLiteral(KESTRA_BIN_DIR "/installdriver")), "installdriver not built");
        QVERIFY2(QFile::exists(QStringLiteral(KESTRA_BIN_DIR "/packwright")), "packwright not built");
    }

    void firstInstall_data()
    {
        QTest::addColumn<QString>("server");
        QTest::addColumn<QString>("tempDir");
        QTest::addColumn<QString>("variant"); // of the second run in updateToNewRelease
        QTest::newRow("plain folder") << "folder" << QString() << QString();
        if (QFileInfo(QStringLiteral("/dev/shm")).isWritable())
            QTest::newRow("plain folder, temporary folder on tmpfs") << "folder" << "/dev/shm" << QString();
        if (NginxServer::isAvailable()) {
            QTest::newRow("nginx") << "nginx" << QString() << QString();
            // The bar follows the bytes of a large file, not only whole files.
            QTest::newRow("nginx over a slow link") << "nginx-slow" << QString() << QString();
        }
    }

    void firstInstall()
    {
        QFETCH(QString, server);
        QFETCH(QString, tempDir);
        EngineFixture f;
        NginxServer nginx;
        f.setTempDir(tempDir);
        QVERIFY(setupClinic(f, server, &nginx));

        const DriverRun run = f.run({"--update", "viewer:dicom,reports", "--change-config"});
        VERIFY_CLEAN_RUN(run);

        QString why;
        QVERIFY2(f.installed({"viewer", "dicom", "codec", "reports"}, &why), qPrintable(why));
        QVERIFY(!QFile::exists(f.installRoot() + QStringLiteral("/archive")));
        // Executables and libraries are made executable.
        QVERIFY(QFileInfo(f.installRoot() + QStringLiteral("/viewer/viewer.exe")).isExecutable());
        QVERIFY(!QFileInfo(f.installRoot() + QStringLiteral("/viewer/sub dir/x.cfg")).isExecutable());

        // Modules in order: the program, its module, the module's necessary
        // dependency, then the optional module it was selected with.
        QCOMPARE(run.texts(QStringLiteral("status")),
                 QStringList({u("Обновление модуля Просмотр"), u("Обновление модуля DICOM"),
                              u("Обновление модуля Кодек"), u("Обновление модуля Отчёты")}));
        QCOMPARE(run.texts(QStringLiteral("message")).last(), u("Программа Просмотр обновлена"));
        QVERIFY(run.texts(QStringLiteral("message")).contains(
            u("Обновлен файл %1/viewer/viewer.exe 68 Кб").arg(f.installRoot())));

        // Progress restarts per module and ends at the module's size in KiB.
        const QList<DriverLine> progress = run.linesOf(QStringLiteral("progress"));
        QVERIFY(!progress.isEmpty());
        QCOMPARE(progress.first().nDo, 0);
        QCOMPARE(progress.first().text, u("Обновление файлов"));
        const int viewerKib = int((70000 + 40000 + 18 + 4 + 14 + 21) / 1024);
        QCOMPARE(progress.first().nAll, viewerKib);
        bool sawEnd = false;
        for (const DriverLine &l : progress) {
            if (l.text == u("Файлы обновлены")) {
                QCOMPARE(l.nDo, l.nAll);
                sawEnd = true;
            }
            QVERIFY(l.nDo <= l.nAll);
        }
        QVERIFY(sawEnd);

        const QJsonObject entry = findProgramm(f.registry(), QStringLiteral("viewer"));
        QCOMPARE(entry.value(QStringLiteral("type")).toString(), QStringLiteral("project"));
        QCOMPARE(entry.value(QStringLiteral("display_name")).toString(), u("Просмотр"));
        QCOMPARE(entry.value(QStringLiteral("execute_filename")).toString(), QStringLiteral("viewer.exe"));
        QCOMPARE(entry.value(QStringLiteral("execute_params")).toString(), QStringLiteral("-a :config:"));
        QCOMPARE(pluginNames(entry), QStringList({QStringLiteral("dicom"), QStringLiteral("reports")}));
        const QJsonObject reports = entry.value(QStringLiteral("plugins")).toArray().at(1).toObject();
        QCOMPARE(reports.value(QStringLiteral("plugin_display_name")).toString(), u("Отчёты"));
        QCOMPARE(reports.value(QStringLiteral("plugin_type")).toString(), QStringLiteral("config"));
        QVERIFY(!run.selfUpdatePending);
        if (server == QLatin1String("nginx-slow")) {
            // Several updates while tables.bin (292 KiB at 64 KiB/s) arrives,
            // each further on than the last.
            QList<int> during;
            for (const DriverLine &l : progress) {
                if (l.text.startsWith(u("Обновление tables.bin")) && (during.isEmpty() || l.nDo != during.last()))
                    during << l.nDo;
            }
            QVERIFY2(during.size() >= 3, qPrintable(QString::number(during.size())));
            QVERIFY(std::is_sorted(during.begin(), during.end()));
        }
    }

    void updateToNewRelease_data()
    {
        firstInstall_data();
        // The file marked for deletion and a file replaced are read-only.
        QTest::newRow("plain folder, read-only files") << "folder" << QString() << "read-only";
        // After a power cut the record must never say "new" for bytes that
        // were not on the disk: every file is flushed before it is renamed
        // in, and the record is renamed in after the last of them. Moved
        // from the temporary folder, or copied beside the target first.
        if (QFileInfo::exists(QStringLiteral("/usr/bin/strace"))) {
            QTest::newRow("plain folder, traced: flushed before renamed, record last")
                << "folder" << QString() << "traced";
            if (QFileInfo(QStringLiteral("/dev/shm")).isWritable())
                QTest::newRow("plain folder, temporary folder on tmpfs, traced: flushed before renamed, record last")
                    << "folder" << "/dev/shm" << "traced";
        }
        // The disk fills up while the registry is written: told as an error,
        // and the program is not reported updated; the registry is kept.
        QTest::newRow("plain folder, registry beyond the file size limit")
            << "folder" << QString() << "registry full";
    }

    void updateToNewRelease()
    {
        QFETCH(QString, server);
        QFETCH(QString, tempDir);
        QFETCH(QString, variant);
        EngineFixture f;
        NginxServer nginx;
        f.setTempDir(tempDir);
        QVERIFY(setupClinic(f, server, &nginx));
        // Another program's entry makes the registry larger than any file
        // the update writes.
        if (variant == QLatin1String("registry full"))
            QVERIFY(writeFile(f.registryPath(), QStringLiteral("{\"programms\":[{\"programm_name\":\"padding\","
                                                               "\"display_name\":\"%1\"}]}")
                                                    .arg(QString(300000, QLatin1Char('p')))
                                                    .toUtf8()));
        const QStringList args{"--update", "viewer:dicom", "--change-config"};
        QVERIFY(f.run(args).finished);
        const QString viewer = f.installRoot() + QStringLiteral("/viewer");
        if (variant == QLatin1String("read-only")) {
            for (const char *name : {"old.txt", "lib/core.so", "update_fileinfo.xml"})
                QVERIFY(QFile::setPermissions(viewer + QLatin1Char('/') + QLatin1String(name),
                                              QFileDevice::ReadOwner | QFileDevice::ReadGroup));
        }
        const QString trace = f.root() + QStringLiteral("/trace.txt");
        if (variant == QLatin1String("traced"))
            f.setTraceFile(trace);
        const QByteArray registryBefore = readFile(f.registryPath());
        if (variant == QLatin1String("registry full"))
            f.setFileSizeLimit(200000);
        // The user's own settings and files beside the program.
        writeFile(viewer + QStringLiteral("/settings.ini"), "[main]\nfrom=user\n");
        writeFile(viewer + QStringLiteral("/user notes.txt"), "mine\n");
        // Staging files of a killed run, short and cut form: swept by the next run.
        writeFile(viewer + QStringLiteral("/.user notes.txt.kestra-new"), "half");
        writeFile(viewer + QStringLiteral("/.abc~0123abcd.kestra-new"), "half");

        QVERIFY(buildViewer(f, true));
        const DriverRun run = f.run(args);
        if (variant == QLatin1String("registry full")) {
            QVERIFY2(run.finished, run.rawOutput.constData());
            const QStringList errors = run.texts(QStringLiteral("error"));
            QCOMPARE(errors.size(), 1);
            QVERIFY2(errors.first().startsWith(u("Не удалось записать список установленных программ %1 (")
                                                   .arg(QDir::toNativeSeparators(f.registryPath()))),
                     qPrintable(errors.first()));
            QVERIFY(!run.texts(QStringLiteral("message")).contains(u("Программа Просмотр обновлена")));
            QCOMPARE(readFile(f.registryPath()), registryBefore);
        } else {
            VERIFY_CLEAN_RUN(run);
        }
        if (variant == QLatin1String("traced"))
            verifyFlushedBeforeRenamed(trace, viewer);

        const QString tree = f.root() + QStringLiteral("/trees/viewer");
        QCOMPARE(readFile(viewer + QStringLiteral("/viewer.exe")), readFile(tree + QStringLiteral("/viewer.exe")));
        QCOMPARE(readFile(viewer + QStringLiteral("/lib/core.so")), readFile(tree + QStringLiteral("/lib/core.so")));
        QCOMPARE(readFile(viewer + QStringLiteral("/added/new.txt")), QByteArray("new in 2\n"));
        QVERIFY(!QFile::exists(viewer + QStringLiteral("/old.txt")));
        QCOMPARE(readFile(viewer + QStringLiteral("/settings.ini")), QByteArray("[main]\nfrom=user\n"));
        QCOMPARE(readFile(viewer + QStringLiteral("/user notes.txt")), QByteArray("mine\n"));
        QCOMPARE(readFile(viewer + QStringLiteral("/update_fileinfo.xml")),
                 readFile(f.serverDir() + QStringLiteral("/packs/viewer/update_fileinfo.xml")));

        // Exactly the changed files were replaced.
        QStringList updated;
        for (const QString &m : run.texts(QStringLiteral("message"))) {
            if (m.startsWith(u("Обновлен файл ")))
                updated << QFileInfo(m.section(QLatin1Char(' '), 2, -3)).fileName();
        }
        updated.sort();
        QCOMPARE(updated, QStringList({QStringLiteral("core.so"), kLongestName, QStringLiteral("new.txt"), kLongName,
                                       QStringLiteral("viewer.exe")}));
        // No staging files left beside targets.
        for (const QString &rel : listFilesRecursive(viewer))
            QVERIFY2(!rel.contains(QLatin1String("kestra-new")), qPrintable(rel));
    }

    void unchangedDocumentComparesSizesOnly()
    {
        EngineFixture f;
        QVERIFY(setupClinic(f));
        const QStringList args{"--update", "viewer"};
        QVERIFY(f.run(args).finished);
        const QString core = f.installRoot() + QStringLiteral("/viewer/lib/core.so");
        const QString exe = f.installRoot() + QStringLiteral("/viewer/viewer.exe");
        const QByteArray sameSize = patternBytes(40000, 99);
        writeFile(core, sameSize);
        writeFile(exe, "short");

        // Same document: the same-size file is not hashed, the other is replaced.
        DriverRun run = f.run(args);
        QVERIFY(run.finished);
        QCOMPARE(readFile(core), sameSize);
        QCOMPARE(readFile(exe), patternBytes(70000, 1));

        // Without a local record every file of the right size is hashed.
        QVERIFY(QFile::remove(f.installRoot() + QStringLiteral("/viewer/update_fileinfo.xml")));
        run = f.run(args);
        QVERIFY(run.finished);
        QCOMPARE(readFile(core), patternBytes(40000, 2));
        QCOMPARE(run.texts(QStringLiteral("message")).filter(u("Обновлен файл")).size(), 1);
    }

    void checksumFileBeforeDocument_data()
    {
        QTest::addColumn<QString>("checksum");  // what the server publishes beside release 2
        QTest::addColumn<int>("recordAgeDays"); // age of the local record's last whole fetch
        QTest::addColumn<bool>("release2");     // release 2 installed: the document was fetched
        // A document replaced by hand keeps release 1's checksum file: the
        // record stands in for the document, until a day has passed.
        QTest::newRow("checksum names the record: document not fetched") << "release1" << 0 << false;
        QTest::newRow("checksum names the record, record a day old: fetched") << "release1" << 2 << true;
        QTest::newRow("checksum of the new document: fetched") << "release2" << 0 << true;
        QTest::newRow("no checksum file: fetched") << "none" << 0 << true;
        QTest::newRow("unreadable checksum file: fetched") << "garbage" << 0 << true;
        // With signatures required the unsigned checksum file counts for
        // nothing; the publisher's envelope, fetched first, stands in for it.
        QTest::newRow("signed: envelope names the record, document not fetched") << "signed release1" << 2 << false;
        QTest::newRow("signed: envelope of the new document, fetched") << "signed release2" << 0 << true;
    }

    void checksumFileBeforeDocument()
    {
        if (!NginxServer::isAvailable())
            QSKIP("nginx is not installed");
        QFETCH(QString, checksum);
        QFETCH(int, recordAgeDays);
        QFETCH(bool, release2);
        EngineFixture f;
        NginxServer nginx;
        QVERIFY(setupClinic(f, QStringLiteral("nginx"), &nginx));
        const bool signing = checksum.startsWith(QLatin1String("signed"));
        QByteArray key;
        QByteArray publicKey;
        const QDateTime now = QDateTime::currentDateTimeUtc();
        if (signing) {
            QVERIFY(generateSigningKeyPair(&key, &publicKey));
            QVERIFY(signServer(f, key, now.addSecs(-7200)));
            QVERIFY(f.writeConfig({kViewerGuid, kArchiveGuid},
                                  QStringLiteral("[security]\ntrusted_keys=%1\n").arg(QString::fromLatin1(publicKey.toBase64())),
                                  nginx.baseUrl() + QStringLiteral("/project.xml")));
        }
        const QStringList args{"--update", "viewer"};
        QVERIFY(f.run(args).finished);
        const QString viewer = f.installRoot() + QStringLiteral("/viewer");
        const QString record = viewer + QStringLiteral("/update_fileinfo.xml");
        const QString sums = f.serverDir() + QStringLiteral("/packs/viewer/update_fileinfo.sha1");
        const QByteArray release1Sums = readFile(sums);
        QCOMPARE(release1Sums, sha1Hex(readFile(record)).toLatin1() + "\tupdate_fileinfo.xml");

        const QString document = f.serverDir() + QStringLiteral("/packs/viewer/update_fileinfo.xml");
        const QByteArray release1Envelope = readFile(signatureFilePath(document));
        QVERIFY(buildViewer(f, true));
        // A document replaced by hand beside release 1's envelope.
        if (checksum == "signed release1")
            QVERIFY(writeFile(signatureFilePath(document), release1Envelope));
        else if (checksum == "signed release2")
            QVERIFY(signAt(document, key, now.addSecs(-3600)));
        if (checksum == "release1" || signing)
            QVERIFY(writeFile(sums, release1Sums));
        else if (checksum == "release2")
            QVERIFY(writeFile(sums, sha1Hex(readFile(document)).toLatin1() + "\tupdate_fileinfo.xml"));
        else if (checksum == "none")
            QVERIFY(QFile::remove(sums));
        else
            QVERIFY(writeFile(sums, "<html>not found</html>"));
        if (recordAgeDays > 0) {
            QFile file(record);
            QVERIFY(file.open(QIODevice::Append));
            QVERIFY(file.setFileTime(QDateTime::currentDateTime().addDays(-recordAgeDays),
                                     QFileDevice::FileModificationTime));
        }
        const DriverRun run = f.run(args);
        VERIFY_CLEAN_RUN(run);
        QCOMPARE(readFile(record) == readFile(document), release2);
        QCOMPARE(readFile(viewer + QStringLiteral("/viewer.exe")) == patternBytes(70000, 1), !release2);
    }

    void failuresAreRepairedByNextRun()
    {
        if (!NginxServer::isAvailable())
            QSKIP("nginx is not installed");
        EngineFixture f;
        NginxServer nginx;
        QVERIFY(setupClinic(f, QStringLiteral("nginx"), &nginx));
        const QStringList args{"--update", "viewer:dicom"};
        QVERIFY(f.run(args).finished);
        const QString viewer = f.installRoot() + QStringLiteral("/viewer");
        const QByteArray oldRecord = readFile(viewer + QStringLiteral("/update_fileinfo.xml"));

        QVERIFY(buildViewer(f, true));
        // Corrupt one data file (same size) and drop another from the server.
        const QString pack = f.serverDir() + QStringLiteral("/packs/viewer/viewer");
        const QByteArray goodExe = readFile(pack + QStringLiteral("/viewer.exe"));
        writeFile(pack + QStringLiteral("/viewer.exe"), patternBytes(goodExe.size(), 77));
        const QByteArray goodNew = readFile(pack + QStringLiteral("/added/new.txt"));
        QVERIFY(QFile::remove(pack + QStringLiteral("/added/new.txt")));

        DriverRun run = f.run(args);
        QVERIFY(run.finished);
        // packwright's entries carry a SHA-256, which the file is checked by.
        const auto sha256 = [](const QByteArray &bytes) {
            return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
        };
        QVERIFY(run.hasError(u("Хэш скачанного файла (%1) не совпадает с тем что в описании (%2)")
                                 .arg(sha256(patternBytes(goodExe.size(), 77)), sha256(goodExe))));
        QVERIFY(run.hasError(u("Ошибка при скачивании файла %1/packs/viewer/viewer/added/new.txt в ")
                                 .arg(nginx.baseUrl())));
        QCOMPARE(readFile(viewer + QStringLiteral("/viewer.exe")), patternBytes(70000, 1)); // old file untouched
        // The step was incomplete: the old record stays, the program stays registered.
        QCOMPARE(readFile(viewer + QStringLiteral("/update_fileinfo.xml")), oldRecord);
        QVERIFY(run.texts(QStringLiteral("message")).contains(u("Программа Просмотр обновлена")));

        // Repaired server: the next run compares hashes again and completes.
        writeFile(pack + QStringLiteral("/viewer.exe"), goodExe);
        writeFile(pack + QStringLiteral("/added/new.txt"), goodNew);
        run = f.run(args);
        VERIFY_CLEAN_RUN(run);
        QString why;
        // settings.ini is protected by the program's doNotDelete list and keeps
        // the first release's content.
        QMap<QString, QByteArray> expected = viewerRelease2();
        expected.insert(QStringLiteral("settings.ini"), viewerRelease1().value(QStringLiteral("settings.ini")));
        QVERIFY2(moduleEquals(viewer, f.makeTree(QStringLiteral("expected"), expected), &why), qPrintable(why));
    }

    void serverStoppedMidRun()
    {
        if (!NginxServer::isAvailable())
            QSKIP("nginx is not installed");
        EngineFixture f;
        NginxServer nginx;
        QVERIFY(setupClinic(f, QStringLiteral("nginx"), &nginx));
        const QStringList args{"--update", "viewer:dicom", "--delay-ms", "150"};
        QProcess driver;
        QVERIFY(f.startDetached(&driver, args));
        // Stop the server once the first module is under way.
        QByteArray out = readProgress(driver, 1, 20000);
        nginx.stop();
        QVERIFY(driver.waitForFinished(60000));
        out += driver.readAllStandardOutput();
        const DriverRun broken = DriverRun::parse(out, driver.exitCode());
        QVERIFY2(broken.finished, out.constData());
        QVERIFY(broken.count(QStringLiteral("error")) > 0);

        // The server comes back (on another port); the next run completes.
        NginxServer again;
        again.setRoot(f.serverDir());
        QVERIFY(again.start());
        QVERIFY(
            f.writeConfig({kViewerGuid, kArchiveGuid}, QString(), again.baseUrl() + QStringLiteral("/project.xml")));
        const DriverRun run = f.run({"--update", "viewer:dicom"});
        VERIFY_CLEAN_RUN(run);
        QString why;
        QVERIFY2(f.installed({"viewer", "dicom", "codec"}, &why), qPrintable(why));
    }

    void killedRunNeverLosesATarget()
    {
        if (!NginxServer::isAvailable())
            QSKIP("nginx is not installed");
        EngineFixture f;
        NginxServer nginx;
        QVERIFY(f.init());
        // A module of many files, so that kills land between and during files.
        QMap<QString, QByteArray> one;
        QMap<QString, QByteArray> two;
        for (int i = 0; i < 60; ++i) {
            const QString name = QStringLiteral("f%1/file%2.bin").arg(i % 6).arg(i);
            one.insert(name, patternBytes(2000 + i * 500, quint32(i)));
            two.insert(name, patternBytes(2000 + i * 500 + (i % 3 == 0 ? 0 : 7), quint32(1000 + i)));
        }
        const QString tree1 = f.makeTree(QStringLiteral("big1"), one);
        const QString tree2 = f.makeTree(QStringLiteral("big2"), two);
        QVERIFY(f.writeProject({programm(QStringLiteral("big"), kViewerGuid)}));
        nginx.setRoot(f.serverDir());
        QVERIFY(nginx.start());
        QVERIFY(f.writeConfig({kViewerGuid}, QString(), nginx.baseUrl() + QStringLiteral("/project.xml")));
        QVERIFY(f.buildPack(QStringLiteral("big"), tree1, QStringLiteral("packs/big")));
        const QStringList args{"--update", "big"};
        QVERIFY(f.run(args).finished);
        QVERIFY(f.buildPack(QStringLiteral("big"), tree2, QStringLiteral("packs/big")));

        const QString installed = f.installRoot() + QStringLiteral("/big");
        const QStringList targets = listFilesRecursive(tree1);
        // A temporary folder on another file system (tmpfs) makes the engine copy
        // files beside their targets and rename them; on the same file system it
        // moves them straight over. Both ways are killed.
        QTemporaryDir otherVolume(QStringLiteral("/dev/shm/kestra-engine-XXXXXX"));
        int midway = 0;
        for (quint32 seed = 1; seed <= 4; ++seed) {
            f.setTempDir(seed % 2 == 0 && otherVolume.isValid() ? otherVolume.path() : QString());
            QRandomGenerator random(seed);
            QProcess driver;
            QVERIFY(f.startDetached(&driver, args + QStringList{"--delay-ms", "15"}));
            // Kill after a random file of the module has started (plus a random
            // moment more), so every kill lands inside the file loop.
            const int files = int(random.bounded(1, 40));
            readProgress(driver, files + 1, 30000);
            QTest::qWait(int(random.bounded(0, 30)));
            driver.kill(); // SIGKILL: no chance to clean up
            QVERIFY(driver.waitForFinished(10000));
            for (const QString &rel : targets)
                QVERIFY2(QFile::exists(installed + QLatin1Char('/') + rel), qPrintable(QString::number(seed) + rel));
            // Count kills that came mid-way (the second release not complete on
            // disk); on a very busy machine the run may get ahead of the watcher.
            QString why;
            if (!moduleEquals(installed, tree2, &why))
                ++midway;
            const DriverRun run = f.run(args);
            VERIFY_CLEAN_RUN(run);
            QVERIFY2(moduleEquals(installed, tree2, &why), qPrintable(why));
            // Back to release 1 for the next kill.
            if (seed < 4) {
                QVERIFY(f.buildPack(QStringLiteral("big"), tree1, QStringLiteral("packs/big")));
                QVERIFY(f.run(args).finished);
                QVERIFY(moduleEquals(installed, tree1, &why));
                QVERIFY(f.buildPack(QStringLiteral("big"), tree2, QStringLiteral("packs/big")));
            }
        }
        QVERIFY2(midway >= 2, qPrintable(QStringLiteral("only %1 of 4 kills landed inside the file loop").arg(midway)));
    }

    void hostileDocument_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("data");
        QTest::addColumn<bool>("removal");
        const struct
        {
            const char *row;
            const char *fileName;
            const char *path;
            const char *data;
        } rows[] = {
            {"parent in path", "evil.txt", "/../../", "m/evil.txt"},
            {"parent in file name", "../evil.txt", "", "m/evil.txt"},
            {"sibling module in path", "viewer.exe", "/../viewer", "m/evil.txt"},
            {"absolute path", "evil.txt", "/../../../../../../../../tmp", "m/evil.txt"},
            {"drive path", "evil.txt", "C:/evil", "m/evil.txt"},
            {"backslash parent", "..\\..\\evil.txt", "", "m/evil.txt"},
            {"empty file name", "", "/sub", "m/evil.txt"},
            {"parent in data", "evil.txt", "", "../../secret.txt"},
            {"encoded parent in data", "evil.txt", "", "%2e%2e/%2e%2e/secret.txt"},
        };
        for (const auto &r : rows) {
            QTest::newRow(qPrintable(QStringLiteral("update, ") + QLatin1String(r.row)))
                << u(r.fileName) << u(r.path) << u(r.data) << false;
            if (QByteArray(r.row).contains("data"))
                continue; // removal never reads data
            QTest::newRow(qPrintable(QStringLiteral("removal, ") + QLatin1String(r.row)))
                << u(r.fileName) << u(r.path) << u(r.data) << true;
        }
        // dicom/linked is a link to a folder outside the root, holding
        // evil.txt and a hidden file.
        QTest::newRow("update, through a folder link in the module folder")
            << "evil.txt" << "/linked" << "m/evil.txt" << false;
        QTest::newRow("update, below a folder link in the module folder")
            << "evil.txt" << "/linked/deeper" << "m/evil.txt" << false;
        QTest::newRow("removal, through a folder link in the module folder")
            << "evil.txt" << "/linked" << "m/evil.txt" << true;
    }

    void hostileDocument()
    {
        QFETCH(QString, fileName);
        QFETCH(QString, path);
        QFETCH(QString, data);
        QFETCH(bool, removal);
        EngineFixture f;
        QVERIFY(setupClinic(f));
        QVERIFY(f.run({"--update", "viewer:dicom", "--change-config"}).finished);
        // Bait: what a hostile document would fetch, and files it would hit.
        const QByteArray evil("evil content\n");
        writeFile(f.serverDir() + QStringLiteral("/packs/dicom/m/evil.txt"), evil);
        writeFile(f.serverDir() + QStringLiteral("/secret.txt"), evil);
        writeFile(f.root() + QStringLiteral("/secret.txt"), evil);
        writeFile(f.installRoot() + QStringLiteral("/evil.txt"), "victim\n");
        writeFile(f.root() + QStringLiteral("/outside/evil.txt"), "victim\n");
        writeFile(f.root() + QStringLiteral("/outside/.hidden"), "victim\n");
        QVERIFY(QFile::link(f.root() + QStringLiteral("/outside"), f.installRoot() + QStringLiteral("/dicom/linked")));
        const QMap<QString, QByteArray> before
            = snapshot(f.root(), {QStringLiteral("server"), QStringLiteral("trees")});

        const QByteArray good = readFile(f.root() + QStringLiteral("/trees/dicom/d.dll"));
        writeFile(f.serverDir() + QStringLiteral("/packs/dicom/m/d.dll"), good);
        const QString entries = entryXml(fileName, path, data, evil) + entryXml("d.dll", QString(), "m/d.dll", good);
        writeFile(f.serverDir() + QStringLiteral("/packs/dicom/update_fileinfo.xml"), documentXml(entries));

        const DriverRun run
            = removal ? f.run({"--remove-plugins", "viewer:dicom"}) : f.run({"--update", "viewer:dicom"});
        QVERIFY2(run.finished, run.rawOutput.constData());
        QVERIFY2(run.hasError(u("Недопустимый путь файла")), run.rawOutput.constData());

        const QMap<QString, QByteArray> after = snapshot(f.root(), {QStringLiteral("server"), QStringLiteral("trees")});
        for (auto it = before.constBegin(); it != before.constEnd(); ++it) {
            // dicom is the module under attack; removing it also removes its
            // necessary dependency codec, as it should.
            if (it.key().startsWith(QLatin1String("install/dicom/"))
                || it.key().startsWith(QLatin1String("install/updater/"))
                || (removal && it.key().startsWith(QLatin1String("install/codec/"))))
                continue;
            QVERIFY2(after.value(it.key()) == it.value(), qPrintable(QStringLiteral("changed: ") + it.key()));
        }
        for (auto it = after.constBegin(); it != after.constEnd(); ++it) {
            if (!before.contains(it.key()))
                QVERIFY2(it.key().startsWith(QLatin1String("install/dicom/"))
                             || it.key().startsWith(QLatin1String("install/updater/")),
                         qPrintable(QStringLiteral("created: ") + it.key()));
            QVERIFY2(it.value() != evil || !it.key().startsWith(QLatin1String("install/dicom")),
                     qPrintable(QStringLiteral("fetched: ") + it.key()));
        }
        if (removal)
            QVERIFY(!QFile::exists(f.installRoot() + QStringLiteral("/dicom/d.dll")));
        else
            QCOMPARE(readFile(f.installRoot() + QStringLiteral("/dicom/d.dll")), good);
    }

    void signedRelease_data()
    {
        QTest::addColumn<QString>("attack"); // what the server does to release 2 of viewer
        QTest::addColumn<QString>("reason"); // the refusal's reason; empty: release 2 is installed
        QTest::newRow("signed release accepted") << "none" << QString();
        QTest::newRow("server without signatures while none are required") << "unsigned server" << QString();
        QTest::newRow("trusted keys listed with a malformed one and another publisher's") << "key list" << QString();
        QTest::newRow("a key trusted, signatures not required: unsigned document used") << "not required" << QString();
        QTest::newRow("a byte changed in the signed document") << "byte" << u("подпись");
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
        const bool signing = attack != QLatin1String("unsigned server");
        const bool required = signing && attack != QLatin1String("not required");
        const QDateTime now = QDateTime::currentDateTimeUtc();
        QByteArray key;
        QByteArray publicKey;
        QVERIFY(generateSigningKeyPair(&key, &publicKey));
        EngineFixture f;
        QVERIFY(f.init());
        QVERIFY(f.publish(clinic()));
        if (signing)
            QVERIFY(signServer(f, key, now.addSecs(-7200)));
        QString trust = QStringLiteral("[security]\ntrusted_keys=%1\n").arg(QString::fromLatin1(publicKey.toBase64()));
        if (attack == QLatin1String("key list")) {
            QByteArray otherKey;
            QByteArray otherPublic;
            QVERIFY(generateSigningKeyPair(&otherKey, &otherPublic));
            trust = QStringLiteral("[security]\ntrusted_keys=not-a-key, %1 ,%2\n")
                        .arg(QString::fromLatin1(otherPublic.toBase64()), QString::fromLatin1(publicKey.toBase64()));
        } else if (attack == QLatin1String("not required")) {
            trust += QStringLiteral("require_signatures=false\n");
        }
        QVERIFY(f.writeConfig({kViewerGuid, kArchiveGuid}, signing ? trust : QString()));
        const QStringList args{"--update", "viewer:dicom", "--change-config"};
        DriverRun run = f.run(args);
        VERIFY_CLEAN_RUN(run);
        QString why;
        const QStringList kept = required ? QStringList{QStringLiteral("update_fileinfo.sig")} : QStringList();
        for (const QString &module : QStringList{"dicom", "codec"})
            QVERIFY2(moduleEquals(f.installRoot() + '/' + module, f.treeDir(module), &why, kept), qPrintable(why));

        const QString pack = f.serverDir() + QStringLiteral("/packs/viewer");
        const QString document = pack + QStringLiteral("/update_fileinfo.xml");
        const QString release1 = f.root() + QStringLiteral("/release1");
        for (const QString &rel : listFilesRecursive(pack))
            QVERIFY(writeFile(release1 + '/' + rel, readFile(pack + '/' + rel)));
        QVERIFY(buildViewer(f, true));
        if (signing)
            QVERIFY(signAt(document, key, now.addSecs(-3600)));

        if (attack == QLatin1String("older")) {
            run = f.run(args); // release 2 goes in; then the server offers release 1 again
            VERIFY_CLEAN_RUN(run);
            QVERIFY(QDir(pack).removeRecursively());
            for (const QString &rel : listFilesRecursive(release1))
                QVERIFY(writeFile(pack + '/' + rel, readFile(release1 + '/' + rel)));
        } else if (attack == QLatin1String("byte")) {
            QByteArray xml = readFile(document);
            xml.replace("is_required=\"0\"", "is_required=\"1\"");
            QVERIFY(writeFile(document, xml));
        } else if (attack == QLatin1String("forgery")) {
            // The hashes of the document name the forged file: only the
            // signature can tell.
            const QByteArray evil = "#!/bin/sh\necho forged\n";
            QDomDocument dom;
            QVERIFY(dom.setContent(readFile(document)));
            const QDomNodeList entries = dom.elementsByTagName(QStringLiteral("fileinfo"));
            bool found = false;
            for (int i = 0; i < entries.count(); ++i) {
                QDomElement e = entries.at(i).toElement();
                if (e.attribute(QStringLiteral("filename")) != QLatin1String("viewer.exe"))
                    continue;
                e.setAttribute(QStringLiteral("hash"), sha1Hex(evil));
                e.setAttribute(QStringLiteral("sha256"),
                               QString::fromLatin1(QCryptographicHash::hash(evil, QCryptographicHash::Sha256).toHex()));
                e.setAttribute(QStringLiteral("size"), QString::number(evil.size()));
                QVERIFY(writeFile(pack + '/' + e.firstChildElement(QStringLiteral("data")).text(), evil));
                found = true;
            }
            QVERIFY(found);
            QVERIFY(writeFile(document, dom.toByteArray()));
        } else if (attack == QLatin1String("no envelope") || attack == QLatin1String("not required")) {
            QVERIFY(QFile::remove(signatureFilePath(document)));
        } else if (attack == QLatin1String("other key")) {
            QByteArray otherKey;
            QByteArray otherPublic;
            QVERIFY(generateSigningKeyPair(&otherKey, &otherPublic));
            QVERIFY(signAt(document, otherKey, now));
        } else if (attack == QLatin1String("expired")) {
            QVERIFY(signAt(document, key, now.addDays(-2), now.addDays(-1).addSecs(-1)));
        } else if (attack == QLatin1String("other module")) {
            // codec's genuine document, signed no earlier than viewer's record.
            const QString codec = f.serverDir() + QStringLiteral("/packs/codec/update_fileinfo.xml");
            QVERIFY(writeFile(document, readFile(codec)));
            QVERIFY(writeFile(signatureFilePath(document), readFile(signatureFilePath(codec))));
        }

        if (attack.endsWith(QLatin1String("mirror"))) {
            signedMirrorRoundTrip(f, trust, attack == QLatin1String("forged mirror"));
            return;
        }
        const QMap<QString, QByteArray> before = snapshot(f.installRoot(), {QStringLiteral("updater")});
        const QJsonObject registryBefore = f.registry();
        run = f.run(args);
        QVERIFY2(run.finished, run.rawOutput.constData());
        if (reason.isEmpty()) {
            VERIFY_CLEAN_RUN(run);
            const QString viewer = f.installRoot() + QStringLiteral("/viewer");
            QCOMPARE(readFile(viewer + QStringLiteral("/viewer.exe")), patternBytes(90000, 11));
            QCOMPARE(readFile(viewer + QStringLiteral("/update_fileinfo.xml")), readFile(document));
            QCOMPARE(QFile::exists(viewer + QStringLiteral("/update_fileinfo.sig")), required);
            return;
        }
        const QStringList refusals = run.texts(QStringLiteral("error")).filter(u("Ошибка проверки документа"));
        QVERIFY2(refusals.size() == 1, run.rawOutput.constData());
        QVERIFY2(refusals.first().endsWith(u(", ") + reason), qPrintable(refusals.first()));
        QVERIFY2(refusals.first().contains(QStringLiteral("packs/viewer")), qPrintable(refusals.first()));
        // Nothing of the installation changed; the other modules were
        // still brought up to date (they were current).
        QCOMPARE(snapshot(f.installRoot(), {QStringLiteral("updater")}), before);
        QCOMPARE(f.registry(), registryBefore);
        QCOMPARE(run.count(QStringLiteral("error")), 1);
    }

    // A mirror refreshed from f's signed server; workstations that trust the
    // publisher read it through the signed documents it keeps, older ones
    // as before. forged: the mirror's own file list of viewer names a file
    // of its own.
    void signedMirrorRoundTrip(EngineFixture &f, const QString &trust, bool forged)
    {
        const QString mirror = f.root() + QStringLiteral("/mirror");
        QDir().mkpath(mirror);
        DriverRun run = f.run({"--mirror", "--install-path", mirror, "--update", "viewer:dicom"});
        VERIFY_CLEAN_RUN(run);
        QCOMPARE(readFile(mirror + QStringLiteral("/upstream/project.xml")),
                 readFile(f.serverDir() + QStringLiteral("/project.xml")));
        QCOMPARE(readFile(mirror + QStringLiteral("/upstream/project.sig")),
                 readFile(f.serverDir() + QStringLiteral("/project.sig")));
        QCOMPARE(readFile(mirror + '/' + kViewerGuid + QStringLiteral("/update_fileinfo.sig")),
                 readFile(f.serverDir() + QStringLiteral("/packs/viewer/update_fileinfo.sig")));
        const QString viewerList = mirror + '/' + kViewerGuid + QStringLiteral("/mirror_fileinfo.xml");
        if (forged) {
            const QByteArray evil = "forged\n";
            QByteArray xml = readFile(viewerList);
            const QByteArray good = readFile(f.treeDir(QStringLiteral("viewer")) + QStringLiteral("/sub dir/x.cfg"));
            QVERIFY(xml.contains(sha1Hex(good).toLatin1()));
            xml.replace(sha1Hex(good).toLatin1(), sha1Hex(evil).toLatin1());
            xml.replace(QCryptographicHash::hash(good, QCryptographicHash::Sha256).toHex(),
                        QCryptographicHash::hash(evil, QCryptographicHash::Sha256).toHex());
            QVERIFY(writeFile(viewerList, xml));
            QVERIFY(writeFile(mirror + '/' + kViewerGuid + QStringLiteral("/sub dir/x.cfg"), evil));
        }
        for (const bool trusting : {false, true}) {
            EngineFixture g;
            QVERIFY(g.init());
            QVERIFY(g.writeConfig({kViewerGuid}, trusting ? trust : QString(), mirror + QStringLiteral("/mirror.xml")));
            run = g.run({"--update", "viewer:dicom", "--change-config"});
            QVERIFY2(run.finished, run.rawOutput.constData());
            if (!forged || !trusting) {
                // An older updater cannot tell a forged list: hashes match it.
                QCOMPARE(run.count(QStringLiteral("error")), 0);
                const QStringList kept = trusting ? QStringList{QStringLiteral("update_fileinfo.sig")} : QStringList();
                QString why;
                for (const QString &module : QStringList{"dicom", "codec"})
                    QVERIFY2(moduleEquals(g.installRoot() + '/' + module, f.treeDir(module), &why, kept),
                             qPrintable(why));
                QCOMPARE(readFile(g.installRoot() + QStringLiteral("/viewer/viewer.exe")), patternBytes(90000, 11));
                continue;
            }
            const QStringList refusals = run.texts(QStringLiteral("error")).filter(u("Ошибка проверки документа"));
            QVERIFY2(refusals.size() == 1 && refusals.first().endsWith(u(", подпись")), run.rawOutput.constData());
            // Nothing of the program was installed, nor what it needs.
            QCOMPARE(QDir(g.installRoot()).entryList(QDir::Dirs | QDir::NoDotAndDotDot), QStringList{"updater"});
        }
    }

    void hostileModuleFolder_data()
    {
        // The element's name; the fixture's updater folder is "updater".
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("removal");
        const char *names[] = {"..", "Updater", "updater.", "updater ", "UPDATER_TEMP", "updater_temp", "Backup",
                               "con", "nul.txt", "Com1"};
        for (const char *name : names) {
            QTest::newRow(qPrintable(QStringLiteral("update, ") + QLatin1String(name))) << u(name) << false;
            QTest::newRow(qPrintable(QStringLiteral("removal, ") + QLatin1String(name))) << u(name) << true;
        }
    }

    void hostileModuleFolder()
    {
        QFETCH(QString, name);
        QFETCH(bool, removal);
        EngineFixture f;
        QVERIFY(f.init());
        // packwright refuses some of these names: the pack is built as evil.
        QVERIFY(f.buildPack(programm(QStringLiteral("evil"), kViewerGuid, {{"evil.txt", "x\n"}})));
        ModuleSpec up = programm(name, kViewerGuid);
        up.pack = QStringLiteral("packs/evil");
        QVERIFY(f.writeProject({up}));
        QVERIFY(f.writeConfig({kViewerGuid}));
        // A removal needs a registered program: the registry says so.
        QVERIFY(writeFile(f.registryPath(),
                          QStringLiteral("{\"programms\":[{\"programm_name\":\"%1\"}]}").arg(name).toUtf8()));
        const QMap<QString, QByteArray> before = snapshot(f.root(), {QStringLiteral("server"), QStringLiteral("trees")});
        const DriverRun run = removal ? f.run({"--remove", name}) : f.run({"--update", name});
        QVERIFY2(run.finished, run.rawOutput.constData());
        QVERIFY2(run.hasError(u("Недопустимый путь файла")), run.rawOutput.constData());
        QVERIFY(!QFile::exists(f.root() + QStringLiteral("/evil.txt")));
        QVERIFY(!QFile::exists(f.installRoot() + QStringLiteral("/evil.txt")));
        // Nothing written or deleted outside the updater's own folder.
        auto outsideUpdater = [](QMap<QString, QByteArray> files) {
            for (auto it = files.begin(); it != files.end();)
                it = it.key().startsWith(QLatin1String("install/updater/")) ? files.erase(it) : it + 1;
            return files.keys();
        };
        QCOMPARE(outsideUpdater(snapshot(f.root(), {QStringLiteral("server"), QStringLiteral("trees")})),
                 outsideUpdater(before));
    }

    void backupOncePerModuleStep_data()
    {
        QTest::addColumn<QString>("extra"); // what the module folder holds besides its files
        QTest::newRow("module folder") << "";
        // The zip writer holds a file in memory whole: a file too large for
        // that is left out and named, the rest of the backup and the update
        // go on.
        QTest::newRow("with a file too large for the archive") << "large";
        // What links lead to is not the module's: neither is archived.
        QTest::newRow("with a folder link and a file link") << "links";
        // No archive at all, and the update goes on: the disk fills up
        // while the archive is written, or the folder is larger than a zip
        // archive can be.
        QTest::newRow("archive beyond the file size limit") << "fsize";
        QTest::newRow("folder beyond the 4 GiB of the zip format") << "4gib";
    }

    void backupOncePerModuleStep()
    {
        QFETCH(QString, extra);
        EngineFixture f;
        QVERIFY(setupClinic(f));
        const QStringList args{"--update", "viewer:dicom"};
        QVERIFY(f.run(args).finished);
        const QString viewer = f.installRoot() + QStringLiteral("/viewer");
        const QString outside = f.root() + QStringLiteral("/outside");
        QVERIFY(writeFile(outside + QStringLiteral("/secret.txt"), "not the module's\n"));
        if (extra == QLatin1String("fsize"))
            QVERIFY(writeFile(viewer + QStringLiteral("/user data.bin"), patternBytes(95000, 40)));
        const QMap<QString, QByteArray> before = snapshot(viewer);
        const QString large = viewer + QStringLiteral("/archive.db");
        const qint64 largeSize = 600LL * 1024 * 1024;
        // Sparse: no disk space, and nothing reads them unless they are zipped.
        auto sparse = [](const QString &path, qint64 size) {
            QFile file(path);
            return file.open(QIODevice::WriteOnly) && file.resize(size);
        };
        if (extra == QLatin1String("large"))
            QVERIFY(sparse(large, largeSize));
        for (int i = 0; extra == QLatin1String("4gib") && i < 9; ++i)
            QVERIFY(sparse(viewer + QStringLiteral("/volume%1.db").arg(i), 500LL * 1024 * 1024));
        if (extra == QLatin1String("links")) {
            QVERIFY(QFile::link(outside, viewer + QStringLiteral("/linked")));
            QVERIFY(QFile::link(outside + QStringLiteral("/secret.txt"), viewer + QStringLiteral("/secret.txt")));
            // A dangling link where a new copy is staged (a temporary folder
            // on another file system makes the engine stage every file).
            if (QFileInfo(QStringLiteral("/dev/shm")).isWritable())
                f.setTempDir(QStringLiteral("/dev/shm"));
            QVERIFY(QFile::link(outside + QStringLiteral("/planted"), viewer + QStringLiteral("/.viewer.exe.kestra-new")));
        }
        if (extra == QLatin1String("fsize"))
            f.setFileSizeLimit(100000); // above every file the update writes, below the archive

        QVERIFY(buildViewer(f, true));
        const DriverRun run = f.run(args + QStringList{"--backup"});
        QVERIFY2(run.finished, run.rawOutput.constData());
        const QStringList errors = run.texts(QStringLiteral("error"));
        // The update itself went on: the new release is in place (the
        // protected settings file aside).
        const QMap<QString, QByteArray> release = viewerRelease2();
        for (auto it = release.constBegin(); it != release.constEnd(); ++it) {
            if (it.key() != QLatin1String("settings.ini"))
                QCOMPARE(readFile(viewer + QLatin1Char('/') + it.key()), it.value());
        }
        if (extra == QLatin1String("fsize") || extra == QLatin1String("4gib")) {
            QCOMPARE(errors.size(), 1);
            QVERIFY2(errors.first().startsWith(u("Не могу создать файл бэкапа %1/backup/viewer").arg(f.installRoot())),
                     qPrintable(errors.first()));
            if (extra == QLatin1String("4gib"))
                QVERIFY2(errors.first().contains(u("4 ГБ")), qPrintable(errors.first()));
            // No fragment passing for a backup.
            QCOMPARE(QDir(f.installRoot() + QStringLiteral("/backup")).entryList(QDir::Files), QStringList());
            return;
        }
        if (extra == QLatin1String("large")) {
            QCOMPARE(errors.size(), 1);
            QVERIFY2(errors.first().contains(u("слишком большой для бэкапа")) && errors.first().contains(large),
                     qPrintable(errors.first()));
            QCOMPARE(QFileInfo(large).size(), largeSize);
        } else {
            VERIFY_CLEAN_RUN(run);
        }
        QVERIFY(!QFileInfo::exists(outside + QStringLiteral("/planted")));
        // Only viewer changed: one archive, named after it.
        const QStringList zips = QDir(f.installRoot() + QStringLiteral("/backup")).entryList(QDir::Files);
        QCOMPARE(zips.size(), 1);
        QVERIFY(
            QRegularExpression(QStringLiteral("^viewer\\d{6}_\\d{6}_\\d{3}\\.zip$")).match(zips.first()).hasMatch());
        const QString zip = f.installRoot() + QStringLiteral("/backup/") + zips.first();

        const QString unzip = findExecutable({QStringLiteral("/usr/bin/unzip")});
        if (!unzip.isEmpty())
            QVERIFY(runTool(unzip, {"-t", zip}));
        // Python's reader: every entry named from the module folder, bytes equal
        // to the folder before the update.
        const ProcessResult python = runProcess(QStringLiteral("/usr/bin/python3"),
                                                {"-c",
                                                 "import sys,zipfile,hashlib\n"
                                                 "z=zipfile.ZipFile(sys.argv[1])\n"
                                                 "assert z.testzip() is None\n"
                                                 "for n in sorted(z.namelist()):\n"
                                                 "  print(n+'\\t'+hashlib.sha1(z.read(n)).hexdigest())\n",
                                                 zip});
        QVERIFY2(python.ok(), python.output.constData());
        QStringList expected;
        for (auto it = before.constBegin(); it != before.constEnd(); ++it)
            expected << QStringLiteral("viewer/") + it.key() + QLatin1Char('\t') + sha1Hex(it.value());
        expected.sort();
        QStringList actual = QString::fromUtf8(python.output).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        actual.sort();
        QCOMPARE(actual, expected);
    }

    void removal()
    {
        EngineFixture f;
        QVERIFY(setupClinic(f));
        QVERIFY(f.run({"--update", "viewer:dicom,reports", "--update", "archive", "--change-config"}).finished);
        const QString root = f.installRoot();
        writeFile(root + QStringLiteral("/reports/user.txt"), "kept\n");

        // Partial: reports goes, its user file and folder stay; dicom stays.
        DriverRun run = f.run({"--remove-plugins", "viewer:reports"});
        QVERIFY(run.finished);
        QVERIFY(!QFile::exists(root + QStringLiteral("/reports/r.txt")));
        QCOMPARE(readFile(root + QStringLiteral("/reports/user.txt")), QByteArray("kept\n"));
        QCOMPARE(pluginNames(findProgramm(f.registry(), QStringLiteral("viewer"))),
                 QStringList({QStringLiteral("dicom")}));
        QVERIFY(QFile::exists(root + QStringLiteral("/dicom/d.dll")));

        // An unregistered module is not removed.
        run = f.run({"--remove-plugins", "viewer:reports"});
        QVERIFY(run.finished);
        QCOMPARE(readFile(root + QStringLiteral("/reports/user.txt")), QByteArray("kept\n"));
        QCOMPARE(run.count(QStringLiteral("status")), 0);

        // Whole: viewer's listed files go, doNotDelete survives, emptied
        // sub-folders are removed; its necessary chain goes with dicom.
        writeFile(root + QStringLiteral("/viewer/lib/.hidden"), "h\n");
        // A read-only file goes as well (Windows refuses until it is made writable).
        QVERIFY(QFile::setPermissions(root + QStringLiteral("/viewer/lib/core.so"), QFileDevice::ReadOwner));
        run = f.run({"--remove", "viewer"});
        QVERIFY(run.finished);
        QVERIFY(run.texts(QStringLiteral("message")).contains(u("Программа Просмотр удалена")));
        QVERIFY(run.texts(QStringLiteral("message")).contains(u("Удалена дирестория %1/viewer/lib").arg(root)));
        QCOMPARE(listFilesRecursive(root + QStringLiteral("/viewer")),
                 QStringList({QStringLiteral("settings.ini"), QStringLiteral("update_fileinfo.xml")}));
        QVERIFY(!QFile::exists(root + QStringLiteral("/dicom/d.dll")));
        QVERIFY(!QFile::exists(root + QStringLiteral("/codec/c.dll")));
        QVERIFY(findProgramm(f.registry(), QStringLiteral("viewer")).isEmpty());
        // The other program is untouched.
        QVERIFY(!findProgramm(f.registry(), QStringLiteral("archive")).isEmpty());
        QVERIFY(QFile::exists(root + QStringLiteral("/archive/db/a.dat")));
    }

    void mirrorRoundTrip()
    {
        EngineFixture f;
        QVERIFY(setupClinic(f));
        const QString mirror = f.root() + QStringLiteral("/mirror");
        QDir().mkpath(mirror);
        DriverRun run = f.run({"--mirror", "--install-path", mirror, "--update", "viewer:dicom,reports"});
        VERIFY_CLEAN_RUN(run);

        // Layout: one folder per module guid with both documents.
        for (const QString &guid : {kViewerGuid, kDicomGuid, kCodecGuid, kReportsGuid}) {
            QVERIFY2(QFile::exists(mirror + QLatin1Char('/') + guid + QStringLiteral("/update_fileinfo.xml")),
                     qPrintable(guid));
            QVERIFY(QFile::exists(mirror + QLatin1Char('/') + guid + QStringLiteral("/mirror_fileinfo.xml")));
            // With its checksum file, which the mirror's clients read first.
            const QString document = mirror + QLatin1Char('/') + guid + QStringLiteral("/mirror_fileinfo.xml");
            QCOMPARE(readFile(mirror + QLatin1Char('/') + guid + QStringLiteral("/mirror_fileinfo.sha1")),
                     sha1Hex(readFile(document)).toLatin1() + "\tmirror_fileinfo.xml");
        }
        QVERIFY(!QFile::exists(mirror + QLatin1Char('/') + kArchiveGuid));
        QVERIFY(QFile::exists(mirror + QLatin1Char('/') + kViewerGuid + QStringLiteral("/sub dir/x.cfg")));

        // Data texts point at the files' places inside the guid folder.
        QDomDocument doc;
        QVERIFY(
            doc.setContent(readFile(mirror + QLatin1Char('/') + kViewerGuid + QStringLiteral("/mirror_fileinfo.xml"))));
        QMap<QString, QString> dataOf;
        const QDomNodeList entries = doc.elementsByTagName(QStringLiteral("fileinfo"));
        for (int i = 0; i < entries.count(); ++i) {
            const QDomElement e = entries.at(i).toElement();
            dataOf.insert(e.attribute(QStringLiteral("filename")), e.firstChildElement(QStringLiteral("data")).text());
            QVERIFY(e.firstChildElement(QStringLiteral("data")).firstChild().isCDATASection());
        }
        QCOMPARE(dataOf.value(QStringLiteral("viewer.exe")), QStringLiteral("viewer.exe"));
        QCOMPARE(dataOf.value(QStringLiteral("x.cfg")), QStringLiteral("/sub dir/x.cfg"));
        QCOMPARE(dataOf.value(u("Отчёт (1).txt")), u("Отчёт (1).txt"));

        // mirror.xml: every description's elements once, pointing at guid folders.
        QDomDocument project;
        QVERIFY(project.setContent(readFile(mirror + QStringLiteral("/mirror.xml"))));
        QCOMPARE(project.documentElement().tagName(), QStringLiteral("root"));
        const QDomNodeList projects = project.elementsByTagName(QStringLiteral("project"));
        QStringList names;
        for (int i = 0; i < projects.count(); ++i) {
            const QDomElement p = projects.at(i).toElement();
            names << p.attribute(QStringLiteral("name"));
            const QDomElement bin = p.firstChildElement(QStringLiteral("bin")).firstChildElement();
            // Not mirrored: listed, but with no binary naming a file the
            // mirror does not hold.
            if (p.attribute(QStringLiteral("guid")) == kArchiveGuid) {
                QVERIFY(bin.isNull());
                continue;
            }
            QCOMPARE(bin.tagName(), QStringLiteral("x64"));
            QCOMPARE(bin.attribute(QStringLiteral("path")), p.attribute(QStringLiteral("guid")) + QLatin1Char('/'));
            QCOMPARE(bin.attribute(QStringLiteral("file_name")), QStringLiteral("mirror_fileinfo.xml"));
            QCOMPARE(bin.attribute(QStringLiteral("date")), QStringLiteral("2026-12-01T10:00:00.000"));
        }
        // codec is needed by dicom only; it is listed too, after the program's
        // own modules, or a client of the mirror could not install it.
        QCOMPARE(names, QStringList({"viewer", "dicom", "reports", "codec", "archive"}));

        // Round trip: a second installation served by the mirror.
        EngineFixture g;
        QVERIFY(g.init());
        QVERIFY(g.writeConfig({kViewerGuid, kArchiveGuid}, QString(), mirror + QStringLiteral("/mirror.xml")));
        run = g.run({"--update", "viewer:dicom,reports", "--change-config"});
        VERIFY_CLEAN_RUN(run);
        QString why;
        QVERIFY2(g.installed({"viewer", "dicom", "codec", "reports"}, &why, &f), qPrintable(why));
        QCOMPARE(pluginNames(findProgramm(g.registry(), QStringLiteral("viewer"))), QStringList({"dicom", "reports"}));
    }

    void selfUpdateAndBuildFilter_data()
    {
        QTest::addColumn<QString>("updaterFolder");
        QTest::addColumn<QString>("architecture");
        QTest::addColumn<QString>("expectedBuild"); // empty: none installed
        QTest::newRow("release x64") << "updater" << "x64" << "release64";
        QTest::newRow("release x32") << "updater" << "x32" << "release32";
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
        const struct
        {
            const char *build;
            const char *name;
            const char *guid;
        } builds[] = {
            {"release64", "palladupd", "3eef9002-824b-4ed6-9d5b-5f79949c6392"},
            {"release32", "palladupd", "2bd29468-6e7c-46f7-b6ae-2d27742b8790"},
            {"dev64", "palladupd_dev", "5d20a134-f22f-48c7-8d48-09bdf8848586"},
            {"dev32", "palladupd_dev", "add99e3d-ad32-4ac1-959b-0dfc8ce69a70"},
        };
        QList<ModuleSpec> elements;
        for (const auto &b : builds)
            elements << ModuleSpec{b.name, QStringLiteral("project"), b.guid, u("Обновлятор"), {}, "kestra.exe", {}, {},
                                   {{"build.txt", b.build}, {"kestra.exe", patternBytes(1000, 9)}},
                                   QStringLiteral("packs/") + QLatin1String(b.build)};
        QVERIFY(f.publish(elements));
        QVERIFY(f.writeConfig(PackWorld::programmGuids(elements),
                              QStringLiteral("[config]\nversion=%1\n").arg(architecture)));
        const bool development = updaterFolder.contains(QLatin1String("_d"));
        const DriverRun run = f.run({"--update", development ? "palladupd_dev" : "palladupd"});
        QVERIFY2(run.finished, run.rawOutput.constData());
        const QString temp = f.installRoot() + QStringLiteral("/updater_temp");
        // With no filter both release builds pass; the first one fills the folder
        // and the second is the same module name, already handled.
        const QString first = expectedBuild.section(QLatin1Char(','), 0, 0);
        QCOMPARE(readFile(temp + QStringLiteral("/build.txt")), first.toLatin1());
        QCOMPARE(run.count(QStringLiteral("status")), 1);
        QCOMPARE(run.count(QStringLiteral("message"))
                     - run.texts(QStringLiteral("message")).filter(u("Обновлен файл")).size(),
                 expectedBuild.count(QLatin1Char(',')) + 1);
        QVERIFY(run.selfUpdatePending);
        QVERIFY(!QFile::exists(f.installRoot() + QStringLiteral("/palladupd")));

        // Nothing new, but the copy never reached the updater's folder: the
        // hand-over is still due.
        const QString own = development ? QStringLiteral("palladupd_dev") : QStringLiteral("palladupd");
        const DriverRun missed = f.run({"--update", own});
        QVERIFY(missed.finished);
        QVERIFY(missed.selfUpdatePending);
        // Once the copier brought the record over, nothing is due any more.
        QVERIFY(QDir().mkpath(f.installRoot() + QLatin1Char('/') + own));
        QVERIFY(QFile::copy(temp + QStringLiteral("/update_fileinfo.xml"),
                            f.installRoot() + QLatin1Char('/') + own + QStringLiteral("/update_fileinfo.xml")));
        const DriverRun again = f.run({"--update", own});
        QVERIFY(again.finished);
        QVERIFY(!again.selfUpdatePending);
    }

    void interruptionAbortsDownloadInProgress_data()
    {
        // installed: a complete run of release 1 came first, release 2 is
        // then published; interruptOn: where the run is cancelled.
        QTest::addColumn<bool>("installed");
        QTest::addColumn<QString>("interruptOn");
        QTest::addColumn<QStringList>("errors");
        // tables.bin takes over four seconds at 64 KiB/s; a cancel while it
        // downloads ends the run about at once.
        QTest::newRow("first install cancelled in a necessary module's large file")
            << false << u("progress:Обновление tables.bin")
            << QStringList{u("Установка модуля DICOM прервана, модуль не установлен"),
                           u("Обновление остановлено пользователем, не завершено: Просмотр, DICOM, Отчёты")};
        QTest::newRow("update cancelled in the program's own files, its modules not reached")
            << true << u("progress:Обновление viewer.exe")
            << QStringList{u("Обновление модуля Просмотр прервано, обновлены не все файлы"),
                           u("Обновление остановлено пользователем, не завершено: Просмотр, DICOM, Отчёты")};
    }

    void interruptionAbortsDownloadInProgress()
    {
        QFETCH(bool, installed);
        QFETCH(QString, interruptOn);
        QFETCH(QStringList, errors);
        if (!NginxServer::isAvailable())
            QSKIP("nginx is not installed");
        EngineFixture f;
        NginxServer nginx;
        QVERIFY(setupClinic(f, QStringLiteral("nginx-slow"), &nginx));
        const QStringList args{"--update", "viewer:dicom,reports", "--change-config", "--interrupt-on", interruptOn};
        const QString viewerRecord = f.installRoot() + QStringLiteral("/viewer/update_fileinfo.xml");
        if (installed) {
            QVERIFY(f.run(args.mid(0, 3)).finished);
            QVERIFY(buildViewer(f, true));
        }
        const QByteArray registryBefore = readFile(f.registryPath());
        const QByteArray recordBefore = readFile(viewerRecord);
        QElapsedTimer timer;
        timer.start();
        const DriverRun run = f.run(args);
        const qint64 elapsed = timer.elapsed();
        QVERIFY2(run.finished, run.rawOutput.constData());
        QVERIFY2(elapsed < 4000, qPrintable(QString::number(elapsed)));
        // Nothing the cancel cut short is registered; what was registered
        // stays as it was, with the modules the run did not reach.
        QCOMPARE(readFile(f.registryPath()), registryBefore);
        if (!installed) {
            QVERIFY(!QFile::exists(f.installRoot() + QStringLiteral("/dicom/data/tables.bin")));
            QVERIFY(!QFile::exists(f.installRoot() + QStringLiteral("/dicom/update_fileinfo.xml")));
        } else {
            // The program's files are half new: its old record makes the next
            // run compare them all again.
            QCOMPARE(readFile(viewerRecord), recordBefore);
            QCOMPARE(pluginNames(findProgramm(f.registry(), QStringLiteral("viewer"))),
                     QStringList({QStringLiteral("dicom"), QStringLiteral("reports")}));
        }
        // No server fault is reported for the aborted transfer, and the log
        // says what is unfinished.
        QCOMPARE(run.texts(QStringLiteral("error")), errors);
        QVERIFY(!run.texts(QStringLiteral("message")).contains(u("Программа Просмотр обновлена")));
    }

    void interruptionBetweenProgramsAndFiles()
    {
        EngineFixture f;
        QVERIFY(setupClinic(f));
        // Between programs: viewer is registered, archive is not touched.
        DriverRun run = f.run({"--update", "viewer", "--update", "archive", "--change-config", "--interrupt-on",
                               u("message:Программа Просмотр обновлена")});
        QVERIFY2(run.finished, run.rawOutput.constData());
        QVERIFY(!findProgramm(f.registry(), QStringLiteral("viewer")).isEmpty());
        QVERIFY(findProgramm(f.registry(), QStringLiteral("archive")).isEmpty());
        QVERIFY(!QFile::exists(f.installRoot() + QStringLiteral("/archive")));

        // Between files: the request comes while archive.exe is handled; that
        // file is finished, the loop stops before db/a.dat; progress still ends
        // full; the local record is not written, so the next run finishes.
        run = f.run({"--update", "archive", "--interrupt-on", u("progress:Обновление archive.exe")});
        QVERIFY(run.finished);
        const QString archive = f.installRoot() + QStringLiteral("/archive");
        QVERIFY(QFile::exists(archive + QStringLiteral("/archive.exe")));
        QVERIFY(!QFile::exists(archive + QStringLiteral("/db/a.dat")));
        QVERIFY(!QFile::exists(archive + QStringLiteral("/update_fileinfo.xml")));
        const QList<DriverLine> progress = run.linesOf(QStringLiteral("progress"));
        QVERIFY(!progress.isEmpty());
        const DriverLine last = progress.last();
        QCOMPARE(last.text, u("Файлы обновлены"));
        QCOMPARE(last.nDo, last.nAll);
        run = f.run({"--update", "archive"});
        QVERIFY(run.finished);
        QString why;
        QVERIFY2(moduleEquals(archive, f.root() + QStringLiteral("/trees/archive"), &why), qPrintable(why));
    }

    void mirrorKeepsItsPublishedState_data()
    {
        // fault: what goes wrong in the refresh; published: a mirror.xml
        // was there before it.
        QTest::addColumn<QString>("fault");
        QTest::addColumn<bool>("published");
        QTest::newRow("interrupted between programs") << "between" << true;
        QTest::newRow("interrupted inside the last program") << "last" << true;
        QTest::newRow("upstream project document unreachable") << "unreachable" << true;
        QTest::newRow("no program's file list on the server") << "nothing" << true;
        QTest::newRow("first refresh, a corrupted data file") << "corrupt" << false;
        QTest::newRow("later refresh, a corrupted data file of a new release") << "corrupt" << true;
        QTest::newRow("later refresh, file list beyond the file size limit") << "fsize" << true;
        QTest::newRow("later refresh, file list replaced by a link") << "link" << true;
    }

    void mirrorKeepsItsPublishedState()
    {
        QFETCH(QString, fault);
        QFETCH(bool, published);
        EngineFixture f;
        QVERIFY(setupClinic(f));
        const QString mirror = f.root() + QStringLiteral("/mirror");
        const QString document = mirror + QStringLiteral("/mirror.xml");
        const QString archiveList = mirror + QLatin1Char('/') + kArchiveGuid + QStringLiteral("/mirror_fileinfo.xml");
        const QStringList both{"--mirror", "--install-path", mirror, "--update", "viewer", "--update", "archive"};
        QDir().mkpath(mirror);
        if (fault == QLatin1String("fsize")) {
            // Entries whose names the mirror's serialisation writes six times
            // as long ("&quot;"): its file list outgrows every other file.
            const QString upstream = f.serverDir() + QStringLiteral("/packs/archive/update_fileinfo.xml");
            QByteArray xml = readFile(upstream);
            QByteArray entries;
            for (int i = 0; i < 100; ++i)
                entries += "<fileinfo filename='" + QByteArray(200, '"') + QByteArray::number(i)
                           + "' hash='x' size='0' is_need_delete='1'><path/><data/></fileinfo>\n";
            QVERIFY(writeFile(upstream, xml.insert(xml.lastIndexOf("</files>"), entries)));
        }
        if (published)
            VERIFY_CLEAN_RUN(f.run(both));
        // Marked, so that a rewrite with the same content shows.
        if (fault != QLatin1String("corrupt"))
            QVERIFY(writeFile(document, readFile(document) + "<!-- as published -->\n"));
        const QByteArray before = readFile(document);
        const QByteArray archiveListBefore = readFile(archiveList);
        QStringList args = both;
        if (fault == QLatin1String("between")) {
            args << "--interrupt-on" << u("message:Программа Просмотр обновлена");
        } else if (fault == QLatin1String("last")) {
            args << "--interrupt-on" << u("progress:Обновление archive.exe");
        } else if (fault == QLatin1String("fsize")) {
            QVERIFY(QFileInfo(archiveList).size() > 120 * 1024);
            f.setFileSizeLimit(64 * 1024);
        } else if (fault == QLatin1String("link")) {
            QVERIFY(writeFile(f.root() + QStringLiteral("/outside/victim.xml"), "victim\n"));
            QVERIFY(QFile::remove(archiveList));
            QVERIFY(QFile::link(f.root() + QStringLiteral("/outside/victim.xml"), archiveList));
        } else if (fault == QLatin1String("nothing")) {
            QVERIFY(QFile::remove(f.serverDir() + QStringLiteral("/packs/viewer/update_fileinfo.xml")));
            QVERIFY(QFile::remove(f.serverDir() + QStringLiteral("/packs/archive/update_fileinfo.xml")));
        } else if (fault == QLatin1String("unreachable")) {
            // Nothing listens on port 1 of the loopback.
            QVERIFY(f.writeConfig({kViewerGuid, kArchiveGuid}, QString(), "http://127.0.0.1:1/project.xml"));
        } else {
            if (published) { // a new release, whose data file the server then corrupts
                ModuleSpec archive = clinic().last();
                archive.files.insert(QStringLiteral("db/a.dat"), patternBytes(2100, 70));
                QVERIFY(f.buildPack(archive));
            }
            const QString data = f.serverDir() + QStringLiteral("/packs/archive/archive/db/a.dat");
            QVERIFY(writeFile(data, patternBytes(int(QFileInfo(data).size()), 71)));
        }
        const DriverRun run = f.run(args);
        QVERIFY2(run.finished, run.rawOutput.constData());

        if (fault == QLatin1String("corrupt")) {
            QVERIFY(run.hasError(u("Хэш скачанного файла")));
            // The module whose new list is not complete keeps what clients
            // were served before; on a first refresh it has no list, and
            // the mirror lists it without binaries.
            QCOMPARE(readFile(archiveList), archiveListBefore);
            QDomDocument project;
            QVERIFY(project.setContent(readFile(document)));
            const QDomNodeList projects = project.elementsByTagName(QStringLiteral("project"));
            int archiveBinaries = -1;
            for (int i = 0; i < projects.count(); ++i) {
                const QDomElement p = projects.at(i).toElement();
                if (p.attribute(QStringLiteral("name")) == QLatin1String("archive"))
                    archiveBinaries = p.firstChildElement(QStringLiteral("bin")).childNodes().count();
            }
            QCOMPARE(archiveBinaries, published ? 1 : 0);
            // A workstation behind the mirror: viewer installs; archive is
            // the previous release, or one clear error for that module only.
            EngineFixture g;
            QVERIFY(g.init());
            QVERIFY(g.writeConfig({kViewerGuid, kArchiveGuid}, QString(), document));
            const DriverRun client = g.run({"--update", "viewer", "--update", "archive", "--change-config"});
            QVERIFY2(client.finished, client.rawOutput.constData());
            QString why;
            QVERIFY2(g.installed({"viewer"}, &why, &f), qPrintable(why + client.rawOutput));
            if (published) {
                VERIFY_CLEAN_RUN(client);
                QCOMPARE(readFile(g.installRoot() + QStringLiteral("/archive/db/a.dat")), patternBytes(2000, 7));
            } else {
                QCOMPARE(client.texts(QStringLiteral("error")), QStringList{u("нет файлов для скачивания для archive")});
                QVERIFY(findProgramm(g.registry(), QStringLiteral("archive")).isEmpty());
            }
            return;
        }
        if (fault == QLatin1String("link")) {
            VERIFY_CLEAN_RUN(run);
            QCOMPARE(readFile(f.root() + QStringLiteral("/outside/victim.xml")), QByteArray("victim\n"));
            QVERIFY(!QFileInfo(archiveList).isSymLink());
            QDomDocument list;
            QVERIFY(list.setContent(readFile(archiveList)));
            QCOMPARE(list.elementsByTagName(QStringLiteral("fileinfo")).count(), 2);
            return;
        }
        // The published document stays as it was, byte for byte (the file
        // list that could not be written aside, which the mirror still holds).
        if (fault != QLatin1String("fsize"))
            QCOMPARE(readFile(document), before);
        if (fault == QLatin1String("unreachable") || fault == QLatin1String("nothing"))
            QVERIFY2(run.hasError(u("оставлен прежним")), run.rawOutput.constData());
        if (fault == QLatin1String("last") || fault == QLatin1String("fsize"))
            QCOMPARE(readFile(archiveList), archiveListBefore);
        if (fault == QLatin1String("fsize")) {
            QCOMPARE(run.texts(QStringLiteral("error")), QStringList{u("Не все данные записаны в файл")});
            // No fragment of the failed write is left beside it.
            QCOMPARE(QDir(QFileInfo(archiveList).path()).entryList({"mirror_fileinfo*"}, QDir::Files | QDir::Hidden),
                     (QStringList{"mirror_fileinfo.sha1", "mirror_fileinfo.xml"}));
        }
    }

    void mirrorRemovesOnlyItsOwnFolders()
    {
        EngineFixture f;
        QVERIFY(setupClinic(f));
        const QString mirror = f.root() + QStringLiteral("/mirror");
        writeFile(mirror + QStringLiteral("/obsolete/a/b.txt"), "old\n");
        writeFile(f.root() + QStringLiteral("/outside/keep.txt"), "keep\n");
        const DriverRun run = f.run({"--mirror", "--install-path", mirror, "--update", "archive", "--remove-folder",
                                     "obsolete", "--remove-folder", "missing", "--remove-folder", "../outside"});
        QVERIFY(run.finished);
        QVERIFY(!QFile::exists(mirror + QStringLiteral("/obsolete")));
        QVERIFY(QFile::exists(f.root() + QStringLiteral("/outside/keep.txt")));
        QVERIFY(QFile::exists(mirror + QLatin1Char('/') + kArchiveGuid + QStringLiteral("/archive.exe")));
        QCOMPARE(run.texts(QStringLiteral("error")),
                 QStringList({u("Ошибка при переходе из %1 в missing").arg(mirror),
                              u("Ошибка при переходе из %1 в ../outside").arg(mirror)}));
    }

    void progressOfHugeModule()
    {
        EngineFixture f;
        QVERIFY(f.init());
        // A module listing 3 GiB in files marked for deletion and 2.5 GiB kept
        // by doNotDelete: totals beyond 32 bits without writing them.
        const QByteArray small("small\n");
        writeFile(f.serverDir() + QStringLiteral("/packs/huge/m/small.txt"), small);
        const QString entries = entryXml("small.txt", QString(), "m/small.txt", small)
            + QStringLiteral("<fileinfo filename=\"gone.bin\" hash=\"x\" size=\"3221225472\" is_need_delete=\"1\">"
                             "<path><![CDATA[]]></path><data><![CDATA[m/gone.bin]]></data></fileinfo>\n");
        writeFile(f.serverDir() + QStringLiteral("/packs/huge/update_fileinfo.xml"), documentXml(entries));
        QVERIFY(f.writeProject({programm(QStringLiteral("huge"), kViewerGuid)}));
        QVERIFY(f.writeConfig({kViewerGuid}));
        const DriverRun run = f.run({"--update", "huge"});
        QVERIFY(run.finished);
        const QList<DriverLine> progress = run.linesOf(QStringLiteral("progress"));
        const int totalKib = int((3221225472LL + small.size()) / 1024);
        QCOMPARE(progress.first().nAll, totalKib);
        QVERIFY(progress.at(2).text.contains(u("3072 Mб")));
        QCOMPARE(progress.last().nDo, totalKib);
        QCOMPARE(progress.last().nAll, totalKib);
    }

    void refusedAndEmptyRuns()
    {
        EngineFixture f;
        QVERIFY(setupClinic(f));
        DriverRun run = f.run({"--mirror", "--change-config", "--update", "viewer"});
        QVERIFY(run.finished);
        QCOMPARE(run.texts(QStringLiteral("error")),
                 QStringList({u("При обновлении зеркала нельзя изменять конфиг!!!")}));
        QCOMPARE(run.lines.size(), 2); // the error and the end of the run
        QVERIFY(!QFile::exists(f.installRoot() + QStringLiteral("/viewer")));

        // A mirror run without its folder refuses to start.
        run = f.run({"--mirror", "--update", "viewer"});
        QVERIFY(run.finished);
        QCOMPARE(run.texts(QStringLiteral("error")), QStringList({u("Не задана папка зеркала")}));
        QCOMPARE(run.lines.size(), 2);

        run = f.run({});
        QVERIFY(run.finished);
        QCOMPARE(run.lines.size(), 1);
        QVERIFY(!QFile::exists(f.registryPath()));
    }
};

bool TestEngine::buildViewer(EngineFixture &f, bool release2)
{
    if (!f.buildPack(clinic(release2).first()))
        return false;
    return !release2
        || addDeletionEntry(f.serverDir() + QStringLiteral("/packs/viewer/update_fileinfo.xml"), QStringLiteral("old.txt"));
}

// Reads an strace log of flushes and renames: every file renamed into the
// module folder was flushed before, under the name it had then, and the
// module's record was renamed in after every other file of the module.
void TestEngine::verifyFlushedBeforeRenamed(const QString &trace, const QString &moduleFolder)
{
    QStringList lines = QString::fromUtf8(readFile(trace)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    // A call another thread interrupted is logged in two parts; joined
    // here, in the place where it returned.
    QMap<QString, QString> unfinished;
    QStringList calls;
    const QRegularExpression resumed(QStringLiteral("^(\\d+)\\s+<\\.\\.\\. \\w+ resumed>(.*)$"));
    for (const QString &line : qAsConst(lines)) {
        const QString pid = line.section(QLatin1Char(' '), 0, 0);
        if (line.endsWith(QLatin1String("<unfinished ...>"))) {
            unfinished.insert(pid, line.left(line.size() - int(qstrlen("<unfinished ...>"))));
            continue;
        }
        const QRegularExpressionMatch match = resumed.match(line);
        calls << (match.hasMatch() ? unfinished.take(match.captured(1)) + match.captured(2) : line);
    }
    const QRegularExpression flush(QStringLiteral("^\\d+\\s+f(?:data)?sync\\(\\d+<(.*)>\\)\\s+= 0$"));
    const QRegularExpression rename(
        QStringLiteral("^\\d+\\s+rename(?:at2?)?\\((?:[^,]*, )?\"(.*)\", (?:[^,]*, )?\"(.*)\"(?:, \\w+)?\\)\\s+= 0$"));
    const QString record = moduleFolder + QStringLiteral("/update_fileinfo.xml");
    QSet<QString> flushed;
    int dataRenames = 0;
    int recordAt = -1;
    int lastDataAt = -1;
    for (int i = 0; i < calls.size(); ++i) {
        const QRegularExpressionMatch f = flush.match(calls.at(i));
        if (f.hasMatch()) {
            flushed.insert(f.captured(1)); // the system's own form of the path
            continue;
        }
        const QRegularExpressionMatch r = rename.match(calls.at(i));
        const QString to = QDir::cleanPath(r.captured(2));
        if (!r.hasMatch() || !to.startsWith(moduleFolder + QLatin1Char('/')))
            continue;
        QVERIFY2(flushed.contains(QDir::cleanPath(r.captured(1))),
                 qPrintable(QStringLiteral("renamed unflushed: ") + calls.at(i)));
        if (to == record) {
            recordAt = i;
        } else {
            ++dataRenames;
            lastDataAt = i;
        }
    }
    QVERIFY2(dataRenames >= 5, qPrintable(calls.join(QLatin1Char('\n'))));
    QVERIFY2(recordAt > lastDataAt, qPrintable(calls.join(QLatin1Char('\n'))));
}

bool TestEngine::setupClinic(EngineFixture &f, const QString &server, NginxServer *nginx)
{
    if (!f.init() || !f.publish(clinic()))
        return false;
    QString source;
    if (server.startsWith(QLatin1String("nginx"))) {
        nginx->setRoot(f.serverDir());
        if (server == QLatin1String("nginx-slow"))
            nginx->addServerDirective(QStringLiteral("limit_rate 64k;"));
        if (!nginx->start())
            return false;
        source = nginx->baseUrl() + QStringLiteral("/project.xml");
    }
    return f.writeConfig({kViewerGuid, kArchiveGuid}, QString(), source);
}

QTEST_GUILESS_MAIN(TestEngine)
#include "tst_engine.moc"
