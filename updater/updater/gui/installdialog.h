#ifndef INSTALLDIALOG_H
#define INSTALLDIALOG_H

#include <QDialog>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMap>
#include <QString>
#include <QStringList>

class InstallThread;
class QCloseEvent;
class QGroupBox;
class QHBoxLayout;
class QLabel;
class QProgressBar;
class QPushButton;
class QTextBrowser;
class QTimer;
class QVBoxLayout;

// The modal window in which every installation run takes place. A caller
// sets the run parameters and calls startInstall(), which returns once the
// dialog has closed; the caller then rereads whatever it shows.
class InstallDialog : public QDialog
{
    Q_OBJECT

public:
    enum ThreadMessageType {
        Message = 0,
        Error = 1,
        SystemMessage = 2,
    };
    Q_ENUM(ThreadMessageType)

    explicit InstallDialog(QWidget *parent = nullptr);
    ~InstallDialog() override;

    void setProgrammsToUpdate(const QMap<QString, QStringList> &programms) { programmsToUpdate = programms; }
    void setProgrammsToRemove(const QStringList &programms) { programmsToRemove = programms; }
    void setPluginsToRemove(const QMap<QString, QStringList> &plugins) { pluginsToRemove = plugins; }
    void setChangeConfig(bool value) { changeConfig = value; }
    void setInstallPath(const QString &path) { installPath = path; }
    void setMakeBackup(bool value) { makeBackup = value; }
    void setCloseWhenFinished(bool value) { closeWhenFinished = value; }
    // With a delay (ms, 0 or more) the window of a run stays hidden until
    // the run has lasted that long, reports an error or finds files to
    // change; a run that only finds everything current ends without a
    // window at all. Without one (the default) the window shows at once.
    void setRevealDelay(int ms) { revealDelayMs = ms; }

    // How long stopAllThreads() waits for a thread that was asked to stop.
    static constexpr int kStopWaitMs = 1000;

    // Threads that did not stop in time are let go instead of being killed:
    // they end at their next interruption check and delete themselves. This
    // tells how many are still running.
    static int runningDetachedThreads();
    // Waits up to timeoutMs for every let-go thread to end; true when none
    // is left running.
    static bool waitForDetachedThreads(int timeoutMs);

public slots:
    void startInstall(bool isMirror = false);
    void error(QString err);
    void message(QString err);
    void systemMessage(QString err);
    void status(QString text);
    void progress(int nDo, int nAll, QString text);
    void threadStarted();
    void threadFinished();
    void stopAllThreads();

    // Escape would end the modal loop behind the running thread's back; it
    // is treated like the window's close button.
    void reject() override;
    // Hiding ends the modal wait of startInstall, as it does QDialog::exec.
    void setVisible(bool visible) override;

protected:
    void closeEvent(QCloseEvent *event) override;

private slots:
    void on_cancelButton_clicked();

private:
    void writeMessage(const QString &text, InstallDialog::ThreadMessageType type, QObject *sender);
    void connectThread(InstallThread *thread);
    void createThreadBox(const QString &name, const QString &title);
    void enterFinishedState();
    // The thread that sent a signal, when it belongs to the current run (or
    // to no run at all); null for other senders and for a stopped thread
    // whose name a newer thread has taken over.
    InstallThread *currentSender(QString *name = nullptr) const;
    void letGo(InstallThread *thread);
    void refuseWhileRunning();
    void launchThread();
    void startWhenFree();
    void flushPane();
    void flushProgress();
    void runModal();
    void reveal();

    QVBoxLayout *mainVerticalLayout = nullptr;
    QTextBrowser *textBrowser = nullptr;
    QHBoxLayout *horizontalLayout = nullptr;
    QPushButton *cancelButton = nullptr;

    QMap<QString, QStringList> programmsToUpdate;
    QStringList programmsToRemove;
    QMap<QString, QStringList> pluginsToRemove;
    bool changeConfig = false;
    QString installPath;
    bool makeBackup = false;
    bool closeWhenFinished = false;
    bool isMirrorRun = false;
    int revealDelayMs = -1;
    // The hidden modal wait of a run with a reveal delay, while it lasts.
    QEventLoop *hiddenLoop = nullptr;
    // A run waiting in the open window for let-go threads of an earlier one.
    bool startPending = false;
    QElapsedTimer waitingSince;

    QMap<QString, InstallThread *> threads;
    QMap<QString, QGroupBox *> groupBoxes;
    QMap<QString, QLabel *> progressLabels;
    QMap<QString, QProgressBar *> progressBars;

    // A run reports every file: the log pane and the bars are brought up to
    // date a few times a second, each time with everything that came since.
    struct PendingProgress
    {
        int nDo = 0;
        int nAll = 0;
        QString text;
    };
    QStringList pendingLines;
    QMap<QString, PendingProgress> pendingProgress;
    QTimer *paneTimer = nullptr;
    QTimer *progressTimer = nullptr;
    QElapsedTimer sincePaneFlush;
    QElapsedTimer sinceProgressFlush;
};

#endif // INSTALLDIALOG_H
