#ifndef INSTALLEDPROGRAMM_H
#define INSTALLEDPROGRAMM_H

#include <QList>
#include <QString>

// One module row of installed.json.
struct InstalledPlugin
{
    QString displayName;
    QString name;
    QString type;
};

// One program row of installed.json; owns its module rows.
struct InstalledProgramm
{
    InstalledProgramm() = default;
    ~InstalledProgramm() { qDeleteAll(plugins); }
    InstalledProgramm(const InstalledProgramm &) = delete;
    InstalledProgramm &operator=(const InstalledProgramm &) = delete;

    QString displayName;
    QString executeFilename;
    QString executeParams;
    QString name;
    QString type;
    QList<InstalledPlugin *> plugins;
};

#endif // INSTALLEDPROGRAMM_H
