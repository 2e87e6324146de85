#include "installthread.h"

#include "fileops.h"
#include "projectdescription.h"
#include "safepath.h"
#include "settings.h"
#include "transfer.h"
#include "xmlguard.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QDomDocument>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QTemporaryDir>

#include <private/qzipwriter_p.h>

namespace {

// The zip writer takes each file into memory whole, and the archive format it
// writes ends at 4 GiB. A larger file would exhaust memory or be stored
// empty, so it is left out of the backup and reported instead.
const qint64 kBackupFileLimit = 512 * 1024 * 1024;

// Hands the zip writer's bytes to the archive file and remembers whether all
// of them got there: the writer does not look at what its writes return, so
// without this a full disk leaves a torn archive that passes for a backup.
class CheckedOutput : public QIODevice
{
public:
    explicit CheckedOutput(QFile *file) : m_file(file) { open(QIODevice::WriteOnly); }
    bool failed() const { return m_failed; }
    void close() override
    {
        if (isOpen() && !m_file->flush())
            m_failed = true;
        QIODevice::close();
    }

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *data, qint64 size) override
    {
        if (m_failed || m_file->write(data, size) != size) {
            m_failed = true;
            return -1;
        }
        return size;
    }

private:
    QFile *m_file;
    bool m_failed = false;
};

// A folder that shows no files and no sub-folders; hidden and system entries
// do not count.
bool looksEmpty(const QString &path)
{
    return QDir(path).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty();
}

} // namespace

bool InstallThread::backupFolder(const QString &name)
{
    const QDir root(Settings::installRoot());
    if (!isSafePathComponent(name) || !root.exists(name)) {
        emit error(tr("Нет папки с файлами для сохранения (%1)").arg(root.absoluteFilePath(name)));
        return false;
    }
    const QString backupPath = root.absoluteFilePath(QStringLiteral("backup"));
    if (!root.exists(QStringLiteral("backup")) && !root.mkpath(QStringLiteral("backup"))) {
        emit error(tr("Ошибка при создании директории %1").arg(backupPath));
        return false;
    }
    const QString archiveName = backupPath + QLatin1Char('/') + name
                                + QDateTime::currentDateTime().toString(QStringLiteral("yyMMdd_hhmmss_zzz"))
                                + QStringLiteral(".zip");
    QString prefix = root.absolutePath();
    prefix.replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (!prefix.endsWith(QLatin1Char('/')))
        prefix += QLatin1Char('/');
    const QStringList files = backupFiles(prefix + name);
    QString reason;
    if (!fitsZipFormat(files, prefix, &reason)) {
        // Checked before anything is written: the writer would wrap its
        // 32-bit offsets and leave an archive no tool can open.
        emit error(tr("Не могу создать файл бэкапа %1, ошибка %2").arg(archiveName, reason));
        return false;
    }
    QFile archive(archiveName);
    if (!archive.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        emit error(tr("Не могу создать файл бэкапа %1, ошибка %2").arg(archiveName, archive.errorString()));
        return false;
    }
    if (!writeBackup(&archive, files, prefix)) {
        const QString reason = archive.errorString();
        archive.close();
        // A fragment would pass for a backup until someone needed it.
        archive.remove();
        emit error(tr("Не могу создать файл бэкапа %1, ошибка %2").arg(archiveName, reason));
        return false;
    }
    archive.close();
    return true;
}

QStringList InstallThread::backupFiles(const QString &folder)
{
    // Links are not followed: what they lead to is not the module's, and
    // may be anything on the machine.
    QStringList files;
    folderSize(folder, &files);
    QStringList result;
    for (QString path : qAsConst(files)) {
        path.replace(QLatin1Char('\\'), QLatin1Char('/'));
        if (linkOnTheWay(folder, path, true)) {
            qWarning().noquote() << QStringLiteral("backup leaves out %1: a link").arg(path);
            continue;
        }
        result.append(path);
    }
    return result;
}

bool InstallThread::fitsZipFormat(const QStringList &files, const QString &prefix, QString *reason)
{
    // Zip without its 64-bit extension: at most 65535 entries, and every
    // offset, the directory's included, below 4 GiB. Stored data never
    // exceeds a file's size, so the sizes bound the archive.
    const qint64 limit = 0xffffffffLL;
    if (files.size() > 0xffff) {
        *reason = tr("в папке %1 файлов, в архив zip помещается не больше 65535").arg(files.size());
        return false;
    }
    qint64 total = 22; // end of the central directory
    for (const QString &path : files) {
        const qint64 size = QFileInfo(path).size();
        if (size > kBackupFileLimit)
            continue; // left out and reported when the archive is written
        const qint64 nameBytes = path.mid(prefix.size()).toUtf8().size();
        total += size + 30 + 46 + 2 * nameBytes; // local header, directory entry
        if (total > limit) {
            *reason = tr("файлы папки больше 4 ГБ, предела формата zip");
            return false;
        }
    }
    return true;
}

bool InstallThread::writeBackup(QFile *archive, const QStringList &files, const QString &prefix)
{
    CheckedOutput output(archive);
    QZipWriter zip(&output);
    zip.setCompressionPolicy(QZipWriter::AutoCompress);
    for (const QString &path : files) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            emit error(tr("Ошибка при открытии файла %1 на чтение (%2)").arg(path, file.errorString()));
            continue;
        }
        if (file.size() > kBackupFileLimit) {
            emit error(tr("Файл %1 слишком большой для бэкапа (%2 МБ), он не сохранён в архив")
                           .arg(path)
                           .arg(file.size() / (1024 * 1024)));
            continue;
        }
        const QString entryName = path.startsWith(prefix) ? path.mid(prefix.size()) : path;
        zip.addFile(entryName, &file);
        file.close();
        if (output.failed() || zip.status() != QZipWriter::NoError)
            return false; // no use going on: the archive stops midway
    }
    zip.close(); // writes the directory and closes output, flushing the file
    return !output.failed() && zip.status() == QZipWriter::NoError;
}

// What a removal may touch, whatever the server's document says: only
// entries whose texts pass the path checks, below the module folder, never
// through a link or junction inside it (a link met as a file is deleted
// itself, a folder link is removed as an entry, never emptied). Bounds: the
// document is capped as for updates (kMaxFileInfoDocumentSize), the loop runs
// once over its entries, and each module is removed once per run
// (removedPlugins), so a cycle of necessary modules ends.
bool InstallThread::removePlugin(const PluginPtr &plugin)
{
    if (!plugin)
        return false;
    const QString name = plugin->name();
    if (removedPlugins.contains(name))
        return true;
    emit status(tr("Удаление модуля %1").arg(plugin->ruName()));
    QTemporaryDir tempDir;

    const QList<PluginBinary *> binaries = plugin->binaries();
    if (binaries.isEmpty()) {
        emit error(tr("Нет файлов для удаления для %1").arg(name));
        return false;
    }
    QString folder;
    if (!moduleFolder(name, &folder))
        return false;
    const PluginBinary *binary = binaries.first();
    if (!isSafePathComponent(binary->fileName())) {
        emit error(tr("Недопустимый путь файла %1").arg(binary->fileName()));
        return false;
    }
    const QString documentSource = binary->fullPath() + QLatin1Char('/') + binary->fileName();
    const QString tempDocument = tempDir.path() + QLatin1Char('/') + binary->fileName();
    QString fetchError;
    if (!fetchFile(documentSource, tempDocument, &fetchError,
                   Settings::instance()->transferOptions(QString(), kMaxFileInfoDocumentSize))) {
        emit error(tr("Ошибка при скачивании %1, %2").arg(documentSource, tempDocument));
        qWarning().noquote() << fetchError;
    }

    QFile documentFile(tempDocument);
    if (!documentFile.open(QIODevice::ReadOnly)) {
        emit error(tr("Ошибка при открытии файла %1, %2").arg(tempDocument, documentFile.errorString()));
        return false;
    }
    if (documentFile.size() > kMaxFileInfoDocumentSize) {
        emit error(tr("Ошибка при открытии файла %1, %2")
                       .arg(tempDocument, QStringLiteral("document is larger than %1 bytes").arg(kMaxFileInfoDocumentSize)));
        documentFile.close();
        documentFile.remove();
        return false;
    }
    QDomDocument document;
    QString parseError;
    int line = 0;
    int column = 0;
    if (!setUntrustedContent(document, documentFile.readAll(), &parseError, &line, &column)) {
        emit error(tr("Ошибка при открытии xml %1, %2, строка %3, колонка %4")
                       .arg(tempDocument, parseError, QString::number(line), QString::number(column)));
        documentFile.close();
        return false;
    }
    documentFile.close();
    if (!documentFile.remove())
        emit error(tr("Ошибка при удалении временного файла %1, %2").arg(tempDocument, documentFile.errorString()));

    const QDomNodeList nodes = document.documentElement().elementsByTagName(QStringLiteral("fileinfo"));
    const int count = nodes.count();
    emit progress(0, count, tr("Удаление файлов"));
    const QStringList doNotDelete = plugin->doNotDelete();
    for (int i = 0; i < count; ++i) {
        if (isInterruptionRequested())
            break;
        const QDomElement entry = nodes.at(i).toElement();
        const QString fileName = entry.attribute(QStringLiteral("filename"));
        const QString path = entry.firstChildElement(QStringLiteral("path")).text();
        emit progress(i, count, tr("Удаление %1").arg(fileName));
        // The server's texts must not name anything outside the module folder.
        if (!isSafePathComponent(fileName) || !isSafeSubPath(path)) {
            emit error(tr("Недопустимый путь файла %1").arg(joinSubPath(path, fileName)));
            qWarning().noquote() << QStringLiteral("refused file entry: path ") + path + QStringLiteral(" filename ")
                                        + fileName;
            continue;
        }
        const QString entryFolder = joinSubPath(folder, path);
        const QString target = entryFolder + QLatin1Char('/') + fileName;
        // A link inside the module folder leads elsewhere: what lies there
        // is not the module's to delete.
        if (linkOnTheWay(folder, entryFolder, true)) {
            emit error(tr("Недопустимый путь файла %1").arg(target));
            qWarning().noquote() << QStringLiteral("refused file entry: its folder is reached through a link");
            continue;
        }
        if (QFileInfo::exists(target) && !doNotDelete.contains(fileName)) {
            // Read-only files too: Windows refuses to delete them otherwise.
            QString reason;
            if (removeExistingFile(target, &reason))
                emit message(tr("Удален файл %1").arg(target));
            else
                emit error(reason);
        }
        if (looksEmpty(entryFolder)) {
            QDir dir(entryFolder);
            if (removeTree(dir.absolutePath()))
                emit message(tr("Удалена дирестория %1").arg(dir.absolutePath()));
            else
                emit error(tr("Ошибка при удалении папки %1").arg(dir.absolutePath()));
        }
    }
    if (looksEmpty(folder)) {
        QDir dir(folder);
        if (removeTree(dir.absolutePath()))
            emit message(tr("Удалена дирестория %1").arg(dir.absolutePath()));
        else
            emit error(tr("Ошибка при удалении папки %1").arg(dir.absolutePath()));
    }
    emit progress(count, count, tr("Файлы удалены"));
    removedPlugins.append(name);

    const QMap<QString, bool> depends = plugin->depends();
    const QMap<QString, ProjectPluginPtr> all = Settings::instance()->allPlugins();
    for (auto it = depends.constBegin(); it != depends.constEnd(); ++it) {
        if (!it.value())
            continue;
        const ProjectPluginPtr dependency = all.value(it.key());
        if (dependency)
            removePlugin(dependency);
    }
    return true;
}

void InstallThread::removeProgramms()
{
    removedPlugins.clear();
    QStringList concerned = m_pluginsToRemove.keys();
    concerned += m_programmsToRemove;
    Settings *settings = Settings::instance();
    const QList<ProjectDescription *> descriptions = settings->programmDescriptions();
    for (const ProjectDescription *description : descriptions) {
        if (isInterruptionRequested())
            break;
        const ProjectPluginPtr base = description->base();
        if (!base || !concerned.contains(base->name()))
            continue;
        const QString programmName = base->name();

        QJsonObject config = settings->installedConfig();
        QJsonArray programms = config.value(QStringLiteral("programms")).toArray();
        int index = -1;
        for (int i = 0; i < programms.size(); ++i) {
            if (programms.at(i).toObject().value(QStringLiteral("programm_name")).toString() == programmName) {
                index = i;
                break;
            }
        }
        if (index < 0)
            continue; // not registered, not removed

        const bool whole = m_programmsToRemove.contains(programmName);
        QStringList moduleNames;
        const QList<ProjectPluginPtr> modules = description->modules();
        if (whole) {
            removePlugin(base);
            for (const ProjectPluginPtr &module : modules)
                moduleNames.append(module->name());
        } else {
            moduleNames = m_pluginsToRemove.value(programmName);
        }

        QJsonObject programm = programms.at(index).toObject();
        QJsonArray plugins = programm.value(QStringLiteral("plugins")).toArray();
        for (const QString &moduleName : qAsConst(moduleNames)) {
            int pluginIndex = -1;
            for (int i = 0; i < plugins.size(); ++i) {
                if (plugins.at(i).toObject().value(QStringLiteral("plugin_name")).toString() == moduleName) {
                    pluginIndex = i;
                    break;
                }
            }
            if (pluginIndex < 0)
                continue; // not registered, not removed
            bool removed = false;
            for (const ProjectPluginPtr &module : modules) {
                if (module->name() == moduleName && removePlugin(module))
                    removed = true;
            }
            if (removed)
                plugins.removeAt(pluginIndex);
        }

        if (whole) {
            programms.removeAt(index);
            emit message(tr("Программа %1 удалена").arg(base->ruName()));
        } else {
            programm.insert(QStringLiteral("plugins"), plugins);
            programms.replace(index, programm);
        }
        config.insert(QStringLiteral("programms"), programms);
        QString reason;
        if (!settings->setInstalledConfig(config, &reason))
            emit error(tr("Не удалось записать список установленных программ %1 (%2)")
                           .arg(QDir::toNativeSeparators(settings->installedConfigPath()), reason));
    }
}
