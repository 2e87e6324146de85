#include "enginefixture.h"

#include "testfiles.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QXmlStreamWriter>

QStringList DriverRun::texts(const QString &kind) const
{
    QStringList result;
    for (const DriverLine &line : lines) {
        if (line.kind == kind)
            result << line.text;
    }
    return result;
}

bool DriverRun::hasError(const QString &fragment) const
{
    for (const DriverLine &line : lines) {
        if (line.kind == QLatin1String("error") && line.text.contains(fragment))
            return true;
    }
    return false;
}

int DriverRun::count(const QString &kind) const
{
    return texts(kind).size();
}

bool EngineFixture::init(const QString &driverName, const QString &updaterFolder)
{
    if (!m_dir.isValid())
        return false;
    m_driverName = driverName;
    m_updaterFolder = updaterFolder;
    QDir().mkpath(updaterDir());
    QDir().mkpath(serverDir());
    const QString source = QStringLiteral(KESTRA_BIN_DIR "/installdriver");
    if (!QFile::copy(source, driverPath()))
        return false;
    QFile::setPermissions(driverPath(), QFile::permissions(driverPath()) | QFileDevice::ExeOwner);
    return true;
}

QString EngineFixture::makeTree(const QString &name, const QMap<QString, QByteArray> &files)
{
    const QString path = root() + QStringLiteral("/trees/") + name;
    QDir(path).removeRecursively();
    QDir().mkpath(path);
    for (auto it = files.constBegin(); it != files.constEnd(); ++it)
        writeFile(path + QLatin1Char('/') + it.key(), it.value());
    return path;
}

bool EngineFixture::buildPack(const QString &module, const QString &tree, const QString &packFolder, QString *error)
{
    const QString out = serverDir() + QLatin1Char('/') + packFolder;
    QDir(out).removeRecursively();
    QDir().mkpath(out);
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setWorkingDirectory(root());
    process.start(QStringLiteral(KESTRA_BIN_DIR "/packwright"),
                  {QStringLiteral("-m"), module, QStringLiteral("-f"), tree, QStringLiteral("-o"), out});
    if (!process.waitForFinished(60000) || process.exitCode() != 0
        || !QFile::exists(out + QStringLiteral("/update_fileinfo.xml"))) {
        if (error)
            *error = QStringLiteral("packwright failed (%1): %2")
                         .arg(process.exitCode())
                         .arg(QString::fromUtf8(process.readAll()));
        return false;
    }
    return true;
}

void EngineFixture::writeProject(const QList<ElementSpec> &elements, const QString &fileName)
{
    QByteArray bytes;
    QXmlStreamWriter w(&bytes);
    w.setAutoFormatting(true);
    w.writeStartDocument();
    w.writeStartElement(QStringLiteral("root"));
    w.writeStartElement(QStringLiteral("projects"));
    for (const ElementSpec &e : elements) {
        w.writeStartElement(QStringLiteral("project"));
        w.writeAttribute(QStringLiteral("name"), e.name);
        w.writeAttribute(QStringLiteral("type"), e.type);
        w.writeAttribute(QStringLiteral("ru_name"), e.ruName.isEmpty() ? e.name : e.ruName);
        w.writeAttribute(QStringLiteral("is_base"), QStringLiteral("false"));
        w.writeAttribute(QStringLiteral("guid"), e.guid);
        w.writeStartElement(QStringLiteral("bin"));
        if (!e.pack.isEmpty()) {
            w.writeStartElement(QStringLiteral("x64"));
            w.writeAttribute(QStringLiteral("path"), e.pack);
            w.writeAttribute(QStringLiteral("file_name"), QStringLiteral("update_fileinfo.xml"));
            w.writeAttribute(QStringLiteral("sha1"), QString());
            w.writeAttribute(QStringLiteral("date"), QStringLiteral("2026-12-01T10:00:00.000"));
            w.writeAttribute(QStringLiteral("execute_filename"), e.executeFilename);
            w.writeAttribute(QStringLiteral("execute_params"), e.executeParams);
            w.writeEndElement();
        }
        w.writeEndElement();
        w.writeStartElement(QStringLiteral("depends"));
        for (auto it = e.depends.constBegin(); it != e.depends.constEnd(); ++it) {
            w.writeStartElement(QStringLiteral("depend"));
            w.writeAttribute(QStringLiteral("project"), it.key());
            w.writeAttribute(QStringLiteral("is_nessesary"), it.value() ? QStringLiteral("true") : QStringLiteral("false"));
            w.writeEndElement();
        }
        w.writeEndElement();
        w.writeStartElement(QStringLiteral("do_not_delete"));
        for (const QString &file : e.doNotDelete) {
            w.writeStartElement(QStringLiteral("file"));
            w.writeAttribute(QStringLiteral("file_name"), file);
            w.writeEndElement();
        }
        w.writeEndElement();
        w.writeEndElement();
    }
    w.writeEndElement();
    w.writeEndElement();
    w.writeEndDocument();
    writeFile(serverDir() + QLatin1Char('/') + fileName, bytes);
}

void EngineFixture::writeConfig(const QString &sourcePath, const QStringList &guids, const QString &extra)
{
    QString ini;
    ini += QStringLiteral("[General]\nupdate_servers_count=1\nmirrors_count=0\ntransfer_stall_timeout=10\n");
    ini += QStringLiteral("[server1]\nsource_path=%1\nlocal_file_path=main.xml\nmetod=GET\n").arg(sourcePath);
    ini += QStringLiteral("[projects]\nprojects_count=%1\n").arg(guids.size());
    for (int i = 0; i < guids.size(); ++i)
        ini += QStringLiteral("key%1=%2\n").arg(i + 1).arg(guids.at(i));
    ini += extra;
    writeFile(updaterDir() + QStringLiteral("/config.ini"), ini.toUtf8());
}

static QStringList driverArguments(const EngineFixture &f, const QStringList &arguments)
{
    return QStringList{QStringLiteral("--config"), f.updaterDir() + QStringLiteral("/config.ini"),
                       QStringLiteral("--installed"), f.registryPath()}
           + arguments;
}

void EngineFixture::applyEnvironment(QProcess *process) const
{
    if (m_tempDir.isEmpty())
        return;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TMPDIR"), m_tempDir);
    process->setProcessEnvironment(environment);
}

DriverRun EngineFixture::run(const QStringList &arguments, int timeoutMs) const
{
    QProcess process;
    process.setProcessChannelMode(QProcess::SeparateChannels);
    applyEnvironment(&process);
    process.setProgram(driverPath());
    process.setArguments(driverArguments(*this, arguments));
    process.start();
    DriverRun result;
    if (!process.waitForStarted(10000))
        return result;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished(5000);
        result.rawOutput = process.readAllStandardOutput();
        return result;
    }
    return parse(process.readAllStandardOutput(),
                 process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1);
}

bool EngineFixture::startDetached(QProcess *process, const QStringList &arguments) const
{
    process->setProcessChannelMode(QProcess::SeparateChannels);
    applyEnvironment(process);
    process->setProgram(driverPath());
    process->setArguments(driverArguments(*this, arguments));
    process->start();
    return process->waitForStarted(10000);
}

DriverRun EngineFixture::parse(const QByteArray &output, int exitCode)
{
    DriverRun result;
    result.rawOutput = output;
    const QList<QByteArray> rows = output.split('\n');
    for (const QByteArray &row : rows) {
        if (row.isEmpty())
            continue;
        const QStringList parts = QString::fromUtf8(row).split(QLatin1Char('\t'));
        DriverLine line;
        line.kind = parts.value(0);
        if (line.kind == QLatin1String("progress")) {
            line.nDo = parts.value(1).toInt();
            line.nAll = parts.value(2).toInt();
            line.text = parts.mid(3).join(QLatin1Char('\t'));
        } else {
            line.text = parts.mid(1).join(QLatin1Char('\t'));
        }
        if (line.kind == QLatin1String("finished")) {
            result.finished = exitCode == 0;
            result.selfUpdatePending = line.text.endsWith(QLatin1String("=1"));
        }
        result.lines << line;
    }
    return result;
}

QJsonObject EngineFixture::registry() const
{
    return QJsonDocument::fromJson(readFile(registryPath())).object();
}

bool moduleEquals(const QString &installed, const QString &tree, QString *why, const QStringList &extra)
{
    QStringList expected = listFilesRecursive(tree);
    expected << QStringLiteral("update_fileinfo.xml") << extra;
    expected.sort();
    const QStringList actual = listFilesRecursive(installed);
    if (actual != expected) {
        if (why)
            *why = QStringLiteral("files differ: [%1] vs expected [%2]").arg(actual.join(','), expected.join(','));
        return false;
    }
    for (const QString &rel : listFilesRecursive(tree)) {
        if (readFile(installed + QLatin1Char('/') + rel) != readFile(tree + QLatin1Char('/') + rel)) {
            if (why)
                *why = QStringLiteral("content differs: %1").arg(rel);
            return false;
        }
    }
    return true;
}

QMap<QString, QByteArray> snapshot(const QString &root, const QStringList &skipTopLevel)
{
    QMap<QString, QByteArray> result;
    const QDir base(root);
    for (const QString &rel : listFilesRecursive(root)) {
        if (skipTopLevel.contains(rel.section(QLatin1Char('/'), 0, 0)))
            continue;
        result.insert(rel, readFile(base.filePath(rel)));
    }
    return result;
}
