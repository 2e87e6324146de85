// The updater's entry point with an observer, so that end-to-end tests can run start-up paths that wait for
// a person: every message box is answered (its text recorded), the main window closed as soon as it shows, and
// each showing and hiding of the splash and of an install dialog recorded. Copied into a test root under a name
// that contains "kestraupd".
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
        // Answered from the event loop the box or window runs in, modal ones included, once its showing is over.
        if (auto *box = show ? qobject_cast<QMessageBox *>(watched) : nullptr) {
            record(QStringLiteral("messagebox\t") + box->text());
            QTimer::singleShot(0, box, [box] { box->done(QMessageBox::Ok); });
        } else if (auto *window = show ? qobject_cast<MainWindow *>(watched) : nullptr) {
            record(QStringLiteral("mainwindow"));
            QTimer::singleShot(0, window, &QWidget::close);
        }
        return false;
    }
};

} // namespace

int main(int argc, char *argv[])
{
    // Runs as soon as qMain has built the application object, before any window can show.
    qAddPreRoutine([] {
        QCoreApplication::instance()->installEventFilter(new Observer(QCoreApplication::instance()));
    });
    return qMain(argc, argv);
}
