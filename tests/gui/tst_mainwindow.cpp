// The main window against a real registry, real schema files, real program
// starts and real shortcut files in a private home folder.
#include "edition.h"
#include "guitest.h"
#include "launcher.h"
#include "mainwindow.h"
#include "modalanswerer.h"
#include "settings.h"
#include "testfiles.h"

#include <QAction>
#include <QApplication>
#include <QFileDialog>
#include <QImage>
#include <QInputDialog>
#include <QJsonArray>
#include <QMenu>
#include <QPushButton>
#include <QScopeGuard>
#include <QSettings>
#include <QTextCodec>
#include <QTreeWidget>

#include <algorithm>

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

// Files the shortcut code left in the private home (the file dialog's own
// settings excepted).
QStringList filesUnder(const QString &folder)
{
    QStringList files = listFilesRecursive(folder);
    files.erase(std::remove_if(files.begin(), files.end(),
                               [](const QString &file) { return file.startsWith(QLatin1String(".config/")); }),
                files.end());
    return files;
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

    UpdaterWorld world;
    QList<ModuleSpec> modules;

    QJsonObject filledRegistry(const QString &labExecutable = QStringLiteral("lab"))
    {
        ModuleSpec lab = UpdaterWorld::find(modules, QStringLiteral("kestra_lab"));
        lab.executeFilename = labExecutable;
        QJsonArray programms;
        programms.append(UpdaterWorld::programmEntry(
            lab, {UpdaterWorld::find(modules, QStringLiteral("lab_core")),
                  UpdaterWorld::find(modules, QStringLiteral("lab_config"))}));
        programms.append(UpdaterWorld::programmEntry(UpdaterWorld::find(modules, QStringLiteral("kestra_reg")),
                                                     {UpdaterWorld::find(modules, QStringLiteral("reg_core"))}));
        QJsonObject nameless;
        nameless.insert(QStringLiteral("display_name"), QStringLiteral("Без имени"));
        programms.append(nameless);
        return QJsonObject{{QStringLiteral("programms"), programms}};
    }

    QString home() const { return world.root() + QStringLiteral("/home"); }

    void selectProgramm(MainWindow &window, const QString &name, const QString &plugin = QString())
    {
        QTreeWidgetItem *item = findTreeRow(tree(window), name, plugin);
        QVERIFY2(item, qPrintable(QStringLiteral("no row ") + name + QLatin1Char('/') + plugin));
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

    void missingLevelLeavesConfigAsWritten()
    {
        QVERIFY(world.writeRegistry(filledRegistry()));
        QSettings ini(world.configPath(), QSettings::IniFormat);
        QVERIFY(!ini.contains(QStringLiteral("config/level")));
        const QByteArray before = readFile(world.configPath());
        MainWindow window;
        window.applyConfigLevel(QString());
        // A missing level is level "0": nothing to copy and nothing to write.
        QCOMPARE(readFile(world.configPath()), before);
    }

    void form()
    {
        MainWindow window;
        QCOMPARE(window.windowTitle(), QStringLiteral("Установка программ (1.0.0.25)"));
        for (const char *name : {"runButton", "editButton", "removeButton", "refreshButton", "createLabelButton",
                                 "refreshMirrorsButton", "settingsButton"}) {
            QVERIFY2(button(window, name), name);
            QVERIFY2(!button(window, name)->icon().isNull(), name); // the resource is there
        }
        QCOMPARE(button(window, "runButton")->text(), QStringLiteral("Запустить"));
        QCOMPARE(button(window, "createLabelButton")->text(), QStringLiteral("Создать ярлык"));
        QCOMPARE(action(window, "createQuickLauchLinkAction")->text(),
                 QStringLiteral("Создать ярлык в панели быстрого запуска"));
        QVERIFY(!action(window, "createDesctopLinkAction")->icon().isNull());
        // The menu can be asked for, and names cannot be edited in place.
        QCOMPARE(tree(window)->contextMenuPolicy(), Qt::CustomContextMenu);
        QCOMPARE(int(tree(window)->editTriggers()), int(QAbstractItemView::NoEditTriggers));
        // No mirror is configured.
        QVERIFY(button(window, "refreshMirrorsButton")->isHidden());
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
        if (filled)
            QVERIFY(world.writeRegistry(registry));
        else
            QVERIFY(world.removeRegistry());
        MainWindow window;
        window.refreshAndShow();
        // Escape, pressed to close a menu, leaves the updater running.
        QTest::keyClick(&window, Qt::Key_Escape);
        QVERIFY(window.isVisible());
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
        check(false);
        if (!filled)
            return;
        if (withUpdater) { // a second updater is never started from its row
            selectProgramm(window, editionKey());
            QVERIFY(!button(window, "runButton")->isEnabled());
            QVERIFY(!action(window, "runProgrammAction")->isEnabled());
            QVERIFY(button(window, "removeButton")->isEnabled());
        }
        selectProgramm(window, QStringLiteral("kestra_lab"), QStringLiteral("lab_core"));
        check(true);
        tree(window)->setCurrentItem(nullptr);
        check(false);
    }

    void treeColumns()
    {
        QVERIFY(world.writeRegistry(filledRegistry()));
        QVERIFY(writeFile(world.root() + QStringLiteral("/kestra_lab/lab"), "#!/bin/sh\n"));
        MainWindow window;
        window.refreshAndShow();
        QTreeWidget *t = tree(window);
        QCOMPARE(t->columnCount(), 4);
        QCOMPARE(t->headerItem()->text(0), QStringLiteral("Название"));
        QCOMPARE(t->headerItem()->text(1), QStringLiteral("Служебное название"));
        QCOMPARE(t->headerItem()->text(2), QStringLiteral("Тип конфигурации"));
        QCOMPARE(t->headerItem()->text(3), QStringLiteral("Исполняемый файл"));
        QVERIFY(!t->isColumnHidden(0));
        QVERIFY(t->isColumnHidden(1) && t->isColumnHidden(2) && t->isColumnHidden(3));
        QTreeWidgetItem *lab = t->topLevelItem(0);
        QCOMPARE(lab->text(0), QStringLiteral("Лаборатория"));
        QCOMPARE(lab->text(1), QStringLiteral("kestra_lab"));
        QCOMPARE(lab->text(2), QStringLiteral("project"));
        QCOMPARE(lab->text(3), QStringLiteral("lab"));
        QVERIFY(!lab->icon(0).isNull());
        QCOMPARE(lab->childCount(), 2);
        QCOMPARE(lab->child(1)->text(0), QStringLiteral("Настройки лаборатории"));
        QCOMPARE(lab->child(1)->text(1), QStringLiteral("lab_config"));
        QCOMPARE(lab->child(1)->text(2), QStringLiteral("config"));
        QCOMPARE(lab->child(1)->text(3), QString());
        QCOMPARE(t->topLevelItem(1)->text(1), QStringLiteral("kestra_reg"));
        QCOMPARE(window.installedProgramms(),
                 (QMap<QString, QStringList>{{"kestra_lab", {"lab_core", "lab_config"}}, {"kestra_reg", {"reg_core"}}}));
    }

    void runMissingExecutableShowsError()
    {
        QVERIFY(world.writeRegistry(filledRegistry(QStringLiteral("missing_lab"))));
        MainWindow window;
        window.refreshAndShow();
        selectProgramm(window, QStringLiteral("kestra_lab"), QStringLiteral("lab_config"));
        ModalAnswerer answerer(20000);
        answerer.then(ModalAnswerer::clickBox(QMessageBox::Ok));
        button(window, "runButton")->click();
        QVERIFY(!answerer.timedOut());
        QCOMPARE(answerer.boxes(), QStringList{QStringLiteral("Ошибка|Ошибка при запуске программы kestra_lab")});
        QCOMPARE(answerer.seen().first().icon, int(QMessageBox::Critical));
    }

    void runStartsTheProgramm()
    {
        // A real program: it records its working folder and arguments.
        const QString marker = world.root() + QStringLiteral("/started.txt");
        QFile::remove(marker);
        const QString script = world.root() + QStringLiteral("/kestra_lab/lab");
        QVERIFY(writeFile(script, QStringLiteral("#!/bin/sh\npwd >> '%1'\n").arg(marker).toUtf8()));
        QVERIFY(QFile::setPermissions(script, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
        QVERIFY(world.writeRegistry(filledRegistry()));
        MainWindow window;
        window.refreshAndShow();
        selectProgramm(window, QStringLiteral("kestra_lab"));
        ModalAnswerer answerer(20000);
        emit tree(window)->itemDoubleClicked(tree(window)->currentItem(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(marker) && QFileInfo(marker).size() > 0, 10000);
        QCOMPARE(QString::fromUtf8(readFile(marker)).trimmed(), world.root() + QStringLiteral("/kestra_lab"));
        // Both clicks of a double click on "Запустить": one more start only.
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
        QTest::addColumn<QByteArray>("targetBefore"); // empty: no target file
        QTest::addColumn<QByteArray>("targetAfter");  // empty: still no target file
        QTest::addColumn<QString>("storedLevel");
        const QByteArray level2("<schema level=\"2\"/>");
        const QByteArray base("<schema level=\"base\"/>");
        QTest::newRow("level 0 copies nothing") << "0" << base << base << "0";
        QTest::newRow("empty level copies nothing") << "" << base << base << "";
        QTest::newRow("level 2, same hash, left alone") << "2" << level2 << level2 << "2";
        QTest::newRow("level 2, different hash, replaced") << "2" << base << level2 << "2";
        QTest::newRow("level 2, no target, copied") << "2" << QByteArray() << level2 << "2";
    }

    void configLevels()
    {
        QFETCH(QString, level);
        QFETCH(QByteArray, targetBefore);
        QFETCH(QByteArray, targetAfter);
        QFETCH(QString, storedLevel);
        QVERIFY(world.writeRegistry(filledRegistry()));
        const QString schema = world.root() + QStringLiteral("/lab_config/schema");
        QDir(schema).removeRecursively();
        QVERIFY(writeFile(schema + QStringLiteral("/form_2.xml"), "<schema level=\"2\"/>"));
        QVERIFY(writeFile(schema + QStringLiteral("/other_3.xml"), "<schema level=\"3\"/>"));
        if (!targetBefore.isEmpty())
            QVERIFY(writeFile(schema + QStringLiteral("/form.xml"), targetBefore));
        const QDateTime before = QFileInfo(schema + QStringLiteral("/form.xml")).lastModified();
        Settings::instance()->setValue(QStringLiteral("config"), QStringLiteral("level"), level);

        MainWindow window;
        ModalAnswerer answerer(20000);
        QTest::qWait(20); // distinct modification times
        window.applyConfigLevel(QStringLiteral("kestra_lab"));
        QVERIFY(answerer.boxes().isEmpty());
        if (targetAfter.isEmpty())
            QVERIFY(!QFileInfo::exists(schema + QStringLiteral("/form.xml")));
        else
            QCOMPARE(readFile(schema + QStringLiteral("/form.xml")), targetAfter);
        if (QTest::currentDataTag() == QLatin1String("level 2, same hash, left alone"))
            QCOMPARE(QFileInfo(schema + QStringLiteral("/form.xml")).lastModified(), before);
        QVERIFY(!QFileInfo::exists(schema + QStringLiteral("/other.xml")));
        QCOMPARE(Settings::instance()->value(QStringLiteral("config"), QStringLiteral("level")).toString(), storedLevel);
        // Other programs are not touched when a name is given.
        QVERIFY(!QFileInfo::exists(world.root() + QStringLiteral("/reg_core/schema")));
    }

    void levelTextInFolderNameDoesNotRedirect()
    {
        // A plugin folder whose own name holds "_2": only the file name
        // loses the level suffix.
        ModuleSpec odd;
        odd.name = QStringLiteral("forms_2");
        odd.ruName = QStringLiteral("Формы");
        odd.type = QStringLiteral("plugin");
        ModuleSpec lab = UpdaterWorld::find(modules, QStringLiteral("kestra_lab"));
        QJsonArray programms;
        programms.append(UpdaterWorld::programmEntry(lab, {odd}));
        QVERIFY(world.writeRegistry(QJsonObject{{QStringLiteral("programms"), programms}}));
        const QString schema = world.root() + QStringLiteral("/forms_2/schema");
        QVERIFY(writeFile(schema + QStringLiteral("/card_2.xml"), "card level 2"));
        Settings::instance()->setValue(QStringLiteral("config"), QStringLiteral("level"), QStringLiteral("2"));
        MainWindow window;
        ModalAnswerer answerer(20000);
        window.applyConfigLevel(QString());
        QVERIFY(answerer.boxes().isEmpty());
        QCOMPARE(readFile(schema + QStringLiteral("/card.xml")), QByteArray("card level 2"));
        QVERIFY(!QFileInfo::exists(world.root() + QStringLiteral("/forms/schema/card.xml")));
        Settings::instance()->setValue(QStringLiteral("config"), QStringLiteral("level"), QStringLiteral("0"));
    }

    void shortcutChoices_data()
    {
        QTest::addColumn<int>("choice"); // -1: cancel the choice
        QTest::addColumn<QString>("folder"); // for the fourth choice; empty: cancel the folder dialog
        QTest::addColumn<bool>("created");
        QTest::addColumn<QString>("nameInLink");
        QTest::newRow("choice cancelled") << -1 << QString() << false << QString();
        QTest::newRow("desktop") << 0 << QString() << true << QStringLiteral("Лаборатория");
        QTest::newRow("quick launch") << 1 << QString() << true << QStringLiteral("Лаборатория");
        QTest::newRow("start menu") << 2 << QString() << true << QStringLiteral("Лаборатория");
        QTest::newRow("configuration, folder dialog cancelled") << 3 << QString() << false << QString();
        QTest::newRow("configuration folder") << 3 << QStringLiteral("Поликлиника 2") << true
                                              << QStringLiteral("Лаборатория (Поликлиника 2)");
    }

    void shortcutChoices()
    {
        QFETCH(int, choice);
        QFETCH(QString, folder);
        QFETCH(bool, created);
        QFETCH(QString, nameInLink);
        QVERIFY(world.writeRegistry(filledRegistry()));
        QDir(home()).removeRecursively();
        QDir().mkpath(home() + QStringLiteral("/Desktop"));
        const QString configFolder = world.root() + QStringLiteral("/configs/") + folder;
        if (!folder.isEmpty())
            QVERIFY(QDir().mkpath(configFolder));

        MainWindow window;
        window.refreshAndShow();
        selectProgramm(window, QStringLiteral("kestra_lab"));
        QStringList offered;
        ModalAnswerer answerer(30000);
        answerer.then([&](QWidget *w) {
            auto *input = qobject_cast<QInputDialog *>(w);
            if (!input)
                return false;
            offered = input->comboBoxItems();
            if (choice < 0) {
                input->reject();
            } else {
                input->setTextValue(offered.value(choice));
                input->accept();
            }
            return true;
        });
        if (choice == 3) {
            answerer.then([&](QWidget *w) {
                auto *files = qobject_cast<QFileDialog *>(w);
                if (!files)
                    return false;
                if (folder.isEmpty()) {
                    files->reject();
                } else {
                    files->setDirectory(configFolder);
                    QMetaObject::invokeMethod(files, "accept");
                }
                return true;
            });
        }
        int boxWidth = 0;
        int titleWidth = 0;
        if (created) {
            answerer.then([&](QWidget *w) {
                auto *box = qobject_cast<QMessageBox *>(w);
                if (!box || box->windowTitle() != QStringLiteral("Создание ярлыка"))
                    return false;
                boxWidth = box->width();
                titleWidth = box->fontMetrics().horizontalAdvance(box->windowTitle());
                return ModalAnswerer::clickBox(QMessageBox::Ok)(w);
            });
        }
        button(window, "createLabelButton")->click();
        QTRY_VERIFY_WITH_TIMEOUT(answerer.allAnswered() || answerer.timedOut(), 30000);
        QVERIFY(!answerer.timedOut());

        QCOMPARE(offered, QStringList({QStringLiteral("На рабочем столе"), QStringLiteral("В быстром запуске"),
                                       QStringLiteral("В меню пуск"),
                                       QStringLiteral("На рабочем столе на произвольную конфигурацию")}));
        const QStringList links = filesUnder(home());
        if (!created) {
            QVERIFY2(links.isEmpty(), qPrintable(links.join(QLatin1Char(','))));
            QVERIFY(answerer.boxes().isEmpty());
            return;
        }
        QCOMPARE(answerer.boxes(), QStringList{QStringLiteral("Создание ярлыка|Ярлык создан")});
        // The box is wider than its title, with room for the title bar's buttons.
        QVERIFY2(boxWidth >= titleWidth + 96, qPrintable(QStringLiteral("%1 %2").arg(boxWidth).arg(titleWidth)));
        QCOMPARE(links.size(), 1);
        const QString link = links.first();
        QVERIFY2(link.contains(nameInLink), qPrintable(link));
        const QString content = QString::fromUtf8(readFile(home() + QLatin1Char('/') + link));
        QVERIFY2(content.contains(QStringLiteral("kestra_lab")), qPrintable(content));
        if (!folder.isEmpty())
            QVERIFY2(content.contains(QStringLiteral("--config_path")), qPrintable(content));
        if (choice == 0 || choice == 3)
            QVERIFY2(link.startsWith(QStringLiteral("Desktop/")), qPrintable(link));
    }

    void contextMenuOffersRunAndDesktopLink()
    {
        QVERIFY(world.writeRegistry(filledRegistry()));
        MainWindow window;
        window.refreshAndShow();
        selectProgramm(window, QStringLiteral("kestra_reg"));
        QStringList texts;
        QTimer poll;
        connect(&poll, &QTimer::timeout, [&texts, &poll] {
            auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
            if (!menu)
                return;
            for (QAction *a : menu->actions())
                texts.append(a->isSeparator() ? QStringLiteral("-") : a->text());
            menu->close();
            poll.stop();
        });
        poll.start(20);
        QTimer::singleShot(10000, &poll, [] {
            if (QWidget *popup = QApplication::activePopupWidget())
                popup->close();
        });
        emit tree(window)->customContextMenuRequested(QPoint(5, 5));
        QCOMPARE(texts, QStringList({QStringLiteral("Запустить программу"), QStringLiteral("-"),
                                     QStringLiteral("Создать ярлык на рабочем столе")}));
    }

    void mirrorsButtonShownWithMirrors()
    {
        QVERIFY(world.writeConfig(UpdaterWorld::programmGuids(modules),
                                  QStringLiteral("[mirror1]\nmain_server_name=server1\nmirror_folder=%1/mirror\n")
                                      .arg(world.root())));
        {
            QSettings ini(world.configPath(), QSettings::IniFormat);
            ini.setValue(QStringLiteral("mirrors_count"), 1); // no group: the General section
        }
        world.load();
        QCOMPARE(Settings::instance()->mirrors().size(), 1);
        MainWindow window;
        QVERIFY(!button(window, "refreshMirrorsButton")->isHidden());
    }
};

KESTRA_GUI_TEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
