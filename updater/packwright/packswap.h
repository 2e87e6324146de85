#ifndef PACKSWAP_H
#define PACKSWAP_H

#include <QString>
#include <QStringList>

// Moves each of entries (names relative to both folders, files or folders)
// from stagingFolder to the same place in outputFolder. Whatever the output
// held under such a name is first moved into asideFolder (as "0", "1", ...,
// in entry order). Everything is renamed, nothing copied, so the staging
// folder must lie on the output's volume. When a step fails, the steps done
// so far are undone in reverse, the output is left as it was and false is
// returned with the reason in error.
bool swapIntoOutput(const QString &stagingFolder, const QString &outputFolder, const QStringList &entries,
                    const QString &asideFolder, QString *error = nullptr);

// Copies the hidden entries (name starting with a dot) of an earlier data
// folder into the new one, at every level where the new tree has a folder of
// the same name: files such as a web server's access rules, which the
// builder never packs, survive a rebuild of the module.
bool carryHiddenEntries(const QString &previousFolder, const QString &newFolder, QString *error = nullptr);

#endif // PACKSWAP_H
