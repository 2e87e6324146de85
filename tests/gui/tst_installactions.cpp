// The four install actions of the main window, end to end: the selection
// dialog, real install threads against a folder server built with
// packwright, real running processes and real mirror folders.
#include "editprogrammsdialog.h"
#include "guitest.h"
#include "installdialog.h"
#include "mainwindow.h"
#include "messagecapture.h"
#include "settings.h"
#include "testfiles.h"
#include "testprocess.h"

#include <QJsonArray>
#include <QPushButton>
#include <QSettings>
#include <QTreeWidget>

namespace {

const QString kLabGuid = QStringLiteral("15e5bfdc-78cf-4062-82db-79841f6069b0");
const QString kRegGuid = QStringLiteral("5b4a3c2d-1e0f-4a9b-8c7d-6e5f4a3b2c1d");

QTreeWidget *tree(QWidget *window, const char *name)
{
    return window->findChild<QTreeWidget *>(QLatin1String(name));
}

// Registry as program name -> plugin names (sorted).
QMap<QString, QStringList> registry()
{
    QMap<QString, QStringList> result;
    const QJsonArray programms =
        Settings::instance()->installedConfig().value(QStringLiteral("programms")).toArray();
    for (const QJsonValue &value : programms) {
        const QJsonObject programm = value.toObject();
        QStringList plugins;
        for (const QJsonValue &plugin : programm.value(QStringLiteral("plugins")).toArray())
            plugins.append(plugin.toObject().value(QStringLiteral("plugin_name")).toString());
        plugins.sort();
        result.insert(programm.value(QStringLiteral("programm_name")).toString(), plugins);
    }
    return result;
}

// The selection dialog step: set the wanted ticks (as "programm" or
// "programm/plugin"), then press "Ок".
ModalAnswerer::Step choose(const QStringList &tick, const QStringList &untick)
{
    return [tick, untick](QWidget *w) {
        if (!qobject_cast<EditProgrammsDialog *>(w))
            return false;
        QTreeWidget *t = tree(w, "programmWidget");
        const auto set = [t](const QString &path, Qt::CheckState state) {
            const QStringList parts = path.split(QLatin1Char('/'));
            if (QTreeWidgetItem *item = findTreeRow(t, parts.at(0), parts.value(1)))
                item->setCheckState(0, state);
        };
        for (const QString &path : tick)
            set(path, Qt::Checked);
        for (const QString &path : untick)
            set(path, Qt::Unchecked);
        w->findChild<QPushButton *>(QStringLiteral("okButton"))->click();
        return true;
    };
}

// The main window as start-up shows it, before any answerer watches.
struct ShownWindow : MainWindow
{
    ShownWindow() { refreshAndShow(); }
};

} // namespace

class TestInstallActions : public QObject
{
    Q_OBJECT

    UpdaterWorld world;
    QList<ModuleSpec> modules;
    TestProcess labProcess;
    TestProcess regProcess;

    QString path(const QString &relative) const { return world.root() + QLatin1Char('/') + relative; }

    // Replaces an installed program's executable with a real long-running
    // binary and starts it from there, as a user would have it open.
    void startInstalled(TestProcess &process, const QString &programm, const QString &executable)
    {
        const QString target = path(programm + QLatin1Char('/') + executable);
        QFile::remove(target);
        QVERIFY(QFile::copy(QStringLiteral("/bin/sleep"), target));
        QVERIFY(QFile::setPermissions(target, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
        QString error;
        QVERIFY2(process.start(target, {QStringLiteral("120")}, &error, path(programm)), qPrintable(error));
    }

    // Presses a button and lets the answerer run its script.
    void press(MainWindow &window, const char *name, const ModalAnswerer &answerer)
    {
        window.findChild<QPushButton *>(QLatin1String(name))->click();
        QVERIFY(!answerer.timedOut());
    }

private slots:
    void initTestCase()
    {
        modules = UpdaterWorld::catalogue();
        QString error;
        QVERIFY2(world.publish(modules, &error), qPrintable(error));
        QVERIFY(world.writeConfig(UpdaterWorld::programmGuids(modules),
                                  QStringLiteral("[mirror1]\nmain_server_name=server1\nmirror_folder=%1/mirror1\n\n"
                                                 "[mirror2]\nmain_server_name=server1\nmirror_folder=%1/mirror2\n"
                                                 "programms_count=1\nprogramm_name1=kestra_reg\nprogramm_guid1=%2\n")
                                      .arg(world.root(), kRegGuid)));
        {
            QSettings ini(world.configPath(), QSettings::IniFormat);
            ini.setValue(QStringLiteral("mirrors_count"), 2);
        }
        QVERIFY(world.removeRegistry());
        world.load();
        QCOMPARE(Settings::instance()->mirrors().size(), 2);
    }

    void refreshWithEmptyRegistry()
    {
        ShownWindow window;
        ModalAnswerer answerer(20000);
        answerer.then(ModalAnswerer::clickBox(QMessageBox::Ok));
        press(window, "refreshButton", answerer);
        QCOMPARE(answerer.boxes(), QStringList{QStringLiteral("Ошибка|Нет программ для обновления!")});
    }

    void installTwoProgrammsThroughSelection()
    {
        ShownWindow window;
        QString log;
        ModalAnswerer answerer(120000);
        answerer.then(choose({"kestra_lab", "kestra_lab/lab_reports", "kestra_reg"}, {}))
            .then(ModalAnswerer::closeInstallDialogWhenDone(&log));
        press(window, "editButton", answerer);
        QVERIFY(answerer.allAnswered());
        QVERIFY2(!log.contains(QStringLiteral("Ошибка")), qPrintable(log));

        const QMap<QString, QStringList> installed = registry();
        QCOMPARE(installed.value(QStringLiteral("kestra_lab")),
                 QStringList({"lab_config", "lab_core", "lab_reports"}));
        QCOMPARE(installed.value(QStringLiteral("kestra_reg")), QStringList{"reg_core"});
        QVERIFY(installed.contains(QStringLiteral("kestraupd")));
        for (const char *file : {"lab_core/core.dll", "lab_reports/reports.dll", "kestra_reg/reg"})
            QVERIFY2(QFileInfo::exists(path(QLatin1String(file))), file);
        QVERIFY(!QFileInfo::exists(path(QStringLiteral("reg_print"))));
        // The updater's own program is assembled beside the running one.
        QVERIFY(QFileInfo::exists(path(QStringLiteral("updater_temp/kestraupd"))));
        // The tree was refilled from the registry.
        QVERIFY(findTreeRow(tree(&window, "programmsWidget"), QStringLiteral("kestra_reg"), QStringLiteral("reg_core")));
        QCOMPARE(window.installedProgramms().value(QStringLiteral("kestra_reg")), QStringList{"reg_core"});
    }

    void removeOnePlugin()
    {
        ShownWindow window;
        ModalAnswerer answerer(120000);
        answerer.then(choose({}, {"kestra_lab/lab_reports"})).then(ModalAnswerer::closeInstallDialogWhenDone());
        press(window, "editButton", answerer);
        QCOMPARE(registry().value(QStringLiteral("kestra_lab")), QStringList({"lab_config", "lab_core"}));
        QVERIFY(registry().contains(QStringLiteral("kestra_reg")));
        QVERIFY(!QFileInfo::exists(path(QStringLiteral("lab_reports/reports.dll"))));
        QVERIFY(QFileInfo::exists(path(QStringLiteral("lab_core/core.dll"))));
        QVERIFY(!findTreeRow(tree(&window, "programmsWidget"), QStringLiteral("kestra_lab"), QStringLiteral("lab_reports")));
    }

    void selectionRejectedDoesNothing()
    {
        const QMap<QString, QStringList> before = registry();
        ShownWindow window;
        ModalAnswerer answerer(20000);
        answerer.then([](QWidget *w) {
            auto *dialog = qobject_cast<EditProgrammsDialog *>(w);
            if (dialog)
                dialog->reject();
            return dialog != nullptr;
        });
        press(window, "editButton", answerer);
        QCOMPARE(registry(), before);
        QVERIFY(!answerer.sawClass("InstallDialog"));
    }

    void runningProgrammUnknownToTableIsOnlyLogged()
    {
        // The table of installed programs is the one loaded at start (empty
        // then): a running program it lacks is logged, not listed.
        startInstalled(labProcess, QStringLiteral("kestra_lab"), QStringLiteral("lab"));
        QVERIFY(Settings::instance()->installedProgramms().isEmpty());
        ShownWindow window;
        MessageCapture capture;
        ModalAnswerer answerer(120000);
        answerer.then(ModalAnswerer::closeInstallDialogWhenDone());
        press(window, "refreshButton", answerer);
        QVERIFY(answerer.boxes().isEmpty());
        QVERIFY(capture.contains(QtWarningMsg, QStringLiteral("\"Не найдена установленная программа kestra_lab\"")));
        labProcess.stop();
    }

    void refreshSkipsRunningProgramm()
    {
        // New releases of both programs on the server.
        for (const QString &name : {QStringLiteral("kestra_lab"), QStringLiteral("kestra_reg")}) {
            ModuleSpec module = UpdaterWorld::find(modules, name);
            module.files.insert(QStringLiteral("readme.txt"), QByteArray("release 2 of ") + name.toUtf8());
            QString error;
            QVERIFY2(world.buildPack(module, &error), qPrintable(error));
        }
        startInstalled(labProcess, QStringLiteral("kestra_lab"), QStringLiteral("lab"));
        Settings::instance()->loadInstalledProgramms(); // as at the next start

        ShownWindow window;
        ModalAnswerer answerer(120000);
        answerer.then(ModalAnswerer::clickBox(QMessageBox::Ok, QStringLiteral("Запущенные программы")))
            .then(ModalAnswerer::closeInstallDialogWhenDone());
        press(window, "refreshButton", answerer);
        QCOMPARE(answerer.boxes(),
                 QStringList{QStringLiteral("Запущенные программы|Найдены запущенные программы: \nЛаборатория\n\n"
                                            "Они не будут обновлены!")});
        QCOMPARE(answerer.seen().first().icon, int(QMessageBox::Warning));
        // The running program kept its files, the other one was updated.
        QVERIFY(!QFileInfo::exists(path(QStringLiteral("kestra_lab/readme.txt")))
                || readFile(path(QStringLiteral("kestra_lab/readme.txt"))) != "release 2 of kestra_lab");
        QCOMPARE(readFile(path(QStringLiteral("kestra_reg/readme.txt"))), QByteArray("release 2 of kestra_reg"));
        QVERIFY(labProcess.isRunning());
    }

    void refreshWithEverythingRunning()
    {
        startInstalled(regProcess, QStringLiteral("kestra_reg"), QStringLiteral("reg"));
        ShownWindow window;
        ModalAnswerer answerer(20000);
        answerer.then(ModalAnswerer::clickBox(QMessageBox::Ok, QStringLiteral("Запущенные программы")))
            .then(ModalAnswerer::clickBox(QMessageBox::Ok, QStringLiteral("Ошибка")));
        press(window, "refreshButton", answerer);
        QCOMPARE(answerer.boxes(),
                 QStringList({QStringLiteral("Запущенные программы|Найдены запущенные программы: \nЛаборатория\n"
                                             "Регистратура\n\nОни не будут обновлены!"),
                              QStringLiteral("Ошибка|Нет программ для обновления!")}));
        QVERIFY(!answerer.sawClass("InstallDialog"));
        labProcess.stop();
        regProcess.stop();
    }

    void removeProgramm_data()
    {
        QTest::addColumn<QString>("programm");
        QTest::addColumn<QString>("plugin");
        QTest::addColumn<int>("answer"); // 0: no question expected
        QTest::addColumn<QStringList>("boxes");
        QTest::addColumn<bool>("removed");
        QTest::newRow("the updater itself is refused")
            << "kestraupd" << "" << 0
            << QStringList{QStringLiteral("Ошибка|Нельзя удалять программу для обновлений!!!")} << false;
        QTest::newRow("answer no") << "kestra_reg" << "" << int(QMessageBox::No)
                                   << QStringList{QStringLiteral("Удаление|Вы действительно хотите удалить программу Регистратура")}
                                   << false;
        QTest::newRow("plugin row stands for its program, answer yes")
            << "kestra_reg" << "reg_core" << int(QMessageBox::Yes)
            << QStringList{QStringLiteral("Удаление|Вы действительно хотите удалить программу Регистратура")} << true;
    }

    void removeProgramm()
    {
        QFETCH(QString, programm);
        QFETCH(QString, plugin);
        QFETCH(int, answer);
        QFETCH(QStringList, boxes);
        QFETCH(bool, removed);
        ShownWindow window;
        QTreeWidgetItem *row = findTreeRow(tree(&window, "programmsWidget"), programm, plugin);
        QVERIFY(row);
        tree(&window, "programmsWidget")->setCurrentItem(row);
        ModalAnswerer answerer(120000);
        if (answer == 0)
            answerer.then(ModalAnswerer::clickBox(QMessageBox::Ok));
        else
            answerer.then(ModalAnswerer::clickBox(answer, QStringLiteral("Удаление")));
        if (removed)
            answerer.then(ModalAnswerer::closeInstallDialogWhenDone());
        press(window, "removeButton", answerer);
        QVERIFY(answerer.allAnswered());
        QCOMPARE(answerer.boxes(), boxes);
        QCOMPARE(registry().contains(programm), !removed);
        QCOMPARE(QFileInfo::exists(path(programm + QStringLiteral("/reg"))), !removed && programm == "kestra_reg");
        QCOMPARE(findTreeRow(tree(&window, "programmsWidget"), programm) == nullptr, removed);
    }

    void refreshTwoMirrors()
    {
        ShownWindow window;
        QVERIFY(!window.findChild<QPushButton *>(QStringLiteral("refreshMirrorsButton"))->isHidden());
        ModalAnswerer answerer(120000); // the dialogs close themselves
        press(window, "refreshMirrorsButton", answerer);
        QStringList titles;
        for (const SeenDialog &seen : answerer.seen())
            titles.append(seen.title);
        QCOMPARE(titles, QStringList({QStringLiteral("Обновляем зеркало server1"), QStringLiteral("Обновляем зеркало server1")})); // and no box
        // Mirror 1 holds every program of the server, mirror 2 only the
        // registry desk, each module in a folder named by its guid.
        QVERIFY(QFileInfo::exists(path(QStringLiteral("mirror1/mirror.xml"))));
        QVERIFY(QFileInfo::exists(path(QStringLiteral("mirror1/") + kLabGuid + QStringLiteral("/mirror_fileinfo.xml"))));
        QVERIFY(QFileInfo::exists(path(QStringLiteral("mirror1/") + kRegGuid + QStringLiteral("/mirror_fileinfo.xml"))));
        QVERIFY(QFileInfo::exists(path(QStringLiteral("mirror2/mirror.xml"))));
        QVERIFY(QFileInfo::exists(path(QStringLiteral("mirror2/") + kRegGuid + QStringLiteral("/reg"))));
        QVERIFY(!QFileInfo::exists(path(QStringLiteral("mirror2/") + kLabGuid)));
        // A mirror run never touches the registry.
        QVERIFY(!registry().contains(QStringLiteral("kestra_reg")));
    }

    void cleanupTestCase()
    {
        labProcess.stop();
        regProcess.stop();
    }
};

KESTRA_GUI_TEST_MAIN(TestInstallActions)
#include "tst_installactions.moc"
