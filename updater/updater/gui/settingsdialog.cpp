#include "settingsdialog.h"
#include "ui_settingsdialog.h"

#include "updatersetup.h"
#include "projectdescription.h"
#include "settings.h"

#include <QEvent>
#include <QHeaderView>
#include <QTableWidgetItem>

namespace {

const QString kProxyGroup = QStringLiteral("global_proxy");
const int kDefaultProxyPort = 8080;

// A cell of the project table. Rows without a key sort below the keys in
// either order: most of the table is blank rows for typing, and sorted among
// the keys they pushed every key out of sight.
class ProjectTableItem : public QTableWidgetItem
{
public:
    bool operator<(const QTableWidgetItem &other) const override
    {
        const bool blank = isBlankRow(*this);
        const bool otherBlank = isBlankRow(other);
        if (blank == otherBlank)
            return QTableWidgetItem::operator<(other);
        // Ascending order puts the greater last, descending order the less.
        const QTableWidget *table = tableWidget();
        const bool descending =
            table && table->horizontalHeader()->sortIndicatorOrder() == Qt::DescendingOrder;
        return descending ? blank : otherBlank;
    }

private:
    static bool isBlankRow(const QTableWidgetItem &item)
    {
        const QTableWidget *table = item.tableWidget();
        const QTableWidgetItem *key = table ? table->item(item.row(), 0) : &item;
        return !key || key->text().simplified().isEmpty();
    }
};

} // namespace

SettingsDialog::SettingsDialog(QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::SettingsDialog)
{
    initUpdaterResources();
    ui->setupUi(this);
    ui->tabWidget->setCurrentWidget(ui->connectionTab);
    // Sorting is offered on header clicks only: the keys open in the order in
    // which they are stored, and are saved in the order the rows show.
    ui->projectsWidget->horizontalHeader()->setSortIndicator(-1, Qt::AscendingOrder);
    // The names take the room the keys leave (see fitKeyColumn).
    ui->projectsWidget->horizontalHeader()->setSectionResizeMode(1, QHeaderView::Stretch);
    // A key broken at its hyphens would show only its first part.
    ui->projectsWidget->setWordWrap(false);
    ui->projectsWidget->viewport()->installEventFilter(this);
    fillSettings();
}

SettingsDialog::~SettingsDialog()
{
    delete ui;
}

void SettingsDialog::fillSettings()
{
    Settings *settings = Settings::instance();
    QTableWidget *table = ui->projectsWidget;
    const QStringList keys = settings->projects();
    const QList<ProjectDescription *> descriptions = settings->programmDescriptions();

    // Every stored key gets a row: a table of fixed height would silently
    // drop the keys beyond it at the next "Применить".
    int rows = kMinimumRows;
    if (keys.size() + kSpareRows > rows)
        rows = keys.size() + kSpareRows;

    const bool sorting = table->isSortingEnabled();
    table->setSortingEnabled(false);
    table->setRowCount(0);
    table->setRowCount(rows);
    for (int row = 0; row < rows; ++row) {
        auto *key = new ProjectTableItem;
        key->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEditable | Qt::ItemIsEnabled);
        table->setItem(row, 0, key);
        auto *name = new ProjectTableItem;
        name->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
        table->setItem(row, 1, name);
    }
    for (int row = 0; row < keys.size(); ++row) {
        const QString &guid = keys.at(row);
        table->item(row, 0)->setText(guid);
        for (ProjectDescription *description : descriptions) {
            if (description && description->base() && description->base()->guid() == guid) {
                table->item(row, 1)->setText(description->base()->ruName());
                break;
            }
        }
    }
    fitKeyColumn();
    table->setSortingEnabled(sorting);

    ui->globalProxyGroupBox->setChecked(settings->value(kProxyGroup, QStringLiteral("is_need"), false).toBool());
    ui->proxyHostEdit->setText(settings->value(kProxyGroup, QStringLiteral("host"), QString()).toString());
    ui->proxyPortBox->setValue(settings->value(kProxyGroup, QStringLiteral("port"), kDefaultProxyPort).toInt());
    ui->proxyUserEdit->setText(settings->value(kProxyGroup, QStringLiteral("user"), QString()).toString());
    ui->proxyPasswordEdit->setText(settings->value(kProxyGroup, QStringLiteral("password"), QString()).toString());
}

bool SettingsDialog::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == ui->projectsWidget->viewport() && event->type() == QEvent::Resize)
        fitKeyColumn();
    return QDialog::eventFilter(watched, event);
}

void SettingsDialog::fitKeyColumn()
{
    // The keys get their width when the names still find theirs beside
    // them; otherwise the keys give way down to half the table, so that the
    // names always keep room and no horizontal scroll bar hides them. A key
    // cut short still shows how it starts, and the whole key shows while it
    // is edited.
    QTableWidget *table = ui->projectsWidget;
    int names = table->horizontalHeader()->sectionSizeHint(1);
    for (int row = 0; row < table->rowCount(); ++row)
        names = qMax(names, table->sizeHintForIndex(table->model()->index(row, 1)).width());
    // The delegate elides a little before the size hint is reached.
    names += table->fontMetrics().averageCharWidth() * 2;
    table->resizeColumnToContents(0);
    const int keys = table->columnWidth(0);
    const int room = table->viewport()->width();
    const int width = qMin(keys, qMax(room - names, room / 2));
    table->setColumnWidth(0, qMax(table->horizontalHeader()->minimumSectionSize(), width));
}

void SettingsDialog::applySettings()
{
    Settings *settings = Settings::instance();
    const QTableWidget *table = ui->projectsWidget;

    QStringList keys;
    for (int row = 0; row < table->rowCount(); ++row) {
        const QTableWidgetItem *item = table->item(row, 0);
        const QString key = item ? item->text().simplified() : QString();
        if (!key.isEmpty())
            keys.append(key);
    }
    settings->setProjects(keys);

    const bool isNeed = ui->globalProxyGroupBox->isChecked();
    if (settings->value(kProxyGroup, QStringLiteral("is_need"), false).toBool() != isNeed)
        settings->setValue(kProxyGroup, QStringLiteral("is_need"), isNeed);

    const auto storeText = [settings](const QString &key, const QString &text) {
        const QString wanted = text.simplified();
        const QString stored = settings->value(kProxyGroup, key, QString()).toString().simplified();
        if (wanted != stored)
            settings->setValue(kProxyGroup, key, wanted);
    };
    storeText(QStringLiteral("host"), ui->proxyHostEdit->text());

    const int port = ui->proxyPortBox->value();
    if (settings->value(kProxyGroup, QStringLiteral("port"), kDefaultProxyPort).toInt() != port)
        settings->setValue(kProxyGroup, QStringLiteral("port"), port);

    storeText(QStringLiteral("user"), ui->proxyUserEdit->text());
    storeText(QStringLiteral("password"), ui->proxyPasswordEdit->text());
}

void SettingsDialog::on_okButton_clicked()
{
    applySettings();
    fillSettings();
}

void SettingsDialog::on_cancelButton_clicked()
{
    reject();
}
