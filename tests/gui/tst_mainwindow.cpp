// The main window against a real registry, schema files, program starts and shortcut files in a private home;
// then its four install actions end to end: selection dialog, install threads against a packwright-built folder
// server, running processes, mirror folders. Those rows run in order, each on what the previous ones installed.
#include "edition.h"
#include "editprogrammsdialog.h"
#include "guitest.h"
#include "launcher.h"
#include "mainwindow.h"
#include "testprocess.h"

namespace {

const QString kRunning = QStringLiteral("Запущенные программы");

QTreeWidget *tree(QWidget *window, const char *name = "programmsWidget")
{
    return child<QTreeWidget>(window, QLatin1String(name));
}

// Registry as program name -> plugin names (sorted).
QMap<QString, QStringList> registry()
{
    QMap<QString, QStringList> result;
    for (const QJsonValue &value : Settings::instance()->installedConfig().value(QStringLiteral("programms")).toArray()) {
        QStringList &plugins = result[value[QLatin1String("programm_name")].toString()];
        for (const QJsonValue &plugin : value[QLatin1String("plugins")].toArray())
            plugins.append(plugin[QLatin1String("plugin_name")].toString());
        plugins.sort();
    }
    return result;
}

// The selection dialog step: tick the rows (as findTreeRow names them), then press "Ок" (reject: "Отмена").
ModalAnswerer::Step choose(const QStringList &tick, bool reject = false)
{
    return [=](QWidget *w) {
        if (!qobject_cast<EditProgrammsDialog *>(w))
            return false;
        for (const QString &path : tick) {
            if (QTreeWidgetItem *item = findTreeRow(tree(w, "programmWidget"), path))
                item->setCheckState(0, Qt::Checked);
        }
        child(w, reject ? QStringLiteral("cancelButton") : QStringLiteral("okButton"))->click();
        return true;
    };
}

const ModalAnswerer::Step kDone = ModalAnswerer::closeInstallDialogWhenDone();

// The main window as start-up shows it, before any answerer watches, with the row current.
struct ShownWindow : MainWindow
{
    explicit ShownWindow(const QString &row = QString())
    {
        refreshAndShow();
        tree(this)->setCurrentItem(findTreeRow(tree(this), row));
    }
};

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

    UpdaterWorld world;
    QList<ModuleSpec> modules;
    TestProcess labProcess;

    ModuleSpec module(const char *name) const { return UpdaterWorld::find(modules, QLatin1String(name)); }
    static QPushButton *button(MainWindow &window, const char *name) { return child(&window, QLatin1String(name)); }

    // The updater's own entry, laboratory (with lab_core and the given
    // second plugin), registry desk and a nameless entry.
    bool writeRegistry(const QString &labExecutable = QStringLiteral("lab"), ModuleSpec secondPlugin = ModuleSpec())
    {
        ModuleSpec lab = module("kestra_lab");
        lab.executeFilename = labExecutable;
        const QJsonArray programms{
            QJsonObject{{"programm_name", editionKey()}, {"display_name", "Программа обновления"}},
            UpdaterWorld::programmEntry(lab, {module("lab_core"), secondPlugin.name.isEmpty() ? module("lab_config") : secondPlugin}),
            UpdaterWorld::programmEntry(module("kestra_reg"), {module("reg_core")}),
            QJsonObject{{QStringLiteral("display_name"), QStringLiteral("Без имени")}}};
        return world.writeRegistry(QJsonObject{{QStringLiteral("programms"), programms}});
    }

    // Presses a button and lets the answerer run its script to its end.
    void press(MainWindow &window, const char *name, const ModalAnswerer &answerer)
    {
        button(window, name)->click();
        QVERIFY(!answerer.timedOut() && answerer.allAnswered());
    }

private slots:
    void initTestCase()
    {
        modules = UpdaterWorld::catalogue();
        QString error;
        QVERIFY2(world.publish(modules, &error), qPrintable(error));
        QVERIFY(world.configure(UpdaterWorld::programmGuids(modules)));
    }

    void rowsFromTheRegistry()
    {
        // Programs without an icon the system can show (executables are none) show the edition's image.
        QImage mark(16, 16, QImage::Format_ARGB32);
        mark.fill(QColor(200, 20, 20));
        QVERIFY(mark.save(editionIconPath()));
        const auto removeImage = qScopeGuard([] { QFile::remove(editionIconPath()); });
        QVERIFY(writeRegistry(QStringLiteral("missing_lab")));
        ShownWindow window(editionKey());
        // Escape, pressed to close a menu, leaves the updater running.
        QTest::keyClick(&window, Qt::Key_Escape);
        QVERIFY(window.isVisible());
        QVERIFY(button(window, "refreshMirrorsButton")->isHidden()); // no mirror is configured
        // The nameless entry is left out.
        QCOMPARE(tree(&window)->topLevelItemCount(), 3);
        for (int i = 0; i < 3; ++i)
            QCOMPARE(tree(&window)->topLevelItem(i)->icon(0).pixmap(16).toImage().convertToFormat(QImage::Format_ARGB32),
                     mark);
        // A second updater is never started from its row.
        QVERIFY(!button(window, "runButton")->isEnabled() && !child<QAction>(&window, QStringLiteral("runProgrammAction"))->isEnabled());
        // A plugin row stands for its program, whose executable is missing.
        tree(&window)->setCurrentItem(findTreeRow(tree(&window), QStringLiteral("kestra_lab/lab_config")));
        ModalAnswerer answerer(20000);
        press(window, "runButton", answerer.then(ModalAnswerer::clickBox(QMessageBox::Ok)));
        QCOMPARE(answerer.boxes(), QStringList{QStringLiteral("Ошибка|Ошибка при запуске программы kestra_lab")});
        QCOMPARE(answerer.icons(), QList<int>{QMessageBox::Critical});
    }

    // Both clicks of a double click on "Запустить" start it once, as does a double click on the row.
    void runStartsOncePerDoubleClick()
    {
        // A real program: it records its working folder.
        const QString marker = world.path(QStringLiteral("started.txt"));
        const QString script = world.path(QStringLiteral("kestra_lab/lab"));
        QVERIFY(writeFile(script, QStringLiteral("#!/bin/sh\npwd >> '%1'\n").arg(marker).toUtf8()));
        QVERIFY(QFile::setPermissions(script, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
        QVERIFY(writeRegistry());
        ShownWindow window(QStringLiteral("kestra_lab"));
        ModalAnswerer answerer(20000);
        emit tree(&window)->itemDoubleClicked(tree(&window)->currentItem(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(readFile(marker), world.path(QStringLiteral("kestra_lab\n")).toUtf8(), 10000);
        QTest::qWait(QApplication::doubleClickInterval() + 50);
        button(window, "runButton")->click();
        button(window, "runButton")->click();
        QTRY_COMPARE_WITH_TIMEOUT(readFile(marker).count('\n'), 2, 10000);
        QTest::qWait(500);
        QCOMPARE(readFile(marker).count('\n'), 2);
        QVERIFY(answerer.boxes().isEmpty());
    }

    void configLevels_data()
    {
        QTest::addColumn<QString>("level");
        QTest::addColumn<QString>("folder");          // the plugin whose schema is looked at
        QTest::addColumn<QByteArray>("targetBefore"); // empty: no target file; "dir": a folder named form.xml
        QTest::addColumn<QByteArray>("targetAfter");  // empty: still no target file
        const QByteArray level2("<schema level=\"2\"/>"), base("<schema level=\"base\"/>");
        QTest::newRow("level 0 copies nothing") << "0" << "lab_config" << base << base;
        QTest::newRow("level 2, same hash, left alone") << "2" << "lab_config" << level2 << level2;
        QTest::newRow("level 2, different hash, replaced") << "2" << "lab_config" << base << level2;
        // Only the file name loses the level suffix, not the folder's "_2".
        QTest::newRow("level text in the folder name does not redirect") << "2" << "forms_2" << QByteArray() << level2;
        QTest::newRow("level 2, target a folder: told, folder kept") << "2" << "lab_config" << QByteArray("dir") << QByteArray();
    }

    void configLevels()
    {
        QFETCH(QString, level);
        QFETCH(QString, folder);
        QFETCH(QByteArray, targetBefore);
        QFETCH(QByteArray, targetAfter);
        const bool blocked = targetBefore == "dir";
        ModuleSpec plugin = module("lab_config");
        plugin.name = folder; // every plugin's schema folder is looked at, whatever its type
        QVERIFY(writeRegistry(QStringLiteral("lab"), plugin));
        const QString schema = world.path(folder + QStringLiteral("/schema")), target = schema + QStringLiteral("/form.xml");
        QDir(schema).removeRecursively();
        QVERIFY(writeFile(schema + QStringLiteral("/form_2.xml"), "<schema level=\"2\"/>"));
        QVERIFY(writeFile(schema + QStringLiteral("/other_3.xml"), "<schema level=\"3\"/>"));
        QVERIFY(writeFile(world.path(QStringLiteral("reg_core/schema/form_2.xml")), "<schema level=\"2\"/>"));
        QVERIFY(targetBefore.isEmpty() || (blocked ? QDir().mkpath(target) : writeFile(target, targetBefore)));
        const QDateTime before = QFileInfo(target).lastModified();
        Settings::instance()->setValue(QStringLiteral("config"), QStringLiteral("level"), level);
        const auto reset = qScopeGuard([] { Settings::instance()->setValue("config", "level", QStringLiteral("0")); });

        MainWindow window;
        ModalAnswerer answerer(20000);
        if (blocked)
            answerer.then(ModalAnswerer::clickBox(QMessageBox::Ok));
        QTest::qWait(20); // distinct modification times
        window.applyConfigLevel(QStringLiteral("kestra_lab"));
        QCOMPARE(answerer.boxes(), blocked ? QStringList{"Ошибка|Ошибка копирования файла конфигурации"} : QStringList());
        QCOMPARE(QFileInfo(target).isDir(), blocked);
        QCOMPARE(readFile(target), targetAfter); // a folder reads as empty
        if (targetBefore == targetAfter)
            QCOMPARE(QFileInfo(target).lastModified(), before);
        QVERIFY(!QFileInfo::exists(schema + QStringLiteral("/other.xml")));
        QVERIFY(!world.has(QStringLiteral("forms/schema/form.xml")));
        QCOMPARE(Settings::instance()->value(QStringLiteral("config"), QStringLiteral("level")).toString(), level);
        // Other programs are not touched when a name is given.
        QVERIFY(!world.has(QStringLiteral("reg_core/schema/form.xml")));
    }

    void shortcutChoices_data()
    {
        QTest::addColumn<int>("choice");     // -1: cancel the choice
        QTest::addColumn<QString>("folder"); // for the fourth choice; empty: cancel the folder dialog
        QTest::addColumn<QString>("nameInLink"); // empty: no shortcut made
        QTest::newRow("choice cancelled") << -1 << "" << "";
        QTest::newRow("desktop") << 0 << "" << "Desktop/Лаборатория";
        QTest::newRow("configuration, folder dialog cancelled") << 3 << "" << "";
        QTest::newRow("configuration folder") << 3 << "Поликлиника 2" << "Desktop/Лаборатория (Поликлиника 2)";
    }

    void shortcutChoices()
    {
        QFETCH(int, choice);
        QFETCH(QString, folder);
        QFETCH(QString, nameInLink);
        QVERIFY(writeRegistry());
        const QString home = world.path(QStringLiteral("home"));
        QDir(home).removeRecursively();
        QDir().mkpath(home + QStringLiteral("/Desktop"));
        const QString configFolder = world.path(QStringLiteral("configs/") + folder);
        QVERIFY(QDir().mkpath(configFolder));

        ShownWindow window(QStringLiteral("kestra_lab"));
        QStringList offered;
        int boxWidth = 0, titleWidth = 0;
        ModalAnswerer answerer(30000);
        answerer.then([&](QWidget *w) {
            auto *input = qobject_cast<QInputDialog *>(w);
            if (input) {
                offered = input->comboBoxItems();
                input->setTextValue(offered.value(choice));
                choice < 0 ? input->reject() : input->accept();
            }
            return input != nullptr;
        });
        if (choice == 3) {
            answerer.then([&](QWidget *w) {
                auto *files = qobject_cast<QFileDialog *>(w);
                if (!files)
                    return false;
                files->setDirectory(configFolder);
                return QMetaObject::invokeMethod(files, folder.isEmpty() ? "reject" : "accept");
            });
        }
        if (!nameInLink.isEmpty()) {
            answerer.then([&](QWidget *w) {
                boxWidth = w->width();
                titleWidth = w->fontMetrics().horizontalAdvance(w->windowTitle());
                return ModalAnswerer::clickBox(QMessageBox::Ok, QStringLiteral("Создание ярлыка"))(w);
            });
        }
        press(window, "createLabelButton", answerer); // returns once every window it opened is closed
        QCOMPARE(offered, QStringList({"На рабочем столе", "В быстром запуске", "В меню пуск",
                                       "На рабочем столе на произвольную конфигурацию"}));
        const QStringList links = listFilesRecursive(home).filter(QRegularExpression(QStringLiteral("^(?!\\.config/)")));
        QCOMPARE(answerer.boxes(), nameInLink.isEmpty() ? QStringList() : QStringList{"Создание ярлыка|Ярлык создан"});
        QCOMPARE(links.size(), int(!nameInLink.isEmpty()));
        if (nameInLink.isEmpty())
            return;
        // The box is wider than its title, with room for the title bar's buttons.
        QVERIFY2(boxWidth >= titleWidth + 96, qPrintable(QStringLiteral("%1 %2").arg(boxWidth).arg(titleWidth)));
        QVERIFY2(links.first().contains(nameInLink), qPrintable(links.first()));
        const QString content = QString::fromUtf8(readFile(home + QLatin1Char('/') + links.first()));
        QVERIFY2(content.contains(QStringLiteral("kestra_lab")), qPrintable(content));
        QCOMPARE(content.contains(QStringLiteral("--config_path")), !folder.isEmpty());
    }

    // The install actions start from two mirrors and an empty registry.
    void refreshWithEmptyRegistrySelectionRejected()
    {
        QVERIFY(world.writeConfig(UpdaterWorld::programmGuids(modules),
                                  QStringLiteral("[mirror1]\nmain_server_name=server1\nmirror_folder=%1/mirror1\n\n"
                                                 "[mirror2]\nmain_server_name=server1\nmirror_folder=%1/mirror2\n"
                                                 "programms_count=1\nprogramm_name1=kestra_reg\nprogramm_guid1=%2\n")
                                      .arg(world.root(), module("kestra_reg").guid)));
        QSettings(world.configPath(), QSettings::IniFormat).setValue(QStringLiteral("mirrors_count"), 2);
        QVERIFY(world.removeRegistry());
        world.load();
        ShownWindow window;
        ModalAnswerer answerer(20000);
        press(window, "refreshButton", answerer.then(ModalAnswerer::clickBox(QMessageBox::Ok)));
        QCOMPARE(answerer.boxes(), QStringList{QStringLiteral("Ошибка|Нет программ для обновления!")});
        // A rejected selection installs nothing, not even the updater's own program.
        press(window, "editButton", answerer.then(choose({"kestra_reg/reg_print"}, true)));
        QCOMPARE(answerer.titles().size(), 2); // the box and the selection, answered by choose()
        QVERIFY(registry().isEmpty());
    }

    void installTwoProgrammsThroughSelection()
    {
        ShownWindow window;
        QString log;
        ModalAnswerer answerer(120000);
        answerer.then(choose({"kestra_lab", "kestra_lab/lab_reports", "kestra_reg"}))
            .then(ModalAnswerer::closeInstallDialogWhenDone(&log));
        press(window, "editButton", answerer);
        QVERIFY2(!log.contains(QStringLiteral("Ошибка")), qPrintable(log));
        QCOMPARE(registry(), (QMap<QString, QStringList>{{"kestra_lab", {"lab_config", "lab_core", "lab_reports"}},
                                                         {"kestra_reg", {"reg_core"}}, {"kestraupd", {}}}));
        for (const char *file : {"lab_core/core.dll", "lab_reports/reports.dll", "kestra_reg/reg"})
            QVERIFY2(world.has(QLatin1String(file)), file);
        QVERIFY(!world.has(QStringLiteral("reg_print")));
        // The updater's own program is assembled beside the running one.
        QVERIFY(world.has(QStringLiteral("updater_temp/kestraupd")));
        QVERIFY(findTreeRow(tree(&window), QStringLiteral("kestra_reg/reg_core")));
    }

    void refreshSkipsRunningProgramm()
    {
        QString error;
        for (const QString &name : {QStringLiteral("kestra_lab"), QStringLiteral("kestra_reg")}) {
            ModuleSpec release = UpdaterWorld::find(modules, name);
            release.files.insert(QStringLiteral("readme.txt"), "release 2 of " + name.toUtf8());
            QVERIFY2(world.buildPack(release, &error), qPrintable(error));
        }
        // A real long-running binary as the laboratory's executable, started from there as a user would.
        const QString lab = world.path(QStringLiteral("kestra_lab/lab"));
        QVERIFY(QFile::remove(lab) && QFile::copy(QStringLiteral("/bin/sleep"), lab));
        QVERIFY2(labProcess.start(lab, {QStringLiteral("120")}, &error, world.path(QStringLiteral("kestra_lab"))),
                 qPrintable(error));
        Settings::instance()->loadInstalledProgramms(); // as at the next start
        ShownWindow window;
        ModalAnswerer answerer(120000);
        press(window, "refreshButton", answerer.then(ModalAnswerer::clickBox(QMessageBox::Ok, kRunning)).then(kDone));
        QCOMPARE(answerer.boxes(),
                 QStringList{kRunning + "|Найдены запущенные программы: \nЛаборатория\n\nОни не будут обновлены!"});
        QCOMPARE(answerer.icons(), QList<int>{QMessageBox::Warning});
        QVERIFY(readFile(world.path(QStringLiteral("kestra_lab/readme.txt"))) != "release 2 of kestra_lab");
        QCOMPARE(readFile(world.path(QStringLiteral("kestra_reg/readme.txt"))), QByteArray("release 2 of kestra_reg"));
        QVERIFY(labProcess.isRunning());
        labProcess.stop();
    }

    void removeProgramm_data()
    {
        QTest::addColumn<QString>("row");
        QTest::addColumn<int>("answer"); // the button pressed in the box
        QTest::addColumn<QString>("box");
        const QString question = QStringLiteral("Удаление|Вы действительно хотите удалить программу Регистратура");
        QTest::newRow("the updater itself is refused")
            << "kestraupd" << int(QMessageBox::Ok) << "Ошибка|Нельзя удалять программу для обновлений!!!";
        QTest::newRow("answer no") << "kestra_reg" << int(QMessageBox::No) << question;
        QTest::newRow("plugin row stands for its program, answer yes")
            << "kestra_reg/reg_core" << int(QMessageBox::Yes) << question;
    }

    void removeProgramm()
    {
        QFETCH(QString, row);
        QFETCH(int, answer);
        QFETCH(QString, box);
        const QString programm = row.section(QLatin1Char('/'), 0, 0);
        const bool removed = answer == QMessageBox::Yes;
        ShownWindow window(row); // no row, no box: the answerer times out
        ModalAnswerer answerer(120000);
        answerer.then(ModalAnswerer::clickBox(answer));
        press(window, "removeButton", removed ? answerer.then(kDone) : answerer);
        QCOMPARE(answerer.boxes(), QStringList{box});
        QCOMPARE(registry().contains(programm), !removed);
        QCOMPARE(world.has(programm + QStringLiteral("/reg")), !removed && programm == "kestra_reg");
        QCOMPARE(findTreeRow(tree(&window), programm) == nullptr, removed);
    }

    void refreshTwoMirrors()
    {
        ShownWindow window;
        QVERIFY(!button(window, "refreshMirrorsButton")->isHidden());
        ModalAnswerer answerer(120000); // the dialogs close themselves
        press(window, "refreshMirrorsButton", answerer);
        const QString title = QStringLiteral("Обновляем зеркало server1");
        QCOMPARE(answerer.titles(), QStringList({title, title})); // and no box
        // Mirror 1 holds every program of the server, mirror 2 only the registry desk (layout: tst_engine).
        const QString lab = module("kestra_lab").guid, reg = module("kestra_reg").guid;
        QVERIFY(world.has("mirror1/" + lab) && world.has("mirror2/" + reg + "/reg") && !world.has("mirror2/" + lab));
        // A mirror run never touches the registry.
        QVERIFY(!registry().contains(QStringLiteral("kestra_reg")));
    }

    void cleanupTestCase()
    {
        labProcess.stop();
    }
};

KESTRA_GUI_TEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
