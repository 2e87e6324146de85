#include "testfiles.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>

#include <algorithm>

bool writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString sha1Hex(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha1).toHex());
}

QByteArray patternBytes(qint64 size, quint32 seed)
{
    QByteArray bytes(static_cast<int>(size), Qt::Uninitialized);
    quint32 x = seed * 2654435761u + 1;
    for (qint64 i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        bytes[static_cast<int>(i)] = static_cast<char>(x & 0xff);
    }
    return bytes;
}

QStringList listFilesRecursive(const QString &root)
{
    QStringList result;
    QDir base(root);
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext())
        result << base.relativeFilePath(it.next());
    result.sort();
    return result;
}

bool treesEqual(const QString &a, const QString &b, QString *why, const QStringList &onlyInA)
{
    const QStringList left = listFilesRecursive(a);
    const QStringList common = listFilesRecursive(b);
    QStringList right = common + onlyInA;
    right.sort();
    if (left != right) {
        if (why)
            *why = QStringLiteral("file lists differ: [%1] vs [%2]").arg(left.join(','), right.join(','));
        return false;
    }
    const auto differs = std::find_if(common.begin(), common.end(), [&](const QString &rel) {
        return readFile(a + '/' + rel) != readFile(b + '/' + rel);
    });
    if (differs != common.end() && why)
        *why = QStringLiteral("content differs: %1").arg(*differs);
    return differs == common.end();
}
