#ifndef EDITPROGRAMMSDIALOG_H
#define EDITPROGRAMMSDIALOG_H

#include <QDialog>
#include <QMap>
#include <QString>
#include <QStringList>

class QLabel;

namespace Ui {
class EditProgrammsDialog;
}

// Lets the user tick the programs and plugins that should be installed. It
// changes nothing itself: the caller compares selection() with what is
// installed and starts the run.
class EditProgrammsDialog : public QDialog
{
    Q_OBJECT

public:
    explicit EditProgrammsDialog(QWidget *parent = nullptr);
    ~EditProgrammsDialog() override;

    // Program name to installed plugin names, as the main window holds it.
    void setInstalled(const QMap<QString, QStringList> &installed);
    QMap<QString, QStringList> installedProgramms() const { return installed; }

    // Builds the tree from the offered programs and the installed map.
    void fillProgramms();

    // Every ticked program with its ticked plugins; meaningful once accepted.
    QMap<QString, QStringList> selection() const;

private slots:
    void on_okButton_clicked();
    void on_cancelButton_clicked();

private:
    void showUnreadServers();

    Ui::EditProgrammsDialog *ui;
    QMap<QString, QStringList> installed;
    // Names the update servers that could not be read; hidden when all were.
    QLabel *serverNotice = nullptr;
};

#endif // EDITPROGRAMMSDIALOG_H
