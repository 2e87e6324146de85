// The main window against a real registry, real schema files, real program
// starts and real shortcut files in a private home folder.
#include "edition.h"
#include "guitest.h"
#include "launcher.h"
#include "mainwindow.h"

#include <QAction>
#include <QFileDialog>
#include <QImage>
#include <QInputDialog>
#include <QJsonArray>
#include <QScopeGuard>

class TestMainWindow : public QObject
{
    Q_OBJECT

    UpdaterWorld world;
    QList<ModuleSpec> modules;

    ModuleSpec module(const char *name) const { return UpdaterWorld::find(modules, QLatin1String(name)); }
    static QTreeWidget *tree(MainWindow &window) { return child<QTreeWidget>(&window, QStringLiteral("programmsWidget")); }
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

    void showWith(MainWindow &window, const QString &row)
    {
        window.refreshAndShow();
        QVERIFY2(findTreeRow(tree(window), row), qPrintable(row));
        tree(window)->setCurrentItem(findTreeRow(tree(window), row));
    }

private slots:
    void initTestCase()
    {
        modules = UpdaterWorld::catalogue();
        QVERIFY(world.writeProject(modules));
        QVERIFY(world.writeConfig(UpdaterWorld::programmGuids(modules)));
        QVERIFY(world.removeRegistry());
        world.load();
    }

    void rowsFromTheRegistry()
    {
        // Programs without an icon of their own that the system can show
        // (here: executables are no icons) show the edition's image.
        QImage mark(16, 16, QImage::Format_ARGB32);
        mark.fill(QColor(200, 20, 20));
        QVERIFY(mark.save(editionIconPath()));
        const auto removeImage = qScopeGuard([] { QFile::remove(editionIconPath()); });
        QVERIFY(writeRegistry(QStringLiteral("missing_lab")));
        MainWindow window;
        window.refreshAndShow();
        // Escape, pressed to close a menu, leaves the updater running.
        QTest::keyClick(&window, Qt::Key_Escape);
        QVERIFY(window.isVisible());
        QVERIFY(button(window, "refreshMirrorsButton")->isHidden()); // no mirror is configured
        // The nameless entry is left out.
        QCOMPARE(tree(window)->topLevelItemCount(), 3);
        for (int i = 0; i < 3; ++i)
            QCOMPARE(tree(window)->topLevelItem(i)->icon(0).pixmap(16).toImage().convertToFormat(QImage::Format_ARGB32), mark);
        // A second updater is never started from its row.
        tree(window)->setCurrentItem(findTreeRow(tree(window), editionKey()));
        QVERIFY(!button(window, "runButton")->isEnabled() && !child<QAction>(&window, QStringLiteral("runProgrammAction"))->isEnabled());
        // A plugin row stands for its program, whose executable is missing.
        tree(window)->setCurrentItem(findTreeRow(tree(window), QStringLiteral("kestra_lab/lab_config")));
        ModalAnswerer answerer(20000);
        answerer.then(ModalAnswerer::clickBox(QMessageBox::Ok));
        button(window, "runButton")->click();
        QVERIFY(!answerer.timedOut());
        QCOMPARE(answerer.boxes(), QStringList{QStringLiteral("Ошибка|Ошибка при запуске программы kestra_lab")});
        QCOMPARE(answerer.seen().first().icon, int(QMessageBox::Critical));
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
        MainWindow window;
        showWith(window, QStringLiteral("kestra_lab"));
        ModalAnswerer answerer(20000);
        emit tree(window)->itemDoubleClicked(tree(window)->currentItem(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(readFile(marker).count('\n'), 1, 10000);
        QCOMPARE(QString::fromUtf8(readFile(marker)).trimmed(), world.path(QStringLiteral("kestra_lab")));
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
        QCOMPARE(QFileInfo(target).isFile() ? readFile(target) : QByteArray(), targetAfter);
        if (targetBefore == targetAfter)
            QCOMPARE(QFileInfo(target).lastModified(), before);
        QVERIFY(!QFileInfo::exists(schema + QStringLiteral("/other.xml")));
        QVERIFY(!world.has(QStringLiteral("forms/schema/form.xml")));
        QCOMPARE(Settings::instance()->value(QStringLiteral("config"), QStringLiteral("level")).toString(), level);
        // Other programs are not touched when a name is given.
        QVERIFY(!world.has(QStringLiteral("reg_core/schema")));
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

        MainWindow window;
        showWith(window, QStringLiteral("kestra_lab"));
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
        button(window, "createLabelButton")->click(); // returns once every window it opened is closed
        QVERIFY(!answerer.timedOut() && answerer.allAnswered());
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
};

KESTRA_GUI_TEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
