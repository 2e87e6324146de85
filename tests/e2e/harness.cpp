// The updater's entry point with an observer: every message box is answered
// (its text is recorded) and the main window is closed as soon as it shows,
// so end-to-end tests can run start-up paths that wait for a person.
// Copied into a test root under a name that contains "kestraupd". Each
// showing and hiding of the splash and of an install dialog is recorded too.
#include "installdialog.h"
#include "mainwindow.h"
#include "startup.h"

#include <QApplication>
#include <QFile>
#include <QMessageBox>
#include <QSplashScreen>
#include <QTimer>

namespace {

void record(const QString &line)
{
    QFile file(qEnvironmentVariable("KESTRA_HARNESS_LOG"));
    if (file.open(QIODevice::WriteOnly | QIODevice::Append))
        file.write((line + QLatin1Char('\n')).toUtf8());
}

class Observer : public QObject
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
            record(QStringLiteral("%1 %2").arg(QLatin1String(show ? "show" : "hide"), QLatin1String(kind)));
        // Answered from the event loop the box or window runs in, modal ones
        // included, once its showing is over.
        auto *box = show ? qobject_cast<QMessageBox *>(watched) : nullptr;
        auto *window = show ? qobject_cast<MainWindow *>(watched) : nullptr;
        if (box) {
            record(QStringLiteral("messagebox\t") + box->text());
            QTimer::singleShot(0, box, [box] { box->done(QMessageBox::Ok); });
        } else if (window) {
            record(QStringLiteral("mainwindow"));
            QTimer::singleShot(0, window, &QWidget::close);
        }
        return false;
    }
};

} // namespace

int main(int argc, char *argv[])
{
    // Runs as soon as qMain has built the application object, before any
    // window can show.
    qAddPreRoutine([] {
        QCoreApplication::instance()->installEventFilter(new Observer(QCoreApplication::instance()));
    });
    return qMain(argc, argv);
}
