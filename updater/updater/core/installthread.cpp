#include "installthread.h"

#include "edition.h"
#include "projectdescription.h"
#include "settings.h"

InstallThread::InstallThread(QObject *parent)
    : QThread(parent),
      fileinfoName(QStringLiteral("update_fileinfo.xml")),
      mirrorFileinfoName(QStringLiteral("mirror_fileinfo.xml")),
      mirrorDocumentName(QStringLiteral("mirror.xml"))
{
}

InstallThread::~InstallThread() = default;

void InstallThread::setProgrammsToUpdate(const QMap<QString, QStringList> &programms)
{
    m_programmsToUpdate = programms;
}

QMap<QString, QStringList> InstallThread::programmsToUpdate() const
{
    return m_programmsToUpdate;
}

void InstallThread::setProgrammsToRemove(const QStringList &programms)
{
    m_programmsToRemove = programms;
}

QStringList InstallThread::programmsToRemove() const
{
    return m_programmsToRemove;
}

void InstallThread::setPluginsToRemove(const QMap<QString, QStringList> &plugins)
{
    m_pluginsToRemove = plugins;
}

QMap<QString, QStringList> InstallThread::pluginsToRemove() const
{
    return m_pluginsToRemove;
}

void InstallThread::setChangeConfig(bool changeConfig)
{
    m_changeConfig = changeConfig;
}

bool InstallThread::changeConfig() const
{
    return m_changeConfig;
}

void InstallThread::setInstallPath(const QString &path)
{
    m_installPath = path;
}

QString InstallThread::installPath() const
{
    return m_installPath;
}

void InstallThread::setMirror(bool mirror)
{
    m_isMirror = mirror;
}

bool InstallThread::isMirror() const
{
    return m_isMirror;
}

void InstallThread::setMakeBackup(bool makeBackup)
{
    m_makeBackup = makeBackup;
}

bool InstallThread::makeBackup() const
{
    return m_makeBackup;
}

void InstallThread::setTitle(const QString &title)
{
    m_title = title;
}

QString InstallThread::title() const
{
    return m_title;
}

void InstallThread::setFoldersToRemove(const QStringList &folders)
{
    m_foldersToRemove = folders;
}

QStringList InstallThread::foldersToRemove() const
{
    return m_foldersToRemove;
}

QString InstallThread::programmPath(const QString &name) const
{
    QString folder = name;
    if (m_isMirror) {
        const ProjectPluginPtr plugin = Settings::instance()->allPlugins().value(name);
        if (plugin && !plugin->guid().isEmpty())
            folder = plugin->guid();
    } else if (name == editionKey() || name == devEditionKey()) {
        // A new copy of the updater is assembled beside the running one and
        // copied over it by the copier when the updater exits.
        folder = kUpdaterTempFolder;
    }
    return m_installPath + QLatin1Char('/') + folder;
}

QString InstallThread::sizeToString(qint64 size)
{
    if (size < 10240)
        return tr("%1 б").arg(size);
    if (size < 10485760)
        return tr("%1 Кб").arg(size >> 10);
    return tr("%1 Mб").arg(size >> 20);
}

void InstallThread::run()
{
    if (m_isMirror && m_changeConfig) {
        emit error(tr("При обновлении зеркала нельзя изменять конфиг!!!"));
        return;
    }
    if (m_installPath.isEmpty()) {
        // Every folder of the run hangs off this path; left empty, module
        // folders would land at the top of the file system.
        if (m_isMirror) {
            emit error(tr("Не задана папка зеркала"));
            return;
        }
        m_installPath = Settings::installRoot();
    }
    removeProgramms();
    updateProgramms();
    if (m_isMirror)
        removeFolders();
    if (m_stopped)
        reportStop();
}
