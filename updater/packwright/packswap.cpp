#include "packswap.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>

namespace {

bool renameEntry(const QString &from, const QString &to, QString *error)
{
    if (QDir().rename(from, to))
        return true;
    if (error)
        *error = QStringLiteral("can't rename %1 to %2").arg(from, to);
    return false;
}

bool exists(const QString &path)
{
    // A dangling link is still an entry that blocks the name.
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

struct Step
{
    QString from;
    QString to;
};

bool copyTree(const QString &source, const QString &target, QString *error)
{
    const QFileInfo info(source);
    if (!info.isDir() || info.isSymLink()) {
        if (QFile::copy(source, target))
            return true;
        if (error)
            *error = QStringLiteral("can't copy %1 to %2").arg(source, target);
        return false;
    }
    if (!QDir().mkpath(target)) {
        if (error)
            *error = QStringLiteral("can't create folder %1").arg(target);
        return false;
    }
    const QStringList names =
        QDir(source).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString &name : names) {
        if (!copyTree(source + QLatin1Char('/') + name, target + QLatin1Char('/') + name, error))
            return false;
    }
    return true;
}

} // namespace

bool swapIntoOutput(const QString &stagingFolder, const QString &outputFolder, const QStringList &entries,
                    const QString &asideFolder, QString *error)
{
    if (!QDir().mkpath(asideFolder)) {
        if (error)
            *error = QStringLiteral("can't create folder %1").arg(asideFolder);
        return false;
    }
    QList<Step> done;
    bool ok = true;
    for (int i = 0; i < entries.size() && ok; ++i) {
        const QString staged = stagingFolder + QLatin1Char('/') + entries.at(i);
        const QString target = outputFolder + QLatin1Char('/') + entries.at(i);
        const QString aside = asideFolder + QLatin1Char('/') + QString::number(i);
        if (exists(target)) {
            ok = renameEntry(target, aside, error);
            if (ok)
                done.append({target, aside});
        }
        if (ok) {
            ok = renameEntry(staged, target, error);
            if (ok)
                done.append({staged, target});
        }
    }
    if (ok)
        return true;

    // Put everything back where it was, newest step first.
    for (int i = done.size() - 1; i >= 0; --i) {
        QString ignored;
        if (!renameEntry(done.at(i).to, done.at(i).from, &ignored) && error)
            *error += QStringLiteral("; can't move %1 back to %2").arg(done.at(i).to, done.at(i).from);
    }
    return false;
}

bool carryHiddenEntries(const QString &previousFolder, const QString &newFolder, QString *error)
{
    const QDir previous(previousFolder);
    if (!previous.exists() || !QFileInfo(newFolder).isDir())
        return true;
    const QStringList hidden = previous.entryList(QDir::AllEntries | QDir::Hidden | QDir::System
                                                  | QDir::NoDotAndDotDot);
    for (const QString &name : hidden) {
        if (!name.startsWith(QLatin1Char('.')))
            continue;
        const QString target = newFolder + QLatin1Char('/') + name;
        if (exists(target))
            continue;
        if (!copyTree(previous.filePath(name), target, error))
            return false;
    }
    const QStringList folders = previous.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks);
    for (const QString &name : folders) {
        if (!carryHiddenEntries(previous.filePath(name), newFolder + QLatin1Char('/') + name, error))
            return false;
    }
    return true;
}
