#include "installthread.h"

#include "edition.h"
#include "modulestep.h"
#include "safepath.h"
#include "settings.h"

#include <QDebug>
#include <QFileInfo>

bool InstallThread::moduleFolder(const QString &name, QString *folder)
{
    const QString path = programmPath(name);
    const QString last = path.mid(m_installPath.size() + 1);
    // Only the updater's own program is assembled in updater_temp; any other
    // element there, in the updater's folder or in the backups would land
    // files that the updater or the copier then runs or copies.
    const bool ownCopy = !m_isMirror && last == kUpdaterTempFolder && (name == editionKey() || name == devEditionKey());
    const QString updaterFolder = m_isMirror ? QString() : QFileInfo(Settings::applicationDir()).fileName();
    if (!(ownCopy ? isSafePathComponent(last) : isSafeModuleFolderName(last, updaterFolder))) {
        emit error(tr("Недопустимый путь файла %1").arg(path));
        qWarning().noquote() << QStringLiteral("refused module folder name ") + last;
        return false;
    }
    *folder = path;
    return true;
}

bool InstallThread::updatePlugin(const PluginPtr &plugin)
{
    ModuleStep step(*this, plugin);
    return step.run();
}
