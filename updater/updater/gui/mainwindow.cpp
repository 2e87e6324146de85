#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "configlevel.h"
#include "edition.h"
#include "editprogrammsdialog.h"
#include "updatersetup.h"
#include "installdialog.h"
#include "installplan.h"
#include "launcher.h"
#include "mirrordescription.h"
#include "platform.h"
#include "processinfo.h"
#include "projectdescription.h"
#include "settings.h"
#include "settingsdialog.h"
#include "transfer.h"

#include <QApplication>
#include <QCursor>
#include <QDebug>
#include <QDir>
#include <QFileDialog>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QGridLayout>
#include <QInputDialog>
#include <QKeyEvent>
#include <QJsonArray>
#include <QJsonObject>
#include <QMenu>
#include <QMessageBox>
#include <QSpacerItem>
#include <QStyle>
#include <QTreeWidgetItem>

namespace {

// Where the system shows the icon an executable carries (Windows), that is
// the program's icon. Elsewhere an executable has none to show: the
// program's def.ico or the edition's image stands in, as on its shortcuts.
QIcon programmIcon(const QFileIconProvider &provider, const QString &name, const QString &executeFilename)
{
    const QFileInfo executable(Settings::instance()->executablePath(name));
    if (executable.isFile() && platform::canBeShortcutIcon(executable.absoluteFilePath().toStdWString()))
        return provider.icon(executable);
    const QIcon image(programmIconPath(name, executeFilename));
    if (!image.availableSizes().isEmpty())
        return image;
    return provider.icon(executable);
}

// A message box at least as wide as its title: a short text ("Ярлык создан")
// gave a box whose title bar cut "Создание ярлыка" off.
void showTitledBox(QWidget *parent, QMessageBox::Icon icon, const QString &title, const QString &text)
{
    QMessageBox box(icon, title, text, QMessageBox::Ok, parent);
    auto *layout = qobject_cast<QGridLayout *>(box.layout());
    if (layout) {
        // Room for the title bar's own icon and buttons besides the text.
        const int titleWidth = box.fontMetrics().horizontalAdvance(title) + 4 * box.fontMetrics().height() + 96;
        layout->addItem(new QSpacerItem(titleWidth, 0, QSizePolicy::Minimum, QSizePolicy::Fixed), layout->rowCount(),
                        0, 1, layout->columnCount());
    }
    box.exec();
}

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::MainWindow)
{
    initUpdaterResources();
    ui->setupUi(this);
    setWindowTitle(windowTitle() + QStringLiteral(" (%1)").arg(QLatin1String(kUpdaterVersion)));

    if (Settings::instance()->mirrors().isEmpty())
        ui->refreshMirrorsButton->hide();

    const QIcon linkIcon = style()->standardIcon(QStyle::SP_FileLinkIcon);
    ui->createDesctopLinkAction->setIcon(linkIcon);
    ui->createStartMenuLinkAction->setIcon(linkIcon);
    ui->createQuickLauchLinkAction->setIcon(linkIcon);
    ui->createLabelButton->setIcon(linkIcon);

    on_programmsWidget_currentItemChanged(nullptr, nullptr);
}

MainWindow::~MainWindow()
{
    delete ui;
}

void MainWindow::keyPressEvent(QKeyEvent *event)
{
    // The main window is a dialog only in form: Escape, pressed by habit to
    // close a menu, must not end the updater (and with it start the copier).
    if (event->matches(QKeySequence::Cancel)) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void MainWindow::refreshAndShow()
{
    fillProgramms();
    // Nothing is chosen until the user chooses: a preselected first row
    // made "Запустить" the ready default for whatever stood on top.
    ui->programmsWidget->setCurrentItem(nullptr);
    show();
}

void MainWindow::on_programmsWidget_currentItemChanged(QTreeWidgetItem *current, QTreeWidgetItem *previous)
{
    Q_UNUSED(previous);
    const bool enabled = current != nullptr;
    // The updater's own row cannot be run: started from here it would be a
    // second updater on the same installation. (Removing it explains itself.)
    const QTreeWidgetItem *programm = currentProgrammItem();
    const QString name = programm ? programm->text(1) : QString();
    const bool runnable = enabled && name != editionKey() && name != devEditionKey();
    ui->runProgrammAction->setEnabled(runnable);
    ui->createDesctopLinkAction->setEnabled(enabled);
    ui->createStartMenuLinkAction->setEnabled(enabled);
    ui->createQuickLauchLinkAction->setEnabled(enabled);
    ui->runButton->setEnabled(runnable);
    ui->removeButton->setEnabled(enabled);
    ui->createLabelButton->setEnabled(enabled);
}

void MainWindow::fillProgramms()
{
    installed.clear();
    QTreeWidget *tree = ui->programmsWidget;
    tree->clear();
    tree->setColumnCount(4);
    tree->setHeaderLabels({tr("Название"), tr("Служебное название"), tr("Тип конфигурации"),
                           tr("Исполняемый файл")});
    tree->hideColumn(3);
    tree->hideColumn(2);
    tree->hideColumn(1);

    Settings *settings = Settings::instance();
    const QJsonArray programms = settings->installedConfig().value(QStringLiteral("programms")).toArray();
    QFileIconProvider iconProvider;
    for (const QJsonValue &value : programms) {
        const QJsonObject programm = value.toObject();
        const QString name = programm.value(QStringLiteral("programm_name")).toString();
        if (name.isEmpty())
            continue;
        QStringList &plugins = installed[name];
        plugins.clear();

        auto *programmItem = new QTreeWidgetItem(tree);
        programmItem->setText(0, programm.value(QStringLiteral("display_name")).toString());
        programmItem->setText(1, name);
        programmItem->setText(2, programm.value(QStringLiteral("type")).toString());
        programmItem->setText(3, programm.value(QStringLiteral("execute_filename")).toString());
        programmItem->setIcon(0, programmIcon(iconProvider, name, programmItem->text(3)));

        const QJsonArray pluginArray = programm.value(QStringLiteral("plugins")).toArray();
        for (const QJsonValue &pluginValue : pluginArray) {
            const QJsonObject plugin = pluginValue.toObject();
            const QString pluginName = plugin.value(QStringLiteral("plugin_name")).toString();
            auto *pluginItem = new QTreeWidgetItem(programmItem);
            pluginItem->setText(0, plugin.value(QStringLiteral("plugin_display_name")).toString());
            pluginItem->setText(1, pluginName);
            pluginItem->setText(2, plugin.value(QStringLiteral("plugin_type")).toString());
            plugins.append(pluginName);
        }
    }
}

QTreeWidgetItem *MainWindow::currentProgrammItem() const
{
    QTreeWidgetItem *item = ui->programmsWidget->currentItem();
    if (!item)
        return nullptr;
    QTreeWidgetItem *parent = item->parent();
    if (parent && parent != ui->programmsWidget->invisibleRootItem())
        return parent;
    return item;
}

void MainWindow::run()
{
    const QTreeWidgetItem *item = currentProgrammItem();
    if (!item || !ui->runButton->isEnabled())
        return;
    // The two clicks of a double click on "Запустить" start the program once.
    if (m_lastRun.isValid() && m_lastRun.elapsed() < QApplication::doubleClickInterval())
        return;
    m_lastRun.start();
    const QString name = item->text(1);
    applyConfigLevel(name);
    if (!startProgramm(name, QStringList()))
        QMessageBox::critical(this, tr("Ошибка"), tr("Ошибка при запуске программы %1").arg(name), QMessageBox::Ok);
}

void MainWindow::on_runButton_clicked()
{
    run();
}

void MainWindow::on_runProgrammAction_triggered()
{
    run();
}

void MainWindow::on_programmsWidget_itemDoubleClicked(QTreeWidgetItem *item, int column)
{
    Q_UNUSED(item);
    Q_UNUSED(column);
    run();
}

void MainWindow::applyConfigLevel(const QString &programmName)
{
    QStringList failures;
    ::applyConfigLevel(programmName, &failures);
    for (int i = 0; i < failures.size(); ++i)
        QMessageBox::critical(this, tr("Ошибка"), tr("Ошибка копирования файла конфигурации"), QMessageBox::Ok);
}

void MainWindow::createCurrentLink(LinkPlace place, const QString &configFolder)
{
    const QTreeWidgetItem *item = currentProgrammItem();
    if (!item)
        return;

    QString arguments;
    QString linkName = item->text(0);
    if (!configFolder.isEmpty()) {
        arguments = QStringLiteral("--config_path ")
                    + quoteArgument(configFolder, QLatin1Char(' '), QLatin1Char('"'), false, true);
        linkName += QStringLiteral(" (%1)").arg(QFileInfo(configFolder).completeBaseName());
    }

    if (createProgrammLink(linkName, item->text(1), item->text(3), arguments, place))
        showTitledBox(this, QMessageBox::Information, tr("Создание ярлыка"), tr("Ярлык создан"));
    else
        showTitledBox(this, QMessageBox::Critical, tr("Создание ярлыка"), tr("Ошибка при создании ярлыка"));
}

void MainWindow::on_createDesctopLinkAction_triggered()
{
    createCurrentLink(LinkPlace::Desktop, QString());
}

void MainWindow::on_createQuickLauchLinkAction_triggered()
{
    createCurrentLink(LinkPlace::QuickLaunch, QString());
}

void MainWindow::on_createStartMenuLinkAction_triggered()
{
    createCurrentLink(LinkPlace::StartMenu, QString());
}

void MainWindow::on_createLabelButton_clicked()
{
    const QStringList items{tr("На рабочем столе"), tr("В быстром запуске"), tr("В меню пуск"),
                            tr("На рабочем столе на произвольную конфигурацию")};
    bool ok = false;
    const QString choice = QInputDialog::getItem(this, tr("Создать ярлык"), tr("Выбрать"), items, 0, false, &ok);
    if (!ok)
        return;
    const int position = items.indexOf(choice);
    if (position >= 0 && position <= 2) {
        createCurrentLink(static_cast<LinkPlace>(position + 1), QString());
    } else if (position == 3) {
        const QString folder = QFileDialog::getExistingDirectory(this, tr("Укажите папку с конфигурацией"),
                                                                 QString(), QFileDialog::ShowDirsOnly);
        if (!folder.isEmpty())
            createCurrentLink(LinkPlace::Desktop, folder);
    }
}

void MainWindow::on_programmsWidget_customContextMenuRequested(QPoint pos)
{
    Q_UNUSED(pos);
    QMenu menu(this);
    menu.addAction(ui->runProgrammAction);
    menu.addSeparator();
    menu.addAction(ui->createDesctopLinkAction);
    menu.exec(QCursor::pos());
}

void MainWindow::on_settingsButton_clicked()
{
    SettingsDialog dialog(this);
    dialog.exec();
}

void MainWindow::on_editButton_clicked()
{
    EditProgrammsDialog selectionDialog(this);
    selectionDialog.setInstalled(installed);
    selectionDialog.fillProgramms();
    if (selectionDialog.exec() != QDialog::Accepted)
        return;
    const QMap<QString, QStringList> selection = selectionDialog.selection();

    const SelectionChange change = compareSelection(installed, selection);

    InstallDialog installDialog(this);
    installDialog.setProgrammsToUpdate(selection);
    installDialog.setProgrammsToRemove(change.programmsToRemove);
    installDialog.setPluginsToRemove(change.pluginsToRemove);
    installDialog.setChangeConfig(true);
    installDialog.setCloseWhenFinished(false);
    installDialog.setInstallPath(Settings::installRoot());
    installDialog.startInstall(false);

    fillProgramms();
}

void MainWindow::on_removeButton_clicked()
{
    const QTreeWidgetItem *item = currentProgrammItem();
    if (!item)
        return;
    const QString name = item->text(1);
    const QString displayName = item->text(0);
    if (name == editionKey() || name == devEditionKey()) {
        QMessageBox::critical(this, tr("Ошибка"), tr("Нельзя удалять программу для обновлений!!!"),
                              QMessageBox::Ok);
        return;
    }
    if (QMessageBox::question(this, tr("Удаление"), tr("Вы действительно хотите удалить программу %1").arg(displayName),
                              QMessageBox::Yes | QMessageBox::No)
        != QMessageBox::Yes)
        return;

    InstallDialog installDialog(this);
    installDialog.setProgrammsToRemove(QStringList{name});
    installDialog.setChangeConfig(true);
    installDialog.setCloseWhenFinished(false);
    installDialog.setInstallPath(Settings::installRoot());
    installDialog.startInstall(false);

    fillProgramms();
}

void MainWindow::on_refreshButton_clicked()
{
    Settings *settings = Settings::instance();
    InstallDialog installDialog;

    const RefreshSet set = collectRefreshSet();
    const QStringList &running = set.runningDisplayNames;
    const QMap<QString, QStringList> &toUpdate = set.toUpdate;

    if (!running.isEmpty()) {
        QMessageBox::warning(this, tr("Запущенные программы"),
                             tr("Найдены запущенные программы: \n%1\n\nОни не будут обновлены!")
                                 .arg(running.join(QLatin1Char('\n'))),
                             QMessageBox::Ok);
    }
    if (toUpdate.isEmpty()) {
        QMessageBox::warning(this, tr("Ошибка"), tr("Нет программ для обновления!"), QMessageBox::Ok);
        return;
    }

    installDialog.setProgrammsToUpdate(toUpdate);
    installDialog.setChangeConfig(false);
    installDialog.setCloseWhenFinished(false);
    installDialog.setInstallPath(Settings::installRoot());
    installDialog.setMakeBackup(settings->makeBackup());
    installDialog.startInstall(false);
}

void MainWindow::on_refreshMirrorsButton_clicked()
{
    const QList<MirrorDescription *> mirrors = Settings::instance()->mirrors();
    for (const MirrorDescription *mirror : mirrors) {
        if (!mirror)
            continue;
        const QMap<QString, QStringList> toUpdate = mirrorUpdateSet(*mirror);

        InstallDialog installDialog(this);
        installDialog.setWindowTitle(tr("Обновляем зеркало %1").arg(mirror->mainServerName));
        installDialog.setProgrammsToUpdate(toUpdate);
        installDialog.setChangeConfig(false);
        installDialog.setCloseWhenFinished(true);
        installDialog.setInstallPath(mirror->mirrorFolder);
        installDialog.startInstall(true);
    }
}
