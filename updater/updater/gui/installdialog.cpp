#include "installdialog.h"

#include "updatersetup.h"
#include "installthread.h"
#include "systemtext.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QDeadlineTimer>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QList>
#include <QMessageBox>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QSpacerItem>
#include <QScrollBar>
#include <QTextBrowser>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>
#include <QVBoxLayout>

namespace {

const QString kThreadName = QStringLiteral("mainthread1111");

// How long a new run waits for let-go threads of an earlier one before it
// gives up, and how often it looks.
const int kDetachedWaitBeforeStartMs = 30000;
const int kDetachedPollMs = 100;
// How often the log pane and the progress bars follow a busy run.
const int kViewIntervalMs = 100;
// How long the application's teardown waits for let-go threads.
const int kDetachedWaitAtExitMs = 30000;

QList<QPointer<InstallThread>> &detachedThreads()
{
    static QList<QPointer<InstallThread>> list;
    return list;
}

void pruneDetached()
{
    QList<QPointer<InstallThread>> &list = detachedThreads();
    for (int i = list.size() - 1; i >= 0; --i) {
        if (list.at(i).isNull() || list.at(i)->isFinished())
            list.removeAt(i);
    }
}

// Runs while the application object is destroyed: a let-go thread may still
// be copying a file or writing the registry, so the process gives it time to
// reach its next interruption check before it ends.
void waitForDetachedAtExit()
{
    if (!InstallDialog::waitForDetachedThreads(kDetachedWaitAtExitMs))
        qWarning().noquote() << QStringLiteral("install thread still running at exit");
    for (const QPointer<InstallThread> &thread : detachedThreads()) {
        if (thread && thread->isFinished())
            delete thread.data();
    }
    detachedThreads().clear();
}

QString colourTag(InstallDialog::ThreadMessageType type)
{
    switch (type) {
    case InstallDialog::Message:
        return QStringLiteral("<FONT COLOR = \"DarkGreen\">");
    case InstallDialog::Error:
        return QStringLiteral("<FONT COLOR = \"RED\">");
    case InstallDialog::SystemMessage:
        break;
    }
    return QStringLiteral("<FONT COLOR = \"BLACK\">");
}

} // namespace

InstallDialog::InstallDialog(QWidget *parent)
    : QDialog(parent)
{
    initUpdaterResources();
    if (objectName().isEmpty())
        setObjectName(QStringLiteral("InstallDialog"));
    resize(524, 308);

    mainVerticalLayout = new QVBoxLayout(this);
    mainVerticalLayout->setObjectName(QStringLiteral("mainVerticalLayout"));
    mainVerticalLayout->setContentsMargins(3, 3, 3, 3);

    textBrowser = new QTextBrowser(this);
    textBrowser->setObjectName(QStringLiteral("textBrowser"));
    mainVerticalLayout->addWidget(textBrowser);

    horizontalLayout = new QHBoxLayout();
    horizontalLayout->setObjectName(QStringLiteral("horizontalLayout"));
    horizontalLayout->addItem(new QSpacerItem(450, 20, QSizePolicy::Expanding, QSizePolicy::Minimum));
    cancelButton = new QPushButton(this);
    cancelButton->setObjectName(QStringLiteral("cancelButton"));
    cancelButton->setIcon(QIcon(QStringLiteral(":/images/cancel.png")));
    cancelButton->setText(tr("Отмена"));
    horizontalLayout->addWidget(cancelButton);
    mainVerticalLayout->addLayout(horizontalLayout);

    setWindowTitle(tr("Установка (обновление) программ") + QStringLiteral(" (%1)").arg(QLatin1String(kUpdaterVersion)));

    paneTimer = new QTimer(this);
    paneTimer->setSingleShot(true);
    connect(paneTimer, &QTimer::timeout, this, &InstallDialog::flushPane);
    progressTimer = new QTimer(this);
    progressTimer->setSingleShot(true);
    connect(progressTimer, &QTimer::timeout, this, &InstallDialog::flushProgress);
    QMetaObject::connectSlotsByName(this);
}

InstallDialog::~InstallDialog()
{
    stopAllThreads();
}

int InstallDialog::runningDetachedThreads()
{
    pruneDetached();
    return detachedThreads().size();
}

bool InstallDialog::waitForDetachedThreads(int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    pruneDetached();
    for (const QPointer<InstallThread> &thread : detachedThreads()) {
        if (thread && !thread->wait(deadline))
            return false;
    }
    pruneDetached();
    return detachedThreads().isEmpty();
}

void InstallDialog::startInstall(bool isMirror)
{
    if (!threads.isEmpty() || startPending) {
        QMessageBox::critical(this, tr("Ошибка"), tr("Установка уже запущена!!!"), QMessageBox::Ok);
        return;
    }

    textBrowser->clear();
    pendingLines.clear();
    isMirrorRun = isMirror;
    if (runningDetachedThreads() > 0) {
        // A let-go thread of a cancelled run may still write the registry; a
        // second run beside it would compete for the same files. This run
        // begins once it has ended, and the window answers meanwhile.
        startPending = true;
        waitingSince.start();
        qInfo().noquote() << QStringLiteral("run waits for %1 stopped install thread(s)").arg(runningDetachedThreads());
        systemMessage(tr("Ожидание завершения прерванной установки"));
        QTimer::singleShot(kDetachedPollMs, this, &InstallDialog::startWhenFree);
    } else {
        launchThread();
    }
    runModal();
}

void InstallDialog::runModal()
{
    // A waiting run has something to tell at once; its window also tells
    // whether the user closed it meanwhile.
    if (revealDelayMs < 0 || startPending) {
        exec();
        return;
    }
    // What exec does, save the showing: modal once shown, its result reset,
    // and back to the caller when the dialog is done or hidden.
    setAttribute(Qt::WA_ShowModal, true);
    setResult(0);
    QEventLoop loop;
    hiddenLoop = &loop;
    QTimer::singleShot(revealDelayMs, this, &InstallDialog::reveal);
    loop.exec(QEventLoop::DialogExec);
    hiddenLoop = nullptr;
}

void InstallDialog::reveal()
{
    // Only while the run's modal wait lasts: a dialog that is done stays shut.
    if (hiddenLoop && !isVisible())
        show();
}

void InstallDialog::setVisible(bool visible)
{
    QDialog::setVisible(visible);
    if (!visible && hiddenLoop)
        hiddenLoop->quit();
}

void InstallDialog::startWhenFree()
{
    if (!startPending)
        return;
    if (!isVisible()) { // closed while it waited: the run is dropped
        startPending = false;
        return;
    }
    if (runningDetachedThreads() == 0) {
        startPending = false;
        launchThread();
        return;
    }
    if (waitingSince.hasExpired(kDetachedWaitBeforeStartMs)) {
        startPending = false;
        qWarning().noquote() << QStringLiteral("stopped install thread still running after %1 ms; run not started")
                                    .arg(kDetachedWaitBeforeStartMs);
        error(tr("Прерванная установка не завершилась, обновление не запущено"));
        enterFinishedState();
        return;
    }
    QTimer::singleShot(kDetachedPollMs, this, &InstallDialog::startWhenFree);
}

void InstallDialog::launchThread()
{
    auto *thread = new InstallThread(this);
    thread->setObjectName(kThreadName);
    threads.insert(kThreadName, thread);
    connectThread(thread);
    thread->setTitle(tr("Обновление программ"));

    thread->setPluginsToRemove(pluginsToRemove);
    thread->setProgrammsToRemove(programmsToRemove);
    thread->setProgrammsToUpdate(programmsToUpdate);
    thread->setChangeConfig(changeConfig);
    thread->setInstallPath(installPath);
    thread->setMirror(isMirrorRun);
    thread->setMakeBackup(makeBackup);

    thread->start(QThread::InheritPriority);
}

void InstallDialog::connectThread(InstallThread *thread)
{
    connect(thread, &InstallThread::message, this, &InstallDialog::message);
    connect(thread, &InstallThread::error, this, &InstallDialog::error);
    connect(thread, &QThread::started, this, &InstallDialog::threadStarted);
    connect(thread, &QThread::finished, this, &InstallDialog::threadFinished);
    connect(thread, &InstallThread::status, this, &InstallDialog::status);
    connect(thread, &InstallThread::progress, this, &InstallDialog::progress);
    connect(thread, &InstallThread::filesToChange, this, &InstallDialog::reveal);
}

void InstallDialog::writeMessage(const QString &text, InstallDialog::ThreadMessageType type, QObject *sender)
{
    if (type == Error)
        qWarning() << text;
    else
        qInfo() << text;

    // The pane renders rich text; the thread's lines carry file names from
    // server documents, which are shown as they are, never as markup. The
    // system's reasons in them are shown in Russian; the log keeps the
    // original wording, which is what support searches for.
    QString line = colourTag(type) + QDateTime::currentDateTime().toString(QStringLiteral("dd.MM.yyyy hh:mm:ss"))
                   + QStringLiteral("     ") + russianSystemText(text).toHtmlEscaped();
    if (auto *thread = qobject_cast<InstallThread *>(sender))
        line += QStringLiteral(" [") + thread->title().toHtmlEscaped() + QLatin1Char(']');
    pendingLines.append(line);
    // Laying out and painting the pane once per file took more of the
    // processor than the transfers; lines that come close together are
    // appended together.
    if (paneTimer->isActive())
        return;
    if (!sincePaneFlush.isValid() || sincePaneFlush.hasExpired(kViewIntervalMs))
        flushPane();
    else
        paneTimer->start(int(kViewIntervalMs - sincePaneFlush.elapsed()));
}

// Appends the pending lines as QTextEdit::append does, one paragraph each,
// in one edit of the document.
void InstallDialog::flushPane()
{
    paneTimer->stop();
    sincePaneFlush.start();
    if (pendingLines.isEmpty())
        return;
    QScrollBar *scroll = textBrowser->verticalScrollBar();
    const bool atBottom = scroll->value() >= scroll->maximum();
    QTextDocument *document = textBrowser->document();
    const QTextCursor current = textBrowser->textCursor();
    QTextCursor cursor(document);
    cursor.beginEditBlock();
    cursor.movePosition(QTextCursor::End);
    for (const QString &line : qAsConst(pendingLines)) {
        if (!document->isEmpty())
            cursor.insertBlock(current.blockFormat(), current.charFormat());
        else
            cursor.setCharFormat(current.charFormat());
        cursor.insertHtml(line);
    }
    cursor.endEditBlock();
    pendingLines.clear();
    if (atBottom)
        scroll->setValue(scroll->maximum());
}

void InstallDialog::error(QString err)
{
    writeMessage(err, Error, sender());
    reveal();
}

void InstallDialog::message(QString err)
{
    writeMessage(err, Message, sender());
}

void InstallDialog::systemMessage(QString err)
{
    writeMessage(err, SystemMessage, sender());
}

InstallThread *InstallDialog::currentSender(QString *name) const
{
    auto *thread = qobject_cast<InstallThread *>(sender());
    if (!thread)
        return nullptr;
    const QString threadName = thread->objectName();
    const InstallThread *registered = threads.value(threadName, nullptr);
    if (registered && registered != thread)
        return nullptr;
    if (name)
        *name = threadName;
    return thread;
}

void InstallDialog::status(QString text)
{
    QString name;
    if (!currentSender(&name))
        return;
    if (QGroupBox *box = groupBoxes.value(name, nullptr))
        box->setTitle(text);
}

void InstallDialog::progress(int nDo, int nAll, QString text)
{
    QString name;
    if (!currentSender(&name))
        return;
    if (!progressBars.contains(name))
        return;
    // A bar repaints at once on every change: it follows the latest position
    // a few times a second instead of every file.
    pendingProgress.insert(name, PendingProgress{nDo, nAll, text});
    if (progressTimer->isActive())
        return;
    if (!sinceProgressFlush.isValid() || sinceProgressFlush.hasExpired(kViewIntervalMs))
        flushProgress();
    else
        progressTimer->start(int(kViewIntervalMs - sinceProgressFlush.elapsed()));
}

void InstallDialog::flushProgress()
{
    progressTimer->stop();
    sinceProgressFlush.start();
    for (auto it = pendingProgress.constBegin(); it != pendingProgress.constEnd(); ++it) {
        QProgressBar *bar = progressBars.value(it.key(), nullptr);
        if (!bar)
            continue;
        bar->setMaximum(it->nAll);
        bar->setValue(it->nDo);
        if (QLabel *label = progressLabels.value(it.key(), nullptr))
            label->setText(it->text);
    }
    pendingProgress.clear();
}

void InstallDialog::threadStarted()
{
    QString name;
    InstallThread *thread = currentSender(&name);
    if (!thread)
        return;
    createThreadBox(name, thread->title());
    if (threads.size() == 1)
        cancelButton->setText(tr("Отмена"));
}

void InstallDialog::createThreadBox(const QString &name, const QString &title)
{
    auto *box = new QGroupBox(this);
    box->setObjectName(name + QStringLiteral("groupBox"));
    box->setTitle(title);
    auto *layout = new QVBoxLayout(box);
    layout->setObjectName(name + QStringLiteral("verticalLayout"));
    layout->setContentsMargins(3, 3, 3, -1);
    auto *label = new QLabel(box);
    label->setObjectName(name + QStringLiteral("progressLabel"));
    layout->addWidget(label);
    auto *bar = new QProgressBar(box);
    bar->setObjectName(name + QStringLiteral("progressBar"));
    bar->setValue(0);
    bar->setTextVisible(true);
    layout->addWidget(bar);
    mainVerticalLayout->insertWidget(0, box);

    if (QGroupBox *older = groupBoxes.value(name, nullptr))
        older->deleteLater();
    groupBoxes.insert(name, box);
    progressLabels.insert(name, label);
    progressBars.insert(name, bar);
}

void InstallDialog::threadFinished()
{
    QString name;
    InstallThread *thread = currentSender(&name);
    if (!thread) {
        // A stopped thread whose name a newer run has taken: only release it.
        if (auto *stale = qobject_cast<InstallThread *>(sender()))
            stale->deleteLater();
        return;
    }
    const QString title = thread->title();

    thread->deleteLater();
    threads.remove(name);

    pendingProgress.remove(name);
    if (groupBoxes.contains(name)) {
        delete groupBoxes.take(name);
        progressLabels.remove(name);
        progressBars.remove(name);
    }

    systemMessage(tr("Обновление %1 закончено").arg(title));
    flushPane(); // the run's account is complete once it says it ended

    if (closeWhenFinished && threads.isEmpty())
        accept();
    if (threads.isEmpty())
        cancelButton->setText(tr("Закрыть"));
}

void InstallDialog::letGo(InstallThread *thread)
{
    // Killing a thread could leave the settings mutex locked or a target file
    // half-written. The thread has been asked to stop and does so at its next
    // check (before each program, file and folder); until then it only loses
    // its audience, and it deletes itself once it has ended.
    qWarning().noquote() << QStringLiteral("install thread %1 did not stop within %2 ms, left to finish on its own")
                                .arg(thread->objectName())
                                .arg(kStopWaitMs);
    disconnect(thread, nullptr, this, nullptr);
    thread->setParent(nullptr);
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    static bool exitWaitRegistered = false;
    if (!exitWaitRegistered) {
        qAddPostRoutine(waitForDetachedAtExit);
        exitWaitRegistered = true;
    }
    detachedThreads().append(thread);
    if (thread->isFinished())
        thread->deleteLater();
}

void InstallDialog::stopAllThreads()
{
    const QStringList names = threads.keys();
    for (const QString &name : names) {
        InstallThread *thread = threads.value(name, nullptr);
        if (!thread || !thread->isRunning())
            continue;
        thread->requestInterruption();
        if (thread->wait(kStopWaitMs))
            thread->deleteLater();
        else
            letGo(thread);
        if (QGroupBox *box = groupBoxes.take(name))
            box->deleteLater();
        progressLabels.remove(name);
        progressBars.remove(name);
        pendingProgress.remove(name);
    }
    threads.clear();
}

void InstallDialog::enterFinishedState()
{
    flushPane();
    cancelButton->setText(tr("Закрыть"));
    if (closeWhenFinished)
        accept();
}

void InstallDialog::on_cancelButton_clicked()
{
    if (threads.isEmpty()) {
        startPending = false;
        accept();
        return;
    }
    stopAllThreads();
    enterFinishedState();
}

void InstallDialog::refuseWhileRunning()
{
    QMessageBox::critical(this, tr("Ошибка"), tr("Выполняется обновление!!!"), QMessageBox::Ok);
}

void InstallDialog::reject()
{
    if (!threads.isEmpty()) {
        refuseWhileRunning();
        return;
    }
    QDialog::reject();
}

void InstallDialog::closeEvent(QCloseEvent *event)
{
    if (threads.isEmpty()) {
        QDialog::closeEvent(event);
        event->accept();
        return;
    }
    refuseWhileRunning();
    event->ignore();
}
