// The main window against a real registry, real schema files, real program
// starts and real shortcut files in a private home folder.
#include "edition.h"
#include "guitest.h"
#include "launcher.h"
#include "mainwindow.h"
#include "testfiles.h"

#include <QAction>
#include <QFileDialog>
#include <QImage>
#include <QInputDialog>
#include <QJsonArray>
#include <QScopeGuard>
#include <QSettings>

namespace {

QTreeWidget *tree(MainWindow &window)
{
    return window.findChild<QTreeWidget *>(QStringLiteral("programmsWidget"));
}

QPushButton *button(MainWindow &window, const char *name)
{
    return window.findChild<QPushButton *>(QLatin1String(name));
}

QAction *action(MainWindow &window, const char *name)
{
    return window.findChild<QAction *>(QLatin1String(name));
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

    UpdaterWorld world;
    QList<ModuleSpec> modules;

    ModuleSpec module(const char *name) const { return UpdaterWorld::find(modules, QLatin1String(name)); }

    // Laboratory (with lab_core and the given second plugin), registry desk
    // and a nameless entry.
    QJsonObject filledRegistry(const QString &labExecutable = QStringLiteral("lab"),
                               const ModuleSpec &secondPlugin = ModuleSpec())
    {
        ModuleSpec lab = module("kestra_lab");
        lab.executeFilename = labExecutable;
        const QJsonArray programms{
            UpdaterWorld::programmEntry(lab, {module("lab_core"), secondPlugin.name.isEmpty() ? module("lab_config")
                                                                                              : secondPlugin}),
            UpdaterWorld::programmEntry(module("kestra_reg"), {module("reg_core")}),
            QJsonObject{{QStringLiteral("display_name"), QStringLiteral("Без имени")}}};
        return QJsonObject{{QStringLiteral("programms"), programms}};
    }

    QString home() const { return world.root() + QStringLiteral("/home"); }

    void showWith(MainWindow &window, const QString &name, const QString &plugin = QString())
    {
        window.refreshAndShow();
        QTreeWidgetItem *item = findTreeRow(tree(window), name, plugin);
        QVERIFY2(item, qPrintable(name + QLatin1Char('/') + plugin));
        tree(window)->setCurrentItem(item);
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

    // Runs first: config.ini has no level yet.
    void missingLevelLeavesConfigAsWritten()
    {
        QVERIFY(world.writeRegistry(filledRegistry()));
        QVERIFY(!QSettings(world.configPath(), QSettings::IniFormat).contains(QStringLiteral("config/level")));
        const QByteArray before = readFile(world.configPath());
        MainWindow window;
        window.applyConfigLevel(QString());
        // A missing level is level "0": nothing to copy and nothing to write.
        QCOMPARE(readFile(world.configPath()), before);
    }

    void enabledState_data()
    {
        QTest::addColumn<bool>("filled");
        QTest::addColumn<bool>("withUpdater");
        QTest::addColumn<bool>("editionImage"); // the edition's icon image beside the updater
        QTest::newRow("empty registry") << false << false << false;
        QTest::newRow("filled registry") << true << false << false;
        QTest::newRow("updater's own row on top") << true << true << false;
        // Programs without an icon of their own that the system can show
        // (here: executables are no icons) show the edition's image.
        QTest::newRow("rows without an icon of their own show the edition's image") << true << true << true;
    }

    void enabledState()
    {
        QFETCH(bool, filled);
        QFETCH(bool, withUpdater);
        QFETCH(bool, editionImage);
        QImage mark(16, 16, QImage::Format_ARGB32);
        mark.fill(QColor(200, 20, 20));
        if (editionImage)
            QVERIFY(mark.save(editionIconPath()));
        const auto removeImage = qScopeGuard([] { QFile::remove(editionIconPath()); });
        QJsonObject registry = filledRegistry();
        if (withUpdater) {
            QJsonArray programms = registry.value(QStringLiteral("programms")).toArray();
            programms.prepend(QJsonObject{{QStringLiteral("programm_name"), editionKey()},
                                          {QStringLiteral("display_name"), QStringLiteral("Программа обновления")}});
            registry.insert(QStringLiteral("programms"), programms);
        }
        QVERIFY(filled ? world.writeRegistry(registry) : world.removeRegistry());
        MainWindow window;
        window.refreshAndShow();
        // Escape, pressed to close a menu, leaves the updater running.
        QTest::keyClick(&window, Qt::Key_Escape);
        QVERIFY(window.isVisible());
        QVERIFY(button(window, "refreshMirrorsButton")->isHidden()); // no mirror is configured
        QCOMPARE(tree(window)->topLevelItemCount(), filled ? 2 + int(withUpdater) : 0);
        for (int i = 0; i < tree(window)->topLevelItemCount(); ++i) {
            const QIcon icon = tree(window)->topLevelItem(i)->icon(0);
            QCOMPARE(!icon.isNull() && icon.pixmap(16).toImage().convertToFormat(QImage::Format_ARGB32) == mark,
                     editionImage);
        }
        const auto check = [&window](bool current) {
            for (const char *name : {"runButton", "removeButton", "createLabelButton"})
                QCOMPARE(button(window, name)->isEnabled(), current);
            for (const char *name : {"runProgrammAction", "createDesctopLinkAction", "createStartMenuLinkAction",
                                     "createQuickLauchLinkAction"})
                QCOMPARE(action(window, name)->isEnabled(), current);
            for (const char *name : {"editButton", "refreshButton", "settingsButton"})
                QVERIFY(button(window, name)->isEnabled());
        };
        check(false); // no row is current at start
        if (!filled)
            return;
        if (withUpdater) { // a second updater is never started from its row
            tree(window)->setCurrentItem(findTreeRow(tree(window), editionKey()));
            QVERIFY(!button(window, "runButton")->isEnabled());
            QVERIFY(!action(window, "runProgrammAction")->isEnabled());
            QVERIFY(button(window, "removeButton")->isEnabled());
        }
        tree(window)->setCurrentItem(findTreeRow(tree(window), QStringLiteral("kestra_lab"), QStringLiteral("lab_core")));
        check(true);
        tree(window)->setCurrentItem(nullptr);
        check(false);
        // The rows carry what the registry says; the nameless entry is left out.
        QTreeWidgetItem *lab = findTreeRow(tree(window), QStringLiteral("kestra_lab"));
        QCOMPARE(QStringList({lab->text(0), lab->text(2), lab->text(3)}),
                 QStringList({QStringLiteral("Лаборатория"), QStringLiteral("project"), QStringLiteral("lab")}));
        QCOMPARE(lab->child(1)->text(0), QStringLiteral("Настройки лаборатории"));
        if (!withUpdater)
            QCOMPARE(window.installedProgramms(),
                     (QMap<QString, QStringList>{{"kestra_lab", {"lab_core", "lab_config"}}, {"kestra_reg", {"reg_core"}}}));
    }

    void run_data()
    {
        QTest::addColumn<QString>("executable");
        QTest::newRow("missing executable is an error box") << "missing_lab";
        // Both clicks of a double click on "Запустить" start it once.
        QTest::newRow("double click on the row and on the button start once each") << "lab";
    }

    void run()
    {
        QFETCH(QString, executable);
        // A real program: it records its working folder.
        const QString marker = world.root() + QStringLiteral("/started.txt");
        QFile::remove(marker);
        const QString script = world.root() + QStringLiteral("/kestra_lab/lab");
        QVERIFY(writeFile(script, QStringLiteral("#!/bin/sh\npwd >> '%1'\n").arg(marker).toUtf8()));
        QVERIFY(QFile::setPermissions(script, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
        QVERIFY(world.writeRegistry(filledRegistry(executable)));
        const bool missing = executable != QLatin1String("lab");
        MainWindow window;
        showWith(window, QStringLiteral("kestra_lab"), missing ? QStringLiteral("lab_config") : QString());
        ModalAnswerer answerer(20000);
        if (missing) {
            answerer.then(ModalAnswerer::clickBox(QMessageBox::Ok));
            button(window, "runButton")->click();
            QVERIFY(!answerer.timedOut());
            QCOMPARE(answerer.boxes(), QStringList{QStringLiteral("Ошибка|Ошибка при запуске программы kestra_lab")});
            QCOMPARE(answerer.seen().first().icon, int(QMessageBox::Critical));
            return;
        }
        emit tree(window)->itemDoubleClicked(tree(window)->currentItem(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(readFile(marker).count('\n'), 1, 10000);
        QCOMPARE(QString::fromUtf8(readFile(marker)).trimmed(), world.root() + QStringLiteral("/kestra_lab"));
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
        QTest::addColumn<QByteArray>("targetBefore"); // empty: no target file
        QTest::addColumn<QByteArray>("targetAfter");  // empty: still no target file
        QTest::addColumn<QString>("storedLevel");
        QTest::addColumn<bool>("blocked"); // a folder named form.xml: the copy fails and a box tells it
        const QByteArray level2("<schema level=\"2\"/>");
        const QByteArray base("<schema level=\"base\"/>");
        QTest::newRow("level 0 copies nothing") << "0" << "lab_config" << base << base << "0" << false;
        QTest::newRow("empty level copies nothing") << "" << "lab_config" << base << base << "" << false;
        QTest::newRow("level 2, same hash, left alone") << "2" << "lab_config" << level2 << level2 << "2" << false;
        QTest::newRow("level 2, different hash, replaced") << "2" << "lab_config" << base << level2 << "2" << false;
        QTest::newRow("level 2, no target, copied") << "2" << "lab_config" << QByteArray() << level2 << "2" << false;
        // Only the file name loses the level suffix, not the folder's "_2".
        QTest::newRow("level text in the folder name does not redirect")
            << "2" << "forms_2" << QByteArray() << level2 << "2" << false;
        QTest::newRow("level 2, target a folder: told, folder kept")
            << "2" << "lab_config" << QByteArray() << QByteArray() << "2" << true;
    }

    void configLevels()
    {
        QFETCH(QString, level);
        QFETCH(QString, folder);
        QFETCH(QByteArray, targetBefore);
        QFETCH(QByteArray, targetAfter);
        QFETCH(QString, storedLevel);
        QFETCH(bool, blocked);
        ModuleSpec plugin = module("lab_config");
        if (folder != plugin.name) {
            plugin.name = folder;
            plugin.type = QStringLiteral("plugin");
        }
        QVERIFY(world.writeRegistry(filledRegistry(QStringLiteral("lab"), plugin)));
        const QString schema = world.root() + QLatin1Char('/') + folder + QStringLiteral("/schema");
        QDir(schema).removeRecursively();
        QVERIFY(writeFile(schema + QStringLiteral("/form_2.xml"), "<schema level=\"2\"/>"));
        QVERIFY(writeFile(schema + QStringLiteral("/other_3.xml"), "<schema level=\"3\"/>"));
        if (!targetBefore.isEmpty())
            QVERIFY(writeFile(schema + QStringLiteral("/form.xml"), targetBefore));
        if (blocked)
            QVERIFY(QDir().mkpath(schema + QStringLiteral("/form.xml")));
        const QDateTime before = QFileInfo(schema + QStringLiteral("/form.xml")).lastModified();
        Settings::instance()->setValue(QStringLiteral("config"), QStringLiteral("level"), level);
        const auto reset = qScopeGuard(
            [] { Settings::instance()->setValue(QStringLiteral("config"), QStringLiteral("level"), QStringLiteral("0")); });

        MainWindow window;
        ModalAnswerer answerer(20000);
        if (blocked)
            answerer.then(ModalAnswerer::clickBox(QMessageBox::Ok));
        QTest::qWait(20); // distinct modification times
        window.applyConfigLevel(QStringLiteral("kestra_lab"));
        QCOMPARE(answerer.boxes(), blocked ? QStringList{QStringLiteral("Ошибка|Ошибка копирования файла конфигурации")}
                                           : QStringList());
        QCOMPARE(QFileInfo(schema + QStringLiteral("/form.xml")).isDir(), blocked);
        if (!blocked)
            QCOMPARE(readFile(schema + QStringLiteral("/form.xml")), targetAfter);
        QCOMPARE(QFileInfo::exists(schema + QStringLiteral("/form.xml")), !targetAfter.isEmpty() || blocked);
        if (targetBefore == targetAfter && !targetAfter.isEmpty())
            QCOMPARE(QFileInfo(schema + QStringLiteral("/form.xml")).lastModified(), before);
        QVERIFY(!QFileInfo::exists(schema + QStringLiteral("/other.xml")));
        QVERIFY(!QFileInfo::exists(world.root() + QStringLiteral("/forms/schema/form.xml")));
        QCOMPARE(Settings::instance()->value(QStringLiteral("config"), QStringLiteral("level")).toString(), storedLevel);
        // Other programs are not touched when a name is given.
        QVERIFY(!QFileInfo::exists(world.root() + QStringLiteral("/reg_core/schema")));
    }

    void shortcutChoices_data()
    {
        QTest::addColumn<int>("choice");     // -1: cancel the choice
        QTest::addColumn<QString>("folder"); // for the fourth choice; empty: cancel the folder dialog
        QTest::addColumn<QString>("nameInLink"); // empty: no shortcut made
        QTest::newRow("choice cancelled") << -1 << QString() << QString();
        QTest::newRow("desktop") << 0 << QString() << QStringLiteral("Desktop/Лаборатория");
        QTest::newRow("quick launch") << 1 << QString() << QStringLiteral("Лаборатория");
        QTest::newRow("start menu") << 2 << QString() << QStringLiteral("Лаборатория");
        QTest::newRow("configuration, folder dialog cancelled") << 3 << QString() << QString();
        QTest::newRow("configuration folder") << 3 << QStringLiteral("Поликлиника 2")
                                              << QStringLiteral("Desktop/Лаборатория (Поликлиника 2)");
    }

    void shortcutChoices()
    {
        QFETCH(int, choice);
        QFETCH(QString, folder);
        QFETCH(QString, nameInLink);
        QVERIFY(world.writeRegistry(filledRegistry()));
        QDir(home()).removeRecursively();
        QDir().mkpath(home() + QStringLiteral("/Desktop"));
        const QString configFolder = world.root() + QStringLiteral("/configs/") + folder;
        QVERIFY(QDir().mkpath(configFolder));

        MainWindow window;
        showWith(window, QStringLiteral("kestra_lab"));
        QStringList offered;
        int boxWidth = 0;
        int titleWidth = 0;
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
                QMetaObject::invokeMethod(files, folder.isEmpty() ? "reject" : "accept");
                return true;
            });
        }
        if (!nameInLink.isEmpty()) {
            answerer.then([&](QWidget *w) {
                boxWidth = w->width();
                titleWidth = w->fontMetrics().horizontalAdvance(w->windowTitle());
                return ModalAnswerer::clickBox(QMessageBox::Ok, QStringLiteral("Создание ярлыка"))(w);
            });
        }
        button(window, "createLabelButton")->click();
        QTRY_VERIFY_WITH_TIMEOUT(answerer.allAnswered() || answerer.timedOut(), 30000);
        QVERIFY(!answerer.timedOut());

        QCOMPARE(offered, QStringList({QStringLiteral("На рабочем столе"), QStringLiteral("В быстром запуске"),
                                       QStringLiteral("В меню пуск"),
                                       QStringLiteral("На рабочем столе на произвольную конфигурацию")}));
        QStringList links = listFilesRecursive(home()).filter(QRegularExpression(QStringLiteral("^(?!\\.config/)")));
        if (nameInLink.isEmpty()) {
            QVERIFY2(links.isEmpty(), qPrintable(links.join(QLatin1Char(','))));
            QVERIFY(answerer.boxes().isEmpty());
            return;
        }
        QCOMPARE(answerer.boxes(), QStringList{QStringLiteral("Создание ярлыка|Ярлык создан")});
        // The box is wider than its title, with room for the title bar's buttons.
        QVERIFY2(boxWidth >= titleWidth + 96, qPrintable(QStringLiteral("%1 %2").arg(boxWidth).arg(titleWidth)));
        QCOMPARE(links.size(), 1);
        QVERIFY2(links.first().contains(nameInLink), qPrintable(links.first()));
        const QString content = QString::fromUtf8(readFile(home() + QLatin1Char('/') + links.first()));
        QVERIFY2(content.contains(QStringLiteral("kestra_lab")), qPrintable(content));
        if (!folder.isEmpty())
            QVERIFY2(content.contains(QStringLiteral("--config_path")), qPrintable(content));
    }
};

KESTRA_GUI_TEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
