#include "entryname.h"

namespace {

// Characters that a name in a pack may not hold: separators and the drive
// colon would let a document steer a file out of its module folder on the
// workstations, control characters cannot travel through XML intact.
bool hasForbiddenCharacter(const QString &text)
{
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || c == QLatin1Char('\\') || c == QLatin1Char(':'))
            return true;
    }
    return false;
}

} // namespace

bool isPortableEntryName(const QString &name)
{
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        return false;
    return !name.contains(QLatin1Char('/')) && !hasForbiddenCharacter(name);
}
