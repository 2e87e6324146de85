#ifndef SETTINGSDIALOG_H
#define SETTINGSDIALOG_H

#include <QDialog>

namespace Ui {
class SettingsDialog;
}

// Edits the project keys and the global proxy kept in config.ini. The
// settings store is the only state: every "Применить" saves and reloads.
class SettingsDialog : public QDialog
{
    Q_OBJECT

public:
    explicit SettingsDialog(QWidget *parent = nullptr);
    ~SettingsDialog() override;

    void fillSettings();
    void applySettings();

    // The table never shows fewer rows than this, so there is room to type.
    static constexpr int kMinimumRows = 30;
    // Blank rows offered below the stored keys when they fill the table.
    static constexpr int kSpareRows = 10;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private slots:
    void on_okButton_clicked();
    void on_cancelButton_clicked();

private:
    void fitKeyColumn();

    Ui::SettingsDialog *ui;
};

#endif // SETTINGSDIALOG_H
