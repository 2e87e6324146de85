#ifndef GUITEST_H
#define GUITEST_H

#include "packworld.h"
#include "privateroot.h"
#include "settings.h"
#include "testfiles.h"

// All of QtWidgets (with QtGui and QtCore), so that no window test needs a list of its own.
#include <QtTest>
#include <QtWidgets>

#include <functional>
#include <memory>

template <class T = QPushButton>
T *child(const QObject *parent, const QString &name) { return parent->findChild<T *>(name); }

// The row "programm" (column 1 holds its name) or "programm/plugin".
inline QTreeWidgetItem *findTreeRow(QTreeWidget *tree, const QString &path)
{
    const QString name = path.section(QLatin1Char('/'), -1);
    for (QTreeWidgetItem *item : tree->findItems(name, Qt::MatchExactly | Qt::MatchRecursive, 1)) {
        if ((item->parent() ? item->parent()->text(1) + QLatin1Char('/') : QString()) + item->text(1) == path)
            return item;
    }
    return nullptr;
}

// The window tests' world lies in their private install root; the updater's folder is the one the test runs from.
class UpdaterWorld : public PackWorld
{
public:
    UpdaterWorld() : PackWorld(privateInstallRoot(), Settings::applicationDir()) {}

    QString path(const QString &relative) const { return root() + QLatin1Char('/') + relative; }
    bool has(const QString &relative) const { return QFileInfo::exists(path(relative)); }

    // As start-up does: config.ini, then projects, mirrors and the installed programs.
    void load() const
    {
        Settings *settings = Settings::instance();
        settings->setConfigPath(configPath());
        settings->fillProjects();
        settings->fillMirrors();
        settings->loadInstalledProgramms();
    }

    bool configure(const QStringList &guids, const QString &extraIni = QString(), const QString &source = QString())
    {
        const bool written = writeConfig(guids, extraIni, source);
        load();
        return written;
    }
};

// Answers the modal windows the code under test opens, in order: each step is offered the active modal window on
// every tick until it returns true, so it may wait for a condition. Past the deadline every modal window is closed,
// so a test never hangs, and timedOut() fails it. Every dialog shown is recorded, even one too fast to answer.
class ModalAnswerer : public QObject
{
public:
    using Step = std::function<bool(QWidget *)>;
    explicit ModalAnswerer(int deadlineMs = 60000) : m_deadline(QDateTime::currentMSecsSinceEpoch() + deadlineMs)
    {
        qApp->installEventFilter(this);
        connect(&m_timer, &QTimer::timeout, this, [this] { tick(); });
        m_timer.start(20);
    }
    ~ModalAnswerer() override { qApp->removeEventFilter(this); }

    ModalAnswerer &then(const Step &step)
    {
        m_steps.append(step);
        return *this;
    }
    bool allAnswered() const { return m_steps.isEmpty(); }
    bool timedOut() const { return m_timedOut; }
    QStringList titles() const { return m_titles; } // of every dialog seen
    QStringList boxes() const { return m_boxes; }   // message boxes seen, as "title|text"
    QList<int> icons() const { return m_icons; }    // theirs, as QMessageBox::Icon

    static Step clickBox(int standardButton, const QString &expectTitle = QString())
    {
        return [standardButton, expectTitle](QWidget *widget) {
            auto *box = qobject_cast<QMessageBox *>(widget);
            QAbstractButton *button = box && (expectTitle.isEmpty() || box->windowTitle() == expectTitle)
                                          ? box->button(QMessageBox::StandardButton(standardButton))
                                          : nullptr;
            if (button)
                button->click();
            return button != nullptr;
        };
    }
    // Waits for the end of an install dialog's run, keeps its log and closes it with its own button.
    static Step closeInstallDialogWhenDone(QString *log = nullptr)
    {
        return [log](QWidget *widget) {
            auto *button = child(widget, QStringLiteral("cancelButton"));
            if (!widget->inherits("InstallDialog") || !button || button->text() != QStringLiteral("Закрыть"))
                return false;
            if (log)
                *log = child<QTextBrowser>(widget, QStringLiteral("textBrowser"))->toPlainText();
            button->click();
            return true;
        };
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        auto *dialog = qobject_cast<QDialog *>(watched);
        if (event->type() == QEvent::Show && dialog && dialog->isWindow()) {
            m_titles.append(dialog->windowTitle());
            if (auto *box = qobject_cast<QMessageBox *>(dialog)) {
                m_boxes.append(box->windowTitle() + QLatin1Char('|') + box->text());
                m_icons.append(box->icon());
            }
        }
        return QObject::eventFilter(watched, event);
    }

private:
    void tick()
    {
        QWidget *modal = QApplication::activeModalWidget();
        if (QDateTime::currentMSecsSinceEpoch() > m_deadline) {
            m_timedOut = true;
            // Close whatever is open so that the test can report its failure.
            if (auto *dialog = qobject_cast<QDialog *>(modal)) {
                if (auto *cancel = child(dialog, QStringLiteral("cancelButton")))
                    cancel->click();
                dialog->done(qobject_cast<QMessageBox *>(modal) ? int(QMessageBox::Cancel) : int(QDialog::Rejected));
            }
        } else if (modal && !m_steps.isEmpty() && m_steps.first()(modal)) {
            m_steps.removeFirst();
        }
    }

    QTimer m_timer;
    QList<Step> m_steps;
    QStringList m_titles;
    QStringList m_boxes;
    QList<int> m_icons;
    qint64 m_deadline = 0;
    bool m_timedOut = false;
};

// The window tests run as a copy named like the updater ("kestraupd", so the kestra edition applies) in a private
// install root, with a private home, so nothing they install, register or link lands in the build tree or desktop.
inline void usePrivateHome()
{
    const QByteArray home = QFile::encodeName(privateInstallRoot() + QStringLiteral("/home"));
    QDir().mkpath(QFile::decodeName(home + "/Desktop"));
    qputenv("HOME", home);
    qputenv("XDG_CONFIG_HOME", home + "/.config");
    qputenv("XDG_DATA_HOME", home + "/.local/share");
    qputenv("XDG_DESKTOP_DIR", home + "/Desktop");
}

#define KESTRA_GUI_TEST_MAIN(TestObject)                                                                         \
    int main(int argc, char *argv[])                                                                             \
    {                                                                                                            \
        if (const int relocation = enterPrivateInstallRoot(argv, "kestraupd", "kestraupd"))                      \
            return relocation;                                                                                   \
        usePrivateHome();                                                                                        \
        QApplication app(argc, argv);                                                                            \
        /* the test object and all it started are gone before its root is */                                     \
        const int result = QTest::qExec(std::make_unique<TestObject>().get(), argc, argv);                       \
        removePrivateInstallRoot();                                                                              \
        return result;                                                                                           \
    }

#endif // GUITEST_H
