#include "packwrightlog.h"

#include <QCoreApplication>
#include <QDate>
#include <QDir>

#include <cstdio>

namespace {

void enterOrCreate(QDir &dir, const QString &name)
{
    if (dir.exists(name) && dir.cd(name))
        return;
    if (dir.mkpath(name) && dir.cd(name))
        return;
    std::printf("%s %s \n", "error create mkdir ", name.toUtf8().constData());
    std::fflush(stdout);
}

} // namespace

QString packwrightLogFilePath()
{
    const QDate today = QDate::currentDate();
    QDir dir(QCoreApplication::applicationDirPath());
    enterOrCreate(dir, QStringLiteral("logs"));
    enterOrCreate(dir, today.toString(QStringLiteral("yyyy_MM")));
    return dir.absoluteFilePath(QStringLiteral("packwright_") + today.toString(Qt::ISODate) + QStringLiteral(".txt"));
}
