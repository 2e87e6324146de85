#ifndef GUITEST_H
#define GUITEST_H

#include "packworld.h"
#include "privateroot.h"
#include "settings.h"

#include <QApplication>
#include <QDir>
#include <QTreeWidget>
#include <QtTest>

// The row of a program (column 1 holds its name) or of one of its plugins.
inline QTreeWidgetItem *findTreeRow(QTreeWidget *tree, const QString &programm, const QString &plugin = QString())
{
    for (int i = 0; i < tree->topLevelItemCount(); ++i) {
        QTreeWidgetItem *item = tree->topLevelItem(i);
        if (item->text(1) != programm)
            continue;
        if (plugin.isEmpty())
            return item;
        for (int j = 0; j < item->childCount(); ++j) {
            if (item->child(j)->text(1) == plugin)
                return item->child(j);
        }
    }
    return nullptr;
}

// The window tests' world lies in their private install root; the updater's
// folder is the one the test runs from.
class UpdaterWorld : public PackWorld
{
public:
    UpdaterWorld()
        : PackWorld(privateInstallRoot(), Settings::applicationDir())
    {
    }

    // Points the settings store at config.ini and loads projects, mirrors
    // and the installed programs, as start-up does.
    void load() const
    {
        Settings *settings = Settings::instance();
        settings->setConfigPath(configPath());
        settings->fillProjects();
        settings->fillMirrors();
        settings->loadInstalledProgramms();
    }
};

// The window tests run from a copy of themselves named like the updater
// ("kestraupd", so the kestra edition applies) inside a private install
// root, with a private home folder, so that nothing they install, register
// or link lands in the build tree or the user's desktop.
inline void usePrivateHome()
{
    const QString home = privateInstallRoot() + QStringLiteral("/home");
    QDir().mkpath(home + QStringLiteral("/Desktop"));
    qputenv("HOME", QFile::encodeName(home));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home + QStringLiteral("/.config")));
    qputenv("XDG_DATA_HOME", QFile::encodeName(home + QStringLiteral("/.local/share")));
    qputenv("XDG_DESKTOP_DIR", QFile::encodeName(home + QStringLiteral("/Desktop")));
}

#define KESTRA_GUI_TEST_MAIN(TestObject)                                                                         \
    int main(int argc, char *argv[])                                                                             \
    {                                                                                                            \
        if (const int relocation = enterPrivateInstallRoot(argv, "kestraupd", "kestraupd"))                      \
            return relocation;                                                                                   \
        usePrivateHome();                                                                                        \
        QApplication app(argc, argv);                                                                            \
        int result = 0;                                                                                          \
        {                                                                                                        \
            TestObject test;                                                                                     \
            result = QTest::qExec(&test, argc, argv);                                                            \
        }                                                                                                        \
        removePrivateInstallRoot();                                                                              \
        return result;                                                                                           \
    }

#endif // GUITEST_H
