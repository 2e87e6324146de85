// The updater's entry point with an observer: every message box is answered
// (its text is recorded) and the main window is closed as soon as it shows,
// so end-to-end tests can run start-up paths that wait for a person.
// Copied into a test root under a name that contains "kestraupd". With
// KESTRA_HARNESS_WINDOWS set, each showing and hiding of the splash and of an
// install dialog is recorded there in order.
#include "installdialog.h"
#include "mainwindow.h"
#include "startup.h"

#include <QApplication>
#include <QFile>
#include <QMessageBox>
#include <QSplashScreen>
#include <QTimer>

namespace {

void record(const QString &line, const char *variable = "KESTRA_HARNESS_LOG")
{
    QFile file(qEnvironmentVariable(variable));
    if (file.open(QIODevice::WriteOnly | QIODevice::Append))
        file.write((line + QLatin1Char('\n')).toUtf8());
}

void observe()
{
    const auto widgets = QApplication::topLevelWidgets();
    for (QWidget *widget : widgets) {
        if (!widget->isVisible())
            continue;
        if (auto *box = qobject_cast<QMessageBox *>(widget)) {
            record(QStringLiteral("messagebox\t") + box->text());
            box->done(QMessageBox::Ok);
        } else if (auto *window = qobject_cast<MainWindow *>(widget)) {
            record(QStringLiteral("mainwindow"));
            window->close();
        }
    }
}

class WindowRecorder : public QObject
{
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        const bool show = event->type() == QEvent::Show;
        if (!show && event->type() != QEvent::Hide)
            return false;
        const char *kind = qobject_cast<QSplashScreen *>(watched)  ? "splash"
                           : qobject_cast<InstallDialog *>(watched) ? "installdialog"
                                                                    : nullptr;
        if (kind)
            record(QStringLiteral("%1 %2").arg(QLatin1String(show ? "show" : "hide"), QLatin1String(kind)),
                   "KESTRA_HARNESS_WINDOWS");
        return false;
    }
};

} // namespace

int main(int argc, char *argv[])
{
    // Runs as soon as qMain has built the application object; the timer then
    // fires inside every event loop start-up enters, modal ones included.
    qAddPreRoutine([] {
        auto *timer = new QTimer(QCoreApplication::instance());
        QObject::connect(timer, &QTimer::timeout, observe);
        timer->start(100);
        if (qEnvironmentVariableIsSet("KESTRA_HARNESS_WINDOWS"))
            QCoreApplication::instance()->installEventFilter(new WindowRecorder(QCoreApplication::instance()));
    });
    return qMain(argc, argv);
}
