#include "modalanswerer.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDateTime>
#include <QDialog>
#include <QEvent>
#include <QMessageBox>
#include <QPushButton>
#include <QTextBrowser>

ModalAnswerer::ModalAnswerer(int deadlineMs, QObject *parent)
    : QObject(parent)
    , m_deadline(QDateTime::currentMSecsSinceEpoch() + deadlineMs)
{
    qApp->installEventFilter(this);
    connect(&m_timer, &QTimer::timeout, this, &ModalAnswerer::tick);
    m_timer.start(20);
}

ModalAnswerer::~ModalAnswerer()
{
    qApp->removeEventFilter(this);
}

ModalAnswerer &ModalAnswerer::then(const Step &step)
{
    m_steps.append(step);
    return *this;
}

QStringList ModalAnswerer::boxes() const
{
    QStringList result;
    for (const SeenDialog &seen : m_seen) {
        if (seen.className == QLatin1String("QMessageBox"))
            result.append(seen.title + QLatin1Char('|') + seen.text);
    }
    return result;
}

bool ModalAnswerer::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Show) {
        auto *widget = qobject_cast<QWidget *>(watched);
        if (widget && widget->isWindow() && qobject_cast<QDialog *>(widget)) {
            SeenDialog seen;
            seen.className = QString::fromLatin1(widget->metaObject()->className());
            seen.objectName = widget->objectName();
            seen.title = widget->windowTitle();
            if (auto *box = qobject_cast<QMessageBox *>(widget)) {
                seen.text = box->text();
                seen.icon = box->icon();
            }
            m_seen.append(seen);
        }
    }
    return QObject::eventFilter(watched, event);
}

void ModalAnswerer::tick()
{
    QWidget *modal = QApplication::activeModalWidget();
    if (QDateTime::currentMSecsSinceEpoch() > m_deadline) {
        m_timedOut = true;
        if (!modal)
            return;
        // Close whatever is open so that the test can report its failure.
        if (auto *box = qobject_cast<QMessageBox *>(modal)) {
            box->done(QMessageBox::Cancel);
        } else if (auto *dialog = qobject_cast<QDialog *>(modal)) {
            if (auto *cancel = dialog->findChild<QPushButton *>(QStringLiteral("cancelButton")))
                cancel->click();
            dialog->done(QDialog::Rejected);
        }
        return;
    }
    if (!modal || m_steps.isEmpty())
        return;
    if (m_steps.first()(modal)) {
        m_steps.removeFirst();
        m_lastAnswered = modal;
    }
}

ModalAnswerer::Step ModalAnswerer::clickBox(int standardButton, const QString &expectTitle)
{
    return [standardButton, expectTitle](QWidget *widget) {
        auto *box = qobject_cast<QMessageBox *>(widget);
        if (!box || (!expectTitle.isEmpty() && box->windowTitle() != expectTitle))
            return false;
        QAbstractButton *button = box->button(static_cast<QMessageBox::StandardButton>(standardButton));
        if (!button)
            return false;
        button->click();
        return true;
    };
}

ModalAnswerer::Step ModalAnswerer::rejectDialog(const QString &className)
{
    return [className](QWidget *widget) {
        auto *dialog = qobject_cast<QDialog *>(widget);
        if (!dialog || QString::fromLatin1(dialog->metaObject()->className()) != className)
            return false;
        dialog->reject();
        return true;
    };
}

ModalAnswerer::Step ModalAnswerer::closeInstallDialogWhenDone(QString *log)
{
    return [log](QWidget *widget) {
        if (QString::fromLatin1(widget->metaObject()->className()) != QLatin1String("InstallDialog"))
            return false;
        auto *button = widget->findChild<QPushButton *>(QStringLiteral("cancelButton"));
        if (!button || button->text() != QStringLiteral("Закрыть"))
            return false;
        if (log) {
            if (auto *browser = widget->findChild<QTextBrowser *>(QStringLiteral("textBrowser")))
                *log = browser->toPlainText();
        }
        button->click();
        return true;
    };
}
