#include "safepath.h"

#include <QByteArray>
#include <QStringList>
#include <QUrl>

namespace {

bool isDotsOnly(const QString &component)
{
    for (const QChar c : component) {
        if (c != QLatin1Char('.'))
            return false;
    }
    return true; // also the empty text
}

bool hasForbiddenCharacter(const QString &text, const QString &forbidden)
{
    for (const QChar c : text) {
        // Every forbidden character is ASCII punctuation; letters skip the search.
        if (c.unicode() == 0 || (c.unicode() < 0x80 && !c.isLetterOrNumber() && forbidden.contains(c)))
            return true;
    }
    return false;
}

// Windows drops trailing dots and blanks of a component, so "..." or ". ."
// can still name the parent there.
bool isParentAlias(const QString &component)
{
    QString trimmed = component;
    while (!trimmed.isEmpty() && (trimmed.endsWith(QLatin1Char('.')) || trimmed.endsWith(QLatin1Char(' '))))
        trimmed.chop(1);
    return trimmed.isEmpty();
}

} // namespace

bool isSafePathComponent(const QString &name)
{
    if (name.isEmpty() || isDotsOnly(name) || isParentAlias(name))
        return false;
    return !hasForbiddenCharacter(name, QStringLiteral("/\\:"));
}

bool isSafeSubPath(const QString &path)
{
    if (hasForbiddenCharacter(path, QStringLiteral("\\:")))
        return false;
    const QStringList parts = path.split(QLatin1Char('/'));
    for (const QString &part : parts) {
        // Empty parts come from the leading "/" and doubled separators.
        if (!part.isEmpty() && isParentAlias(part))
            return false;
    }
    return true;
}

bool isSafeDataPath(const QString &data)
{
    if (data.isEmpty())
        return false;
    if (hasForbiddenCharacter(data, QStringLiteral("\\:?#")))
        return false;
    const QStringList parts = data.split(QLatin1Char('/'));
    for (const QString &part : parts) {
        if (part.isEmpty())
            continue;
        if (isParentAlias(part))
            return false;
        if (!part.contains(QLatin1Char('%')))
            continue;
        const QString decoded = QUrl::fromPercentEncoding(part.toUtf8());
        if (isParentAlias(decoded) || hasForbiddenCharacter(decoded, QStringLiteral("/\\:")))
            return false;
    }
    // The stored copy itself must have a name.
    return !parts.last().isEmpty();
}
