// The four install actions of the main window, end to end: the selection
// dialog, real install threads against a folder server built with
// packwright, real running processes and real mirror folders. The rows run
// in order, each on the installation the previous ones left.
#include "editprogrammsdialog.h"
#include "guitest.h"
#include "installdialog.h"
#include "mainwindow.h"
#include "testprocess.h"

#include <QJsonArray>
#include <QSettings>

namespace {

const QString kLabGuid = QStringLiteral("15e5bfdc-78cf-4062-82db-79841f6069b0");
const QString kRegGuid = QStringLiteral("5b4a3c2d-1e0f-4a9b-8c7d-6e5f4a3b2c1d");
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

// The selection dialog step: tick the rows (as "programm" or
// "programm/plugin"), then press "Ок" (reject: "Отмена").
ModalAnswerer::Step choose(const QStringList &tick, bool reject = false)
{
    return [=](QWidget *w) {
        auto *dialog = qobject_cast<EditProgrammsDialog *>(w);
        for (const QString &path : dialog ? tick : QStringList()) {
            if (QTreeWidgetItem *item = findTreeRow(tree(w, "programmWidget"), path))
                item->setCheckState(0, Qt::Checked);
        }
        if (dialog)
            child(w, reject ? QStringLiteral("cancelButton") : QStringLiteral("okButton"))->click();
        return dialog != nullptr;
    };
}

const ModalAnswerer::Step kDone = ModalAnswerer::closeInstallDialogWhenDone();

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

    // Presses a button and lets the answerer run its script to its end.
    void press(MainWindow &window, const char *name, const ModalAnswerer &answerer)
    {
        child(&window, QLatin1String(name))->click();
        QVERIFY(!answerer.timedOut() && answerer.allAnswered());
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
        QSettings(world.configPath(), QSettings::IniFormat).setValue(QStringLiteral("mirrors_count"), 2);
        QVERIFY(world.removeRegistry());
        world.load();
        QCOMPARE(Settings::instance()->mirrors().size(), 2);
    }

    void refreshWithEmptyRegistrySelectionRejected()
    {
        ShownWindow window;
        ModalAnswerer answerer(20000);
        press(window, "refreshButton", answerer.then(ModalAnswerer::clickBox(QMessageBox::Ok)));
        QCOMPARE(answerer.boxes(), QStringList{QStringLiteral("Ошибка|Нет программ для обновления!")});
        // A rejected selection installs nothing, not even the updater's own program.
        press(window, "editButton", answerer.then(choose({"kestra_reg/reg_print"}, true)));
        QCOMPARE(answerer.seen().size(), 2); // the box and the selection, answered by choose()
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
        // The tree was refilled from the registry.
        QVERIFY(findTreeRow(tree(&window), QStringLiteral("kestra_reg/reg_core")));
    }

    void refreshSkipsRunningProgramm()
    {
        // New releases of both programs on the server.
        QString error;
        for (const QString &name : {QStringLiteral("kestra_lab"), QStringLiteral("kestra_reg")}) {
            ModuleSpec module = UpdaterWorld::find(modules, name);
            module.files.insert(QStringLiteral("readme.txt"), "release 2 of " + name.toUtf8());
            QVERIFY2(world.buildPack(module, &error), qPrintable(error));
        }
        // A real long-running binary in place of the laboratory's executable,
        // started from there, as a user would have it open.
        const QString lab = world.path(QStringLiteral("kestra_lab/lab"));
        QVERIFY(QFile::remove(lab) && QFile::copy(QStringLiteral("/bin/sleep"), lab));
        QVERIFY2(labProcess.start(lab, {QStringLiteral("120")}, &error, world.path(QStringLiteral("kestra_lab"))),
                 qPrintable(error));
        Settings::instance()->loadInstalledProgramms(); // as at the next start
        ShownWindow window;
        ModalAnswerer answerer(120000);
        press(window, "refreshButton", answerer.then(ModalAnswerer::clickBox(QMessageBox::Ok, kRunning)).then(kDone));
        QCOMPARE(answerer.boxes(), QStringList{kRunning + "|Найдены запущенные программы: \nЛаборатория\n\nОни не будут обновлены!"});
        QCOMPARE(answerer.seen().first().icon, int(QMessageBox::Warning));
        // The running program kept its files, the other one was updated.
        QVERIFY(readFile(world.path(QStringLiteral("kestra_lab/readme.txt"))) != "release 2 of kestra_lab");
        QCOMPARE(readFile(world.path(QStringLiteral("kestra_reg/readme.txt"))), QByteArray("release 2 of kestra_reg"));
        QVERIFY(labProcess.isRunning());
        labProcess.stop();
    }

    void removeProgramm_data()
    {
        QTest::addColumn<QString>("row");
        QTest::addColumn<int>("answer"); // 0: no question expected
        QTest::addColumn<QString>("box");
        const QString question = QStringLiteral("Удаление|Вы действительно хотите удалить программу Регистратура");
        QTest::newRow("the updater itself is refused") << "kestraupd" << 0 << "Ошибка|Нельзя удалять программу для обновлений!!!";
        QTest::newRow("answer no") << "kestra_reg" << int(QMessageBox::No) << question;
        QTest::newRow("plugin row stands for its program, answer yes") << "kestra_reg/reg_core" << int(QMessageBox::Yes) << question;
    }

    void removeProgramm()
    {
        QFETCH(QString, row);
        QFETCH(int, answer);
        QFETCH(QString, box);
        const QString programm = row.section(QLatin1Char('/'), 0, 0);
        const bool removed = answer == QMessageBox::Yes;
        ShownWindow window;
        tree(&window)->setCurrentItem(findTreeRow(tree(&window), row)); // no row, no box: the answerer times out
        ModalAnswerer answerer(120000);
        answerer.then(answer ? ModalAnswerer::clickBox(answer, QStringLiteral("Удаление")) : ModalAnswerer::clickBox(QMessageBox::Ok));
        press(window, "removeButton", removed ? answerer.then(kDone) : answerer);
        QCOMPARE(answerer.boxes(), QStringList{box});
        QCOMPARE(registry().contains(programm), !removed);
        QCOMPARE(world.has(programm + QStringLiteral("/reg")), !removed && programm == "kestra_reg");
        QCOMPARE(findTreeRow(tree(&window), programm) == nullptr, removed);
    }

    void refreshTwoMirrors()
    {
        ShownWindow window;
        QVERIFY(!child(&window, QStringLiteral("refreshMirrorsButton"))->isHidden());
        ModalAnswerer answerer(120000); // the dialogs close themselves
        press(window, "refreshMirrorsButton", answerer);
        QCOMPARE(answerer.seen().size(), 2); // and no box
        for (const ModalAnswerer::Seen &seen : answerer.seen())
            QCOMPARE(seen.title, QStringLiteral("Обновляем зеркало server1"));
        // Mirror 1 holds every program of the server, mirror 2 only the
        // registry desk, each module in a folder named by its guid.
        for (const QString &file : QStringList{"mirror1/mirror.xml", "mirror2/mirror.xml", "mirror2/" + kRegGuid + "/reg"})
            QVERIFY2(world.has(file), qPrintable(file));
        QVERIFY(world.has("mirror1/" + kLabGuid) && !world.has("mirror2/" + kLabGuid));
        // A mirror run never touches the registry.
        QVERIFY(!registry().contains(QStringLiteral("kestra_reg")));
    }

    void cleanupTestCase()
    {
        labProcess.stop();
    }
};

KESTRA_GUI_TEST_MAIN(TestInstallActions)
#include "tst_installactions.moc"
