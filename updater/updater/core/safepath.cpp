#include "safepath.h"

#include "edition.h"
#include "fileops.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUrl>

namespace {

// The checks walk the texts in place: a document of ten thousand entries
// passes through them at every run.

// The forbidden characters of one kind of text, as a set of ASCII codes.
class Forbidden
{
public:
    constexpr explicit Forbidden(const char *characters)
    {
        for (const char *c = characters; *c; ++c)
            m_bits[static_cast<unsigned char>(*c) >> 6] |= quint64(1) << (static_cast<unsigned char>(*c) & 63);
    }
    // NUL is never allowed; every other forbidden character is ASCII
    // punctuation.
    bool contains(QChar c) const
    {
        const ushort u = c.unicode();
        return u == 0 || (u < 128 && (m_bits[u >> 6] >> (u & 63)) & 1);
    }

private:
    quint64 m_bits[2] = {0, 0};
};

constexpr Forbidden kNameForbidden("/\\:");
constexpr Forbidden kSubPathForbidden("\\:");
constexpr Forbidden kDataForbidden("\\:?#");

bool hasForbiddenCharacter(const QChar *begin, const QChar *end, const Forbidden &forbidden)
{
    for (const QChar *c = begin; c != end; ++c) {
        if (forbidden.contains(*c))
            return true;
    }
    return false;
}

bool hasForbiddenCharacter(const QString &text, const Forbidden &forbidden)
{
    return hasForbiddenCharacter(text.constData(), text.constData() + text.size(), forbidden);
}

// Windows drops trailing dots and blanks of a component, so "..." or ". ."
// can still name the parent there: a component of nothing but dots and
// blanks (or nothing at all) names no file of its own.
bool isParentAlias(const QChar *begin, const QChar *end)
{
    for (const QChar *c = begin; c != end; ++c) {
        if (*c != QLatin1Char('.') && *c != QLatin1Char(' '))
            return false;
    }
    return true;
}

// Walks the "/"-separated parts of text in one pass: false when a character
// is forbidden, or when a non-empty part is refused by check(begin, end,
// escaped) - escaped telling whether the part holds a "%".
template <typename Check>
bool checkParts(const QString &text, const Forbidden &forbidden, Check check)
{
    const QChar *begin = text.constData();
    const QChar *end = begin + text.size();
    const QChar *part = begin;
    bool escaped = false;
    for (const QChar *c = begin;; ++c) {
        if (c == end || *c == QLatin1Char('/')) {
            if (c != part && !check(part, c, escaped))
                return false;
            if (c == end)
                return true;
            part = c + 1;
            escaped = false;
            continue;
        }
        if (forbidden.contains(*c))
            return false;
        escaped = escaped || *c == QLatin1Char('%');
    }
}

// Windows opens a device, not a file, for these names in any folder, also
// when an extension follows ("COM1.log") or blanks come before it.
bool isDeviceName(const QString &name)
{
    const int dot = name.indexOf(QLatin1Char('.'));
    const QString stem = (dot < 0 ? name : name.left(dot)).trimmed().toUpper();
    static const QStringList plain = {QStringLiteral("CON"), QStringLiteral("PRN"), QStringLiteral("AUX"),
                                      QStringLiteral("NUL"), QStringLiteral("CONIN$"), QStringLiteral("CONOUT$")};
    if (plain.contains(stem))
        return true;
    if (stem.size() != 4 || !(stem.startsWith(QLatin1String("COM")) || stem.startsWith(QLatin1String("LPT"))))
        return false;
    // Digits, and the superscript digits Windows also takes for ports.
    const QChar last = stem.at(3);
    return (last >= QLatin1Char('0') && last <= QLatin1Char('9')) || last == QChar(0xb9) || last == QChar(0xb2)
           || last == QChar(0xb3);
}

} // namespace

bool isSafeModuleFolderName(const QString &name, const QString &updaterFolder)
{
    if (!isSafePathComponent(name))
        return false;
    const QChar last = name.at(name.size() - 1);
    if (last == QLatin1Char('.') || last.isSpace())
        return false;
    if (isDeviceName(name))
        return false;
    for (const QString &reserved : {updaterFolder, kUpdaterTempFolder, QStringLiteral("backup")}) {
        if (!reserved.isEmpty() && name.compare(reserved, Qt::CaseInsensitive) == 0)
            return false;
    }
    return true;
}

bool isSafePathComponent(const QString &name)
{
    const QChar *begin = name.constData();
    const QChar *end = begin + name.size();
    if (isParentAlias(begin, end)) // also the empty name and dots only
        return false;
    return !hasForbiddenCharacter(begin, end, kNameForbidden);
}

bool isSafeSubPath(const QString &path)
{
    // Empty parts come from the leading "/" and doubled separators.
    return checkParts(path, kSubPathForbidden, [](const QChar *b, const QChar *e, bool) { return !isParentAlias(b, e); });
}

QString joinSubPath(const QString &folder, const QString &path)
{
    int from = 0;
    int to = path.size();
    while (from < to && path.at(from) == QLatin1Char('/'))
        ++from;
    while (to > from && path.at(to - 1) == QLatin1Char('/'))
        --to;
    QString head = folder;
    while (head.size() > 1 && head.endsWith(QLatin1Char('/')))
        head.chop(1);
    if (from == to)
        return head;
    if (!head.endsWith(QLatin1Char('/')))
        head.append(QLatin1Char('/'));
    return head + path.mid(from, to - from);
}

bool isSafeDataPath(const QString &data)
{
    if (data.isEmpty() || data.endsWith(QLatin1Char('/'))) // the stored copy itself must have a name
        return false;
    return checkParts(data, kDataForbidden, [](const QChar *b, const QChar *e, bool escaped) {
        if (isParentAlias(b, e))
            return false;
        if (!escaped)
            return true;
        // A web server decodes "%2e%2e" and "%2f" before it looks for the file.
        const QString decoded = QUrl::fromPercentEncoding(QString(b, int(e - b)).toUtf8());
        return !isParentAlias(decoded.constData(), decoded.constData() + decoded.size())
               && !hasForbiddenCharacter(decoded, kNameForbidden);
    });
}

bool linkOnTheWay(const QString &base, const QString &path, bool withLast)
{
    const QString cleanBase = QDir::cleanPath(base);
    const QString cleanPath = QDir::cleanPath(path);
    if (!cleanPath.startsWith(cleanBase))
        return true; // not below base: nothing may go there
    QStringList parts = cleanPath.mid(cleanBase.size()).split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (!withLast && !parts.isEmpty())
        parts.removeLast();
    QString walked = cleanBase;
    for (const QString &part : qAsConst(parts)) {
        walked += QLatin1Char('/') + part;
        const QFileInfo info(walked);
        if (info.isSymbolicLink() || info.isJunction())
            return true;
        if (!info.exists())
            return false;
    }
    return false;
}

bool removeTree(const QString &path)
{
    const QFileInfo info(path);
    if (info.isSymbolicLink() || info.isJunction())
        return QFile::remove(path) || QDir().rmdir(path); // a link to a folder goes as a folder on Windows
    if (!info.exists())
        return true; // already gone, as QDir::removeRecursively counts it
    if (!info.isDir())
        return removeExistingFile(path); // read-only files too

    bool removed = true;
    const QFileInfoList entries =
        QDir(path).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo &entry : entries)
        removed = removeTree(entry.filePath()) && removed;
    return QDir().rmdir(path) && removed;
}
