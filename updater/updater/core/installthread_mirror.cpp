#include "installthread.h"

#include "projectdescription.h"
#include "safepath.h"
#include "settings.h"
#include "signature.h"
#include "signedsource.h"

#include <QDebug>
#include <QDir>
#include <QDomDocument>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
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

bool InstallThread::saveMirrorFile(const QString &fileName, const QByteArray &bytes)
{
    // Clients read these documents while a refresh runs, and a refresh can be
    // killed or meet a full disk: the new text replaces the published one
    // only once it is on disk whole, so a client sees the old one or the new.
    // QSaveFile writes to what a link names; a link left in the mirror's
    // place is replaced, never written through.
    const QFileInfo info(fileName);
    if ((info.isSymbolicLink() || info.isJunction()) && !QFile::remove(fileName))
        qWarning().noquote() << QStringLiteral("can't remove the link %1").arg(fileName);
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly)) {
        emit error(tr("Ошибка при открытии файла %1 на запись (%2)").arg(fileName, file.errorString()));
        return false;
    }
    if (file.write(bytes) != bytes.size() || !file.commit()) {
        qWarning().noquote() << QStringLiteral("writing %1 failed: %2; the published file is kept")
                                    .arg(fileName, file.errorString());
        file.cancelWriting();
        emit error(tr("Не все данные записаны в файл"));
        return false;
    }
    return true;
}

void InstallThread::writeMirrorFileinfo(const QDomDocument &document, const QString &folder)
{
    saveMirrorFile(folder + QLatin1Char('/') + mirrorFileinfoName, document.toByteArray(1));
}

void InstallThread::writeProject(const PluginPtr &plugin, QXmlStreamWriter &writer)
{
    // Every binary points at the module's folder in the mirror: its guid, or
    // its name when it has none (the folder programmPath gives it). A module
    // whose file list the mirror has never held whole is listed without
    // binaries: a client then reports that module, instead of asking for a
    // document that is not there.
    const QString path = programmPath(plugin->name());
    const QString folder = path.mid(m_installPath.size() + 1);
    const bool held = QFileInfo::exists(path + QLatin1Char('/') + mirrorFileinfoName);
    if (!held)
        qWarning().noquote() << QStringLiteral("mirror holds no complete file list of %1; listed without binaries")
                                    .arg(plugin->name());
    plugin->writeXml(writer, folder + QLatin1Char('/'), mirrorFileinfoName, held);
}

bool InstallThread::mirrorDocumentDue(int mirrored)
{
    const QString fileName = m_installPath + QLatin1Char('/') + mirrorDocumentName;
    // Interrupted inside the last program: what it wrote is not complete.
    if (isInterruptionRequested())
        return false;
    // A program of the mirror that no server document lists means that
    // document did not load: publishing now would take the program (and, with
    // an unreachable server, the whole catalogue) from every workstation
    // behind the mirror.
    QStringList listed;
    const QList<ProjectDescription *> descriptions = Settings::instance()->programmDescriptions();
    for (const ProjectDescription *description : descriptions) {
        if (description->base())
            listed.append(description->base()->name());
    }
    for (auto it = m_programmsToUpdate.constBegin(); it != m_programmsToUpdate.constEnd(); ++it) {
        if (!listed.contains(it.key())) {
            emit error(tr("Программа %1 не найдена на сервере обновлений, файл %2 оставлен прежним")
                           .arg(it.key(), fileName));
            return false;
        }
    }
    if (mirrored == 0) {
        emit error(tr("Ни одна программа не получена с сервера обновлений, файл %1 оставлен прежним").arg(fileName));
        return false;
    }
    return true;
}

void InstallThread::writeMirrorDocument()
{
    QByteArray bytes;
    QXmlStreamWriter writer(&bytes);
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
    // The signed documents first: a client that reads the new mirror.xml
    // finds the documents that vouch for it.
    writeUpstreamDocuments();
    saveMirrorFile(m_installPath + QLatin1Char('/') + mirrorDocumentName, bytes);
}

void InstallThread::writeUpstreamDocuments()
{
    const QList<QPair<QString, QString>> documents = Settings::instance()->signedProjectDocuments();
    if (documents.isEmpty())
        return;
    const QString folder = m_installPath + QLatin1Char('/') + kUpstreamFolder;
    if (!QDir().mkpath(folder)) {
        emit error(tr("Ошибка при создании директории %1").arg(folder));
        return;
    }
    QStringList names;
    for (const auto &document : documents) {
        QFile copy(document.first);
        QFile envelope(signatureFilePath(document.first));
        if (!copy.open(QIODevice::ReadOnly) || !envelope.open(QIODevice::ReadOnly)) {
            emit error(tr("Ошибка при открытии файла %1, %2").arg(document.first, copy.errorString()));
            continue;
        }
        if (!isSafePathComponent(document.second)) {
            qWarning().noquote() << QStringLiteral("upstream document name %1 not usable in the mirror")
                                        .arg(document.second);
            continue;
        }
        // Byte for byte as accepted: the envelope vouches for exactly these.
        const QString target = folder + QLatin1Char('/') + document.second;
        if (saveMirrorFile(target, copy.readAll())
            && saveMirrorFile(signatureFilePath(target), envelope.read(kMaxSignatureEnvelopeSize + 1))
            && !names.contains(document.second))
            names.append(document.second);
    }
    saveMirrorFile(folder + QLatin1Char('/') + kUpstreamIndexName, (names.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8());
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
        if (!removeTree(dir.absolutePath()))
            emit error(tr("Ошибка при удалении папки %1").arg(dir.absolutePath()));
    }
}
