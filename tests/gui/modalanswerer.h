#ifndef MODALANSWERER_H
#define MODALANSWERER_H

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QWidget>

#include <functional>

#include <QMessageBox>

// What the answerer saw of one dialog or message box.
struct SeenDialog
{
    QString className;
    QString objectName;
    QString title;
    QString text; // message boxes: their text
    int icon = 0; // message boxes: QMessageBox::Icon
};

// Answers the modal windows that the code under test opens, in order. Each
// step is offered the active modal window on every tick until it returns
// true, so a step checks that the window is the one it expects and may wait
// for a condition (e.g. the end of a run). A deadline bounds the whole
// script: after it every modal window is closed, so a test never hangs, and
// timedOut() tells the test to fail. Every dialog and box shown meanwhile is
// recorded, even those that close on their own too fast to be answered.
class ModalAnswerer : public QObject
{
    Q_OBJECT

public:
    using Step = std::function<bool(QWidget *)>;

    explicit ModalAnswerer(int deadlineMs = 60000, QObject *parent = nullptr);
    ~ModalAnswerer() override;

    ModalAnswerer &then(const Step &step);
    bool allAnswered() const { return m_steps.isEmpty(); }
    bool timedOut() const { return m_timedOut; }
    QList<SeenDialog> seen() const { return m_seen; }
    // Message boxes seen, as "title|text".
    QStringList boxes() const;

    // Steps for the usual answers.
    static Step clickBox(int standardButton, const QString &expectTitle = QString());
    static Step rejectDialog(const QString &className);
    // Waits until an install dialog's run has ended, keeps its log text and
    // closes it with its own button.
    static Step closeInstallDialogWhenDone(QString *log = nullptr);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void tick();

    QTimer m_timer;
    QList<Step> m_steps;
    QList<SeenDialog> m_seen;
    QPointer<QWidget> m_lastAnswered;
    qint64 m_deadline = 0;
    bool m_timedOut = false;
};

#endif // MODALANSWERER_H
