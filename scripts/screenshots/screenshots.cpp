// Renders each window and dialog of the updater with realistic content to
// PNG files, for review. Run through scripts/screenshots/run.sh. With
// "--grab FILE" it photographs the screen instead (scripts/screenshots/drive.sh).
#include "editprogrammsdialog.h"
#include "guitest.h"
#include "installdialog.h"
#include "installthread.h"
#include "mainwindow.h"
#include "settings.h"
#include "settingsdialog.h"
#include "testfiles.h"

#include <QApplication>
#include <QDir>
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <QGroupBox>
#include <QJsonArray>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QSpinBox>
#include <QTabWidget>
#include <QTreeWidget>

#include <cstdio>

namespace {

bool save(QWidget &widget, const QString &folder, const QString &name)
{
    widget.show();
    QApplication::processEvents();
    const QString file = folder + QLatin1Char('/') + name + QStringLiteral(".png");
    const bool ok = widget.grab().save(file);
    std::printf("%s %s\n", ok ? "wrote" : "FAILED", qPrintable(file));
    return ok;
}

} // namespace

// "--grab FILE [X Y WIDTH HEIGHT]": saves the screen of the display the
// program runs on (an Xvfb display, for drive.sh), or that part of it, to
// FILE; no window of its own.
int grabScreen(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    QScreen *screen = QGuiApplication::primaryScreen();
    const QString file = QString::fromLocal8Bit(argv[2]);
    int area[4] = {0, 0, -1, -1};
    for (int i = 0; i < 4 && argc == 7; ++i)
        area[i] = QByteArray(argv[3 + i]).toInt();
    const bool ok = screen && screen->grabWindow(0, area[0], area[1], area[2], area[3]).save(file);
    std::printf("%s %s\n", ok ? "wrote" : "FAILED", qPrintable(file));
    return ok ? 0 : 1;
}

int main(int argc, char *argv[])
{
    if ((argc == 3 || argc == 7) && qstrcmp(argv[1], "--grab") == 0)
        return grabScreen(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: kestrashots OUTPUT_FOLDER | --grab FILE [X Y WIDTH HEIGHT]\n");
        return 2;
    }
    const QString output = QDir(QString::fromLocal8Bit(argv[1])).absolutePath();
    if (const int relocation = enterPrivateInstallRoot(argv, "kestraupd", "kestraupd"))
        return relocation;
    usePrivateHome();
    QApplication app(argc, argv);
    QApplication::setFont(QFont(QStringLiteral("DejaVu Sans"), 9));
    QDir().mkpath(output);

    UpdaterWorld world;
    const QList<ModuleSpec> modules = UpdaterWorld::catalogue();
    if (!world.writeProject(modules)
        || !world.writeConfig(UpdaterWorld::programmGuids(modules)
                                  << QStringLiteral("00aa0000-0000-4000-8000-000000000001"),
                              QStringLiteral("[global_proxy]\nis_need=true\nhost=proxy.clinic.local\nport=3128\n"
                                             "user=ivanov\npassword=secret\n\n[mirror1]\nmain_server_name=server1\n"
                                             "mirror_folder=%1/mirror\n")
                                  .arg(world.root()))) {
        std::fprintf(stderr, "can't lay out the sample installation\n");
        return 1;
    }
    const auto moduleNamed = [&modules](const char *name) { return UpdaterWorld::find(modules, QLatin1String(name)); };
    QJsonArray programms;
    programms.append(UpdaterWorld::programmEntry(moduleNamed("kestraupd"), {}));
    programms.append(UpdaterWorld::programmEntry(moduleNamed("kestra_lab"),
                                                 {moduleNamed("lab_core"), moduleNamed("lab_reports"), moduleNamed("lab_config")}));
    programms.append(UpdaterWorld::programmEntry(moduleNamed("kestra_reg"), {moduleNamed("reg_core")}));
    world.writeRegistry(QJsonObject{{QStringLiteral("programms"), programms}});
    {
        QSettings ini(world.configPath(), QSettings::IniFormat);
        ini.setValue(QStringLiteral("mirrors_count"), 1);
    }
    // The programs' executables, so that the tree shows their icons.
    writeFile(world.root() + QStringLiteral("/kestra_lab/lab"), "#!/bin/sh\n");
    writeFile(world.root() + QStringLiteral("/kestra_reg/reg"), "#!/bin/sh\n");
    world.load();

    bool ok = true;
    {
        MainWindow window;
        window.refreshAndShow();
        auto *tree = window.findChild<QTreeWidget *>(QStringLiteral("programmsWidget"));
        tree->expandAll();
        tree->setCurrentItem(findTreeRow(tree, QStringLiteral("kestra_lab")));
        ok &= save(window, output, QStringLiteral("mainwindow"));
    }
    {
        EditProgrammsDialog dialog;
        QMap<QString, QStringList> installed;
        installed.insert(QStringLiteral("kestraupd"), {});
        installed.insert(QStringLiteral("kestra_lab"), {QStringLiteral("lab_core"), QStringLiteral("lab_config")});
        dialog.setInstalled(installed);
        dialog.fillProgramms();
        dialog.findChild<QTreeWidget *>(QStringLiteral("programmWidget"))->expandAll();
        ok &= save(dialog, output, QStringLiteral("editprogrammsdialog"));
    }
    {
        SettingsDialog dialog;
        ok &= save(dialog, output, QStringLiteral("settingsdialog_connection"));
        auto *tabs = dialog.findChild<QTabWidget *>(QStringLiteral("tabWidget"));
        tabs->setCurrentIndex(0);
        ok &= save(dialog, output, QStringLiteral("settingsdialog_projects"));
    }
    {
        // A run as the user sees it: one thread's box with its progress
        // above the coloured lines. The thread has nothing to do; its lines
        // are the ones a real update writes.
        InstallDialog dialog;
        InstallThread thread(&dialog);
        thread.setObjectName(QStringLiteral("mainthread1111"));
        thread.setTitle(QStringLiteral("Обновление программ"));
        thread.setInstallPath(world.root() + QStringLiteral("/unused"));
        QObject::connect(&thread, &QThread::started, &dialog, &InstallDialog::threadStarted);
        QObject::connect(&thread, &InstallThread::message, &dialog, &InstallDialog::message);
        QObject::connect(&thread, &InstallThread::error, &dialog, &InstallDialog::error);
        QObject::connect(&thread, &InstallThread::status, &dialog, &InstallDialog::status);
        QObject::connect(&thread, &InstallThread::progress, &dialog, &InstallDialog::progress);
        thread.start();
        thread.wait(10000);
        for (int i = 0; i < 50 && !dialog.findChild<QGroupBox *>(); ++i)
            QApplication::processEvents(QEventLoop::AllEvents, 20);
        const QString root = world.root();
        emit thread.status(QStringLiteral("Обновление модуля lab_core"));
        emit thread.message(QStringLiteral("Обновлен файл %1/lab_core/core.dll 19 Кб").arg(root));
        emit thread.message(QStringLiteral("Обновлен файл %1/lab_core/sub/data.bin 2 Кб").arg(root));
        emit thread.error(QStringLiteral("Ошибка при загрузке файла reports.dll: соединение разорвано"));
        dialog.systemMessage(QStringLiteral("Обновление Обновление программ закончено"));
        emit thread.progress(23, 40, QStringLiteral("sub/data.bin"));
        ok &= save(dialog, output, QStringLiteral("installdialog"));
    }
    removePrivateInstallRoot();
    return ok ? 0 : 1;
}
