#include "fileinfo.h"

#include "entryname.h"
#include "xmlguard.h"

#include <QDomDocument>
#include <QDomElement>
#include <QDomNodeList>
#include <QFile>
#include <QStringList>

#include <limits>

namespace {

// "a/b/c" style text: every segment a portable name.
bool isRelativePath(const QString &text)
{
    const QStringList segments = text.split(QLatin1Char('/'));
    for (const QString &segment : segments) {
        if (!isPortableEntryName(segment))
            return false;
    }
    return true;
}

bool fail(QString *error, const QString &reason)
{
    if (error)
        *error = reason;
    return false;
}

// Optional integer attribute: absent means 0, anything else must be a number.
bool readNumber(const QDomElement &element, const QString &name, qint64 *value)
{
    if (!element.hasAttribute(name)) {
        *value = 0;
        return true;
    }
    bool ok = false;
    *value = element.attribute(name).trimmed().toLongLong(&ok);
    return ok;
}

} // namespace

bool parseFileInfoDocument(const QByteArray &data, QList<FileInfoEntry> *entries, QString *error)
{
    QDomDocument document;
    QString message;
    int line = 0;
    int column = 0;
    if (!setUntrustedContent(document, data, &message, &line, &column))
        return fail(error, QStringLiteral("bad file information document: %1 at line %2, column %3")
                               .arg(message)
                               .arg(line)
                               .arg(column));

    QList<FileInfoEntry> result;
    const QDomNodeList nodes = document.elementsByTagName(QStringLiteral("fileinfo"));
    for (int i = 0; i < nodes.count(); ++i) {
        const QDomElement element = nodes.at(i).toElement();
        FileInfoEntry entry;
        entry.fileName = element.attribute(QStringLiteral("filename"));
        entry.hash = element.attribute(QStringLiteral("hash"));
        qint64 deleteFlag = 0;
        if (!readNumber(element, QStringLiteral("size"), &entry.size) || entry.size < 0)
            return fail(error, QStringLiteral("bad size of file entry %1").arg(i + 1));
        if (!readNumber(element, QStringLiteral("is_need_delete"), &deleteFlag) || deleteFlag < std::numeric_limits<int>::min()
            || deleteFlag > std::numeric_limits<int>::max())
            return fail(error, QStringLiteral("bad deletion flag of file entry %1").arg(i + 1));
        entry.isNeedDelete = static_cast<int>(deleteFlag);
        entry.path = element.firstChildElement(QStringLiteral("path")).text();
        entry.data = element.firstChildElement(QStringLiteral("data")).text();

        // The entry names a file inside the module folder and a stored copy
        // inside the pack folder; anything that could point elsewhere is
        // refused with the whole document.
        if (!isPortableEntryName(entry.fileName))
            return fail(error, QStringLiteral("bad file name in file entry %1: %2").arg(i + 1).arg(entry.fileName));
        if (!entry.path.isEmpty()
            && (!entry.path.startsWith(QLatin1Char('/')) || !isRelativePath(entry.path.mid(1))))
            return fail(error, QStringLiteral("bad path in file entry %1: %2").arg(i + 1).arg(entry.path));
        if (!entry.data.isEmpty() && !isRelativePath(entry.data))
            return fail(error, QStringLiteral("bad data location in file entry %1: %2").arg(i + 1).arg(entry.data));
        result.append(entry);
    }
    if (entries)
        *entries = result;
    return true;
}

bool readFileInfoDocument(const QString &filePath, QList<FileInfoEntry> *entries, QString *error)
{
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly))
        return fail(error, QStringLiteral("can't open file %1 error: %2").arg(filePath, file.errorString()));
    return parseFileInfoDocument(file.readAll(), entries, error);
}
