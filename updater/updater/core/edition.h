#ifndef EDITION_H
#define EDITION_H

#include <QString>
#include <QStringList>

// One build serves three editions; the edition is read from the executable's
// base name (the application name) on every call.
QString editionKey();
QString devEditionKey();
QString updaterGuid();
// The publisher keys this edition trusts whatever config.ini says (base64).
QStringList editionTrustedKeys();
QString devUpdaterGuid();

// Folder beside the updater's own in which a new copy of it is assembled.
extern const QString kUpdaterTempFolder;
// The copier's executable inside that folder (with the platform's suffix).
extern const QString kCopierFileName;
extern const QString kUpdaterGuid32Dev;
extern const QString kUpdaterGuid32Release;

// The suffix executables carry on this platform (".exe" on Windows only);
// defined with the platform layer (platform.cpp).
QString executableSuffix();

#endif // EDITION_H
