#ifndef CONFIGLEVEL_H
#define CONFIGLEVEL_H

#include <QString>
#include <QStringList>

// Activates the configuration-level schema files ([config] level) of one
// installed program, or of every installed program when the name is empty:
// in each plugin's schema folder a file whose name holds "_<level>" is
// copied over the same name without it, unless that already has the same
// content. A missing level means "0": nothing is copied and nothing written.
// False when some file could not be copied; each reason is logged and
// appended to failures.
bool applyConfigLevel(const QString &programmName, QStringList *failures = nullptr);

#endif // CONFIGLEVEL_H
