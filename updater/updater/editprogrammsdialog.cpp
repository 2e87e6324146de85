#include "editprogrammsdialog.h"
#include "ui_editprogrammsdialog.h"

#include "edition.h"
#include "startup.h"
#include "projectdescription.h"
#include "settings.h"

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

    const QString updater = editionKey();
    const QString devUpdater = devEditionKey();
    const QList<ProjectDescription *> descriptions = Settings::instance()->programmDescriptions();
    for (const ProjectDescription *description : descriptions) {
        if (!description || !description->base())
            continue;
        const ProjectPluginPtr base = description->base();
        const QString name = base->name();

        auto *programmItem = new QTreeWidgetItem(tree);
        programmItem->setFlags(kRowFlags);
        programmItem->setCheckState(0, installed.contains(name) ? Qt::Checked : Qt::Unchecked);
        if (name == updater || name == devUpdater)
            lockTicked(programmItem);
        programmItem->setText(0, base->ruName());
        programmItem->setText(1, name);

        const QStringList installedPlugins = installed.value(name);
        const QList<ProjectPluginPtr> modules = description->modules();
        for (const ProjectPluginPtr &module : modules) {
            if (!module)
                continue;
            auto *pluginItem = new QTreeWidgetItem(programmItem);
            pluginItem->setFlags(kRowFlags);
            pluginItem->setCheckState(0, installedPlugins.contains(module->name(), Qt::CaseSensitive)
                                             ? Qt::Checked
                                             : Qt::Unchecked);
            if (description->isNecessary(module->name()))
                lockTicked(pluginItem);
            pluginItem->setText(0, module->ruName());
            pluginItem->setText(1, module->name());
        }
    }
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
