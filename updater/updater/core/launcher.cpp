#include "launcher.h"

#include "commandline.h"
#include "edition.h"
#include "platform.h"
#include "settings.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QObject>
#include <QProcess>

namespace {

// The programm name that stands for the updater itself in shortcuts.
const QString kUpdaterName = QStringLiteral("updater");

std::wstring nativePath(const QString &path)
{
    return QDir::toNativeSeparators(path).toStdWString();
}

// A folder name directly under the install root: no separators, not "." or
// "..". Program names come from the registry and the command line, so they
// are checked before they become paths.
bool isPlainFolderName(const QString &name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..")
           && !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\'));
}

// True when path lies inside the program's own folder under the install
// root. The registry is data from outside: an execute_filename of
// "../../somewhere/else" must not start a program elsewhere.
bool insideProgrammFolder(const QString &programmName, const QString &path)
{
    if (!isPlainFolderName(programmName))
        return false;
    const QString folder = QDir::cleanPath(Settings::installRoot() + QLatin1Char('/') + programmName);
    return QDir::cleanPath(path).startsWith(folder + QLatin1Char('/'));
}

// The shortcut's file name from its display name. Separators would put the
// file into another folder, and the other characters Windows refuses in file
// names (':' would even open an alternate data stream) make the save fail or
// go astray; each becomes '_'. Windows drops trailing dots and blanks itself,
// so they go here too, giving the same name on every system.
QString shortcutBaseName(const QString &displayName)
{
    static const QString forbidden = QStringLiteral("/\\:*?\"<>|");
    QString name;
    name.reserve(displayName.size());
    for (const QChar c : displayName)
        name.append(c.unicode() < 0x20 || forbidden.contains(c) ? QLatin1Char('_') : c);
    while (name.endsWith(QLatin1Char(' ')) || name.endsWith(QLatin1Char('.')))
        name.chop(1);
    return name;
}

bool isFile(const QString &path)
{
    return QFileInfo(path).isFile();
}

} // namespace

bool startProgramm(const QString &programmName, const QStringList &arguments)
{
    QStringList defaults;
    const QString path = Settings::instance()->executablePath(programmName, &defaults);
    const QString workingDirectory = QFileInfo(path).absolutePath();
    // A folder (a program recorded without execute_filename) is no program.
    if (path.isEmpty() || !isFile(path)) {
        qWarning().noquote() << QStringLiteral("programm ") + programmName + QStringLiteral(" not found");
        return false;
    }
    if (!insideProgrammFolder(programmName, path)) {
        qWarning().noquote() << QStringLiteral("programm ") + programmName + QStringLiteral(": executable ") + path
                                    + QStringLiteral(" lies outside the programm's folder, not started");
        return false;
    }
    return QProcess::startDetached(path, arguments.isEmpty() ? defaults : arguments, workingDirectory);
}

bool createShortcut(const QString &linkPath, const QString &targetPath, const QString &workingDirectory,
                    const QString &arguments, quint16 hotkey, int showCommand, const QString &iconPath,
                    int iconIndex)
{
    platform::Shortcut shortcut;
    shortcut.target = nativePath(targetPath);
    shortcut.arguments = arguments.toStdWString();
    shortcut.workingDirectory = nativePath(workingDirectory);
    shortcut.iconPath = nativePath(iconPath);
    shortcut.iconIndex = iconIndex;
    shortcut.hotkey = hotkey;
    shortcut.showCommand = showCommand;
    std::wstring error;
    if (!platform::writeShortcut(nativePath(linkPath), shortcut, &error)) {
        qWarning().noquote() << QStringLiteral("can't create shortcut ") + linkPath + QStringLiteral(": ")
                                    + QString::fromStdWString(error);
        return false;
    }
    return true;
}

QString linkPlaceFolder(LinkPlace place)
{
    std::wstring folder;
    switch (place) {
    case LinkPlace::Desktop:
        folder = platform::userFolder(platform::UserFolder::Desktop);
        break;
    case LinkPlace::QuickLaunch:
        folder = platform::userFolder(platform::UserFolder::QuickLaunch);
        break;
    case LinkPlace::StartMenu:
        folder = platform::userFolder(platform::UserFolder::ProgramsMenu);
        if (!folder.empty())
            return QDir::fromNativeSeparators(QString::fromStdWString(folder)) + QObject::tr("/Корвант-Мед");
        break;
    default:
        break;
    }
    return QDir::fromNativeSeparators(QString::fromStdWString(folder));
}

bool createLink(const QString &displayName, const QString &folderName, const QString &iconFile, LinkPlace place,
                const QString &arguments)
{
    // An unknown place or a failed folder query gives no folder. The file
    // would then land in the root of the drive (or of the file system), so
    // nothing is written.
    const QString folder = linkPlaceFolder(place);
    if (folder.isEmpty()) {
        qWarning().noquote() << QStringLiteral("no folder for shortcut place %1, shortcut %2 not created")
                                    .arg(static_cast<int>(place))
                                    .arg(displayName);
        return false;
    }
    const QString baseName = shortcutBaseName(displayName);
    if (baseName.isEmpty()) {
        qWarning().noquote() << QStringLiteral("shortcut name \"%1\" gives no file name").arg(displayName);
        return false;
    }
    if (!QDir().mkpath(folder)) {
        qWarning().noquote() << QStringLiteral("can't create dir: ") + folder;
        return false;
    }
    const QString linkPath = folder + QLatin1Char('/') + baseName + QStringLiteral(".lnk");
    const QString target = Settings::applicationFile();

    QDir dir(Settings::applicationDir());
    dir.cdUp();
    if (isPlainFolderName(folderName))
        dir.cd(folderName);
    const QString workingDirectory = dir.absolutePath();

    const QString icon = programmIconPath(folderName, iconFile);
    return createShortcut(linkPath, target, workingDirectory, arguments, 0, 1, icon, 0);
}

QString editionIconPath()
{
    return Settings::applicationDir() + QLatin1Char('/') + editionKey() + QStringLiteral(".png");
}

QString programmIconPath(const QString &folderName, const QString &iconFile)
{
    QDir dir(Settings::applicationDir());
    dir.cdUp();
    if (isPlainFolderName(folderName))
        dir.cd(folderName);
    const QString folder = dir.absolutePath();
    // The program's own icon first, then the one the caller names (its
    // executable, on Windows), then the updater's, then the edition's image,
    // which the desktops outside Windows show where an executable is no
    // icon. A folder is no icon.
    const QStringList candidates{
        folder + QStringLiteral("/def.ico"),
        iconFile.isEmpty() ? QString() : folder + QLatin1Char('/') + iconFile,
        Settings::applicationDir() + QStringLiteral("/def.ico"),
        editionIconPath(),
    };
    for (const QString &candidate : candidates) {
        if (!candidate.isEmpty() && isFile(candidate) && platform::canBeShortcutIcon(nativePath(candidate)))
            return candidate;
    }
    return Settings::applicationFile();
}

bool createProgrammLink(const QString &displayName, const QString &programmName, const QString &iconFile,
                        const QString &parameters, LinkPlace place)
{
    if (programmName == kUpdaterName)
        return createLink(displayName, programmName, iconFile, place, QString());
    // The shortcut's arguments are read back by the system's command-line
    // parser, so they are written by its rules. The name is one argument:
    // quoted when it holds a blank (or is empty, so that "--run" does not
    // take the next option as its value). The parameters are one argument
    // too; their quotes are written as \" because the parser ends a quoted
    // stretch at a doubled quote, which split "--arg" values holding a quote
    // followed by a blank (a quoted folder with a blank in it) in two.
    QString arguments = QStringLiteral("--run ")
                        + QString::fromStdWString(commandline::quoteArgument(programmName.toStdWString()));
    if (!parameters.isEmpty()) {
        arguments += QStringLiteral(" --arg=\"")
                     + QString::fromStdWString(commandline::escapeQuoted(parameters.toStdWString()))
                     + QLatin1Char('"');
    }
    return createLink(displayName, programmName, iconFile, place, arguments);
}

QString quoteArgument(const QString &text, QChar separator, QChar quote, bool force, bool escape)
{
    QString result = text;
    if (escape && result.contains(quote))
        result.replace(quote, QString(2, quote));
    // A text that starts with the quote character must be wrapped even
    // without a separator: unwrapped, its first (doubled) quote would be read
    // back as an opening quote and the text would come back cut.
    const bool startsWithQuote = escape && text.startsWith(quote);
    if (!force && !startsWithQuote && !result.contains(separator) && !result.contains(QLatin1Char('\n')))
        return result;
    return quote + result + quote;
}
