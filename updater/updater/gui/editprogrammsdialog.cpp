#include "editprogrammsdialog.h"
#include "ui_editprogrammsdialog.h"

#include "installplan.h"
#include "updatersetup.h"
#include "settings.h"

#include <QDebug>
#include <QGridLayout>
#include <QLabel>
#include <QTreeWidgetItem>

namespace {

const Qt::ItemFlags kRowFlags = Qt::ItemIsSelectable | Qt::ItemIsUserCheckable | Qt::ItemIsEnabled;

// A locked row is ticked and cannot be unticked by the user.
void lockTicked(QTreeWidgetItem *item)
{
    item->setFlags(item->flags() & ~Qt::ItemIsEnabled);
    item->setCheckState(0, Qt::Checked);
}

} // namespace

EditProgrammsDialog::EditProgrammsDialog(QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::EditProgrammsDialog)
{
    initUpdaterResources();
    ui->setupUi(this);
    serverNotice = new QLabel(ui->groupBox);
    serverNotice->setObjectName(QStringLiteral("serverNoticeLabel"));
    serverNotice->setWordWrap(true);
    serverNotice->setTextFormat(Qt::PlainText);
    serverNotice->setStyleSheet(QStringLiteral("color: #b00000;"));
    serverNotice->hide();
    ui->gridLayout_2->addWidget(serverNotice, 1, 0);
}

EditProgrammsDialog::~EditProgrammsDialog()
{
    delete ui;
}

void EditProgrammsDialog::setInstalled(const QMap<QString, QStringList> &programms)
{
    installed = programms;
}

void EditProgrammsDialog::fillProgramms()
{
    QTreeWidget *tree = ui->programmWidget;
    tree->clear();
    tree->setColumnCount(2);
    tree->setHeaderLabels({tr("Название"), tr("Служебное название")});
    tree->hideColumn(1);

    // The starting ticks and locks are the shared selection rules, which the
    // command-line install and removal follow too.
    const QList<SelectionRow> rows = selectionRows(Settings::instance()->programmDescriptions(), installed);
    for (const SelectionRow &row : rows) {
        auto *programmItem = new QTreeWidgetItem(tree);
        programmItem->setFlags(kRowFlags);
        programmItem->setCheckState(0, row.ticked ? Qt::Checked : Qt::Unchecked);
        if (row.locked)
            lockTicked(programmItem);
        programmItem->setText(0, row.displayName);
        programmItem->setText(1, row.name);
        for (const SelectionRow &plugin : row.plugins) {
            auto *pluginItem = new QTreeWidgetItem(programmItem);
            pluginItem->setFlags(kRowFlags);
            pluginItem->setCheckState(0, plugin.ticked ? Qt::Checked : Qt::Unchecked);
            if (plugin.locked)
                lockTicked(pluginItem);
            pluginItem->setText(0, plugin.displayName);
            pluginItem->setText(1, plugin.name);
        }
    }
    showUnreadServers();
}

void EditProgrammsDialog::showUnreadServers()
{
    // Without a word the user would take an unreachable server for one that
    // offers nothing. The reason stays in the log, where the transfer wrote
    // it; the user is told which server it was.
    QStringList lines;
    const QList<Settings::UnreadServer> unread = Settings::instance()->unreadServers();
    for (const Settings::UnreadServer &server : unread) {
        const QString line = tr("Не удалось получить список программ с сервера обновлений %1")
                                 .arg(Settings::displayAddress(server.source));
        qWarning().noquote() << line;
        lines.append(line);
    }
    serverNotice->setText(lines.join(QLatin1Char('\n')));
    serverNotice->setVisible(!lines.isEmpty());
}

QMap<QString, QStringList> EditProgrammsDialog::selection() const
{
    QMap<QString, QStringList> result;
    const QTreeWidget *tree = ui->programmWidget;
    for (int i = 0; i < tree->topLevelItemCount(); ++i) {
        const QTreeWidgetItem *programmItem = tree->topLevelItem(i);
        if (programmItem->checkState(0) != Qt::Checked)
            continue;
        QStringList plugins;
        for (int j = 0; j < programmItem->childCount(); ++j) {
            const QTreeWidgetItem *pluginItem = programmItem->child(j);
            if (pluginItem->checkState(0) == Qt::Checked)
                plugins.append(pluginItem->text(1));
        }
        result.insert(programmItem->text(1), plugins);
    }
    return result;
}

void EditProgrammsDialog::on_okButton_clicked()
{
    accept();
}

void EditProgrammsDialog::on_cancelButton_clicked()
{
    reject();
}
