#include "installthread.h"

#include "projectdescription.h"
#include "safepath.h"
#include "settings.h"

#include <QDir>
#include <QDomDocument>
#include <QFile>
#include <QXmlStreamWriter>

void InstallThread::rewriteMirrorData(QDomElement entry, const QString &path, const QString &fileName)
{
    // The mirror serves each file from its place in the module folder.
    const QString location = path.isEmpty() ? fileName : path + QLatin1Char('/') + fileName;
    QDomElement data = entry.firstChildElement(QStringLiteral("data"));
    if (data.isNull())
        return;
    const QDomNode first = data.firstChild();
    if (first.isNull())
        return;
    data.replaceChild(entry.ownerDocument().createCDATASection(location), first);
}

void InstallThread::writeMirrorFileinfo(const QDomDocument &document, const QString &folder)
{
    const QString fileName = folder + QLatin1Char('/') + mirrorFileinfoName;
    QFile file(fileName);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        emit error(tr("Ошибка при открытии файла %1 на запись (%2)").arg(fileName, file.errorString()));
        return;
    }
    const QByteArray bytes = document.toByteArray(1);
    if (file.write(bytes) < bytes.size())
        emit error(tr("Не все данные записаны в файл"));
    file.close();
}

void InstallThread::writeProject(const PluginPtr &plugin, QXmlStreamWriter &writer)
{
    // Every binary points at the module's folder in the mirror: its guid, or
    // its name when it has none (the folder programmPath gives it).
    const QString folder = programmPath(plugin->name()).mid(m_installPath.size() + 1);
    plugin->writeXml(writer, folder + QLatin1Char('/'), mirrorFileinfoName);
}

void InstallThread::writeMirrorDocument()
{
    const QString fileName = m_installPath + QLatin1Char('/') + mirrorDocumentName;
    QFile file(fileName);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        emit error(tr("Ошибка при открытии файла %1 на запись (%2)").arg(fileName, file.errorString()));

    QXmlStreamWriter writer(file.isOpen() ? &file : nullptr);
    writer.setAutoFormatting(true);
    writer.writeStartDocument();
    writer.writeStartElement(QStringLiteral("root"));
    writer.writeStartElement(QStringLiteral("projects"));
    QStringList written;
    const QList<ProjectDescription *> descriptions = Settings::instance()->programmDescriptions();
    for (const ProjectDescription *description : descriptions) {
        const ProjectPluginPtr base = description->base();
        if (base && !written.contains(base->name())) {
            writeProject(base, writer);
            written.append(base->name());
        }
        // The modules the program names, then those only its modules name:
        // a client of the mirror must find every module it will be asked to
        // install as a dependency, not just the first level.
        QList<ProjectPluginPtr> modules = description->modules();
        modules += description->allModules().values();
        for (const ProjectPluginPtr &module : qAsConst(modules)) {
            if (module && !written.contains(module->name())) {
                writeProject(module, writer);
                written.append(module->name());
            }
        }
    }
    writer.writeEndElement();
    writer.writeEndElement();
    writer.writeEndDocument();
    if (file.isOpen())
        file.close();
}

void InstallThread::removeFolders()
{
    for (const QString &name : qAsConst(m_foldersToRemove)) {
        if (isInterruptionRequested())
            break;
        QDir dir(m_installPath);
        // Only direct sub-folders of the mirror may go.
        if (!isSafePathComponent(name) || !dir.cd(name)) {
            emit error(tr("Ошибка при переходе из %1 в %2").arg(QDir(m_installPath).absolutePath(), name));
            continue;
        }
        if (!dir.removeRecursively())
            emit error(tr("Ошибка при удалении папки %1").arg(dir.absolutePath()));
    }
}
