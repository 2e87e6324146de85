#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include <QDialog>
#include <QElapsedTimer>
#include <QMap>
#include <QPoint>
#include <QString>
#include <QStringList>

namespace Ui {
class MainWindow;
}

class QKeyEvent;
class QTreeWidgetItem;
enum class LinkPlace;

// The updater's main window: the tree of installed programs and plugins and
// every user action (run, shortcuts, install/remove/update, mirrors,
// settings). All installation work runs in install dialogs.
class MainWindow : public QDialog
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // Fills the tree from the registry and shows the window.
    void refreshAndShow();

    // Activates the configuration-level schema files of one program (every
    // installed program when the name is empty), telling each file that
    // could not be copied in a message box.
    void applyConfigLevel(const QString &programmName);

    // What the tree shows: program name to its installed plugin names.
    QMap<QString, QStringList> installedProgramms() const { return installed; }

protected:
    void keyPressEvent(QKeyEvent *event) override;

private slots:
    void on_editButton_clicked();
    void on_runButton_clicked();
    void on_removeButton_clicked();
    void on_programmsWidget_itemDoubleClicked(QTreeWidgetItem *item, int column);
    void on_programmsWidget_customContextMenuRequested(QPoint pos);
    void on_runProgrammAction_triggered();
    void on_createDesctopLinkAction_triggered();
    void on_refreshMirrorsButton_clicked();
    void on_settingsButton_clicked();
    void on_refreshButton_clicked();
    void on_createLabelButton_clicked();
    void on_programmsWidget_currentItemChanged(QTreeWidgetItem *current, QTreeWidgetItem *previous);
    void on_createStartMenuLinkAction_triggered();
    void on_createQuickLauchLinkAction_triggered();

private:
    void fillProgramms();
    void createCurrentLink(LinkPlace place, const QString &configFolder);
    void run();
    // The program row of the current item (a plugin row stands for its
    // program); null when nothing is current.
    QTreeWidgetItem *currentProgrammItem() const;

    Ui::MainWindow *ui;
    QMap<QString, QStringList> installed;
    QElapsedTimer m_lastRun;
};

#endif // MAINWINDOW_H
