#include "edition.h"

#include <QCoreApplication>

namespace {

struct Edition
{
    const char *marker;
    const char *key;
    const char *devKey;
    const char *guid;
    const char *devGuid;
    // Publisher keys built into the edition (base64, comma separated);
    // nullptr: none, config.ini alone decides.
    const char *trustedKeys;
};

// Tried in order; the last row applies when no marker matches.
const Edition kEditions[] = {
    {"orvelupd", "orvelupd", "orvelupd", "0921977d-6bf2-4ca6-a78f-609fcbfb6ea8",
     "0921977d-6bf2-4ca6-a78f-609fcbfb6ea8", nullptr},
    {"kestraupd", "kestraupd", "kestraupd", "ac1dba94-cd1b-402a-9679-8390a3929fa2",
     "ac1dba94-cd1b-402a-9679-8390a3929fa2", nullptr},
    {nullptr, "palladupd", "palladupd_dev", "3eef9002-824b-4ed6-9d5b-5f79949c6392",
     "5d20a134-f22f-48c7-8d48-09bdf8848586", nullptr},
};

const Edition &currentEdition()
{
    const QString name = QCoreApplication::applicationName();
    for (const Edition &edition : kEditions) {
        if (!edition.marker || name.contains(QLatin1String(edition.marker), Qt::CaseInsensitive))
            return edition;
    }
    return kEditions[2];
}

} // namespace

const QString kUpdaterTempFolder = QStringLiteral("updater_temp");
const QString kCopierFileName = QStringLiteral("filerelay") + executableSuffix();
const QString kUpdaterGuid32Dev = QStringLiteral("add99e3d-ad32-4ac1-959b-0dfc8ce69a70");
const QString kUpdaterGuid32Release = QStringLiteral("2bd29468-6e7c-46f7-b6ae-2d27742b8790");

QString editionKey()
{
    return QString::fromLatin1(currentEdition().key);
}

QString devEditionKey()
{
    return QString::fromLatin1(currentEdition().devKey);
}

QStringList editionTrustedKeys()
{
    const char *keys = currentEdition().trustedKeys;
    return keys ? QString::fromLatin1(keys).split(QLatin1Char(','), Qt::SkipEmptyParts) : QStringList();
}

QString updaterGuid()
{
    return QString::fromLatin1(currentEdition().guid);
}

QString devUpdaterGuid()
{
    return QString::fromLatin1(currentEdition().devGuid);
}
