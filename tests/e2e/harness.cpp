// The updater's entry point with an observer: every message box is answered
// (its text is recorded) and the main window is closed as soon as it shows,
// so end-to-end tests can run start-up paths that wait for a person.
// Copied into a test root under a name that contains "kestraupd".
#include "mainwindow.h"
#include "startup.h"

#include <QApplication>
#include <QFile>
#include <QMessageBox>
#include <QTimer>

namespace {

void record(const QString &line)
{
    QFile file(qEnvironmentVariable("KESTRA_HARNESS_LOG"));
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

} // namespace

int main(int argc, char *argv[])
{
    // Runs as soon as qMain has built the application object; the timer then
    // fires inside every event loop start-up enters, modal ones included.
    qAddPreRoutine([] {
        auto *timer = new QTimer(QCoreApplication::instance());
        QObject::connect(timer, &QTimer::timeout, observe);
        timer->start(100);
    });
    return qMain(argc, argv);
}
