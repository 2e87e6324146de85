// The install dialog: its lines, its per-thread boxes and its states, with
// real install threads running against a folder server and an nginx server.
#include "guitest.h"
#include "installationlock.h"
#include "installdialog.h"
#include "installthread.h"
#include "messagecapture.h"
#include "nginxserver.h"
#include "startup.h"

#include <atomic>
#include <future>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QTextBrowser *browser(QWidget *dialog) { return child<QTextBrowser>(dialog, QStringLiteral("textBrowser")); }
QPushButton *cancelButton(QWidget *dialog) { return child(dialog, QStringLiteral("cancelButton")); }

const QString kTitle = QStringLiteral("Обновление программ");
const QString kBox = QStringLiteral("mainthread1111groupBox");

ModuleSpec bulkProgramm(const QString &name, const QString &guid, int files, int size)
{
    ModuleSpec module{name, QStringLiteral("project"), guid, QStringLiteral("Архив снимков"), {}, QStringLiteral("viewer"), {}, {}, {}, {}};
    for (int i = 0; i < files; ++i)
        module.files.insert(QStringLiteral("images/img%1.dat").arg(i, 3, 10, QLatin1Char('0')), patternBytes(size, quint32(100 + i)));
    return module;
}

// The largest data file of a pack swapped for a named pipe: a thread copying it blocks until letThrough() opens
// the pipe's other end (ending the copy short). The file is put back when the object dies.
class BlockedPackFile
{
public:
    ~BlockedPackFile()
    {
        letThrough();
        if (!m_path.isEmpty() && QFile::remove(m_path))
            writeFile(m_path, m_bytes);
    }
    bool block(const QString &packFolder, qint64 size)
    {
        for (QDirIterator it(packFolder, QDir::Files, QDirIterator::Subdirectories); it.hasNext() && m_path.isEmpty();)
            m_path = QFileInfo(it.next()).size() == size ? it.filePath() : QString();
        m_bytes = readFile(m_path);
        return !m_path.isEmpty() && QFile::remove(m_path) && ::mkfifo(QFile::encodeName(m_path).constData(), 0600) == 0;
    }
    // Opens the writing end without waiting for a reader, and closes it.
    void letThrough()
    {
        const int fd = m_path.isEmpty() ? -1 : ::open(QFile::encodeName(m_path).constData(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0)
            ::close(fd);
    }

private:
    QString m_path;
    QByteArray m_bytes;
};

} // namespace

class TestInstallDialog : public QObject
{
    Q_OBJECT

    UpdaterWorld world;
    NginxServer slowServer;
    QList<ModuleSpec> modules;

    // Every file of the program (all of them when whole) is in its folder and equal to what the pack holds:
    // a stopped run may leave files out, never half-written.
    void verifyFiles(const QString &programm, bool whole)
    {
        const ModuleSpec module = UpdaterWorld::find(modules, programm);
        for (auto it = module.files.constBegin(); it != module.files.constEnd(); ++it) {
            const QString path = world.path(programm + QLatin1Char('/') + it.key());
            if (whole || QFileInfo::exists(path))
                QVERIFY2(readFile(path) == it.value(), qPrintable(path));
        }
    }

    // config.ini for the given server (empty: the folder server), the program's folder removed.
    void prepare(const QString &programm, const QString &server = QString())
    {
        QVERIFY(world.configure(UpdaterWorld::programmGuids(modules), QString(), server));
        QDir(world.path(programm)).removeRecursively();
    }

    // Runs the dialog (modal) for one program; changeConfig registers the result.
    void start(InstallDialog &dialog, const QString &programm, const QStringList &plugins, bool closeWhenFinished,
               bool changeConfig)
    {
        dialog.setProgrammsToUpdate({{programm, plugins}});
        dialog.setInstallPath(world.root());
        dialog.setCloseWhenFinished(closeWhenFinished);
        dialog.setChangeConfig(changeConfig);
        dialog.startInstall(false);
    }

private slots:
    void initTestCase()
    {
        modules = UpdaterWorld::catalogue();
        modules << bulkProgramm(QStringLiteral("bulk_many"), QStringLiteral("a1b2c3d4-0000-4000-8000-00000000000a"), 12, 12 * 1024)
                << bulkProgramm(QStringLiteral("bulk_big"), QStringLiteral("a1b2c3d4-0000-4000-8000-00000000000b"), 1, 1024 * 1024);
        QString error;
        QVERIFY2(world.publish(modules, &error), qPrintable(error));
        // The same packs over HTTP at a crawl, so that runs last long enough to be watched and stopped. nginx
        // lets a response's first second through at once, so each small file of bulk_many takes about half a
        // second, and the one file of bulk_big about five.
        slowServer.setRoot(world.serverDir());
        slowServer.addServerDirective(QStringLiteral("location /packs/bulk_many/ { limit_rate 8k; }"));
        slowServer.addServerDirective(QStringLiteral("location /packs/bulk_big/ { limit_rate 200k; }"));
        QVERIFY2(slowServer.start(&error), qPrintable(error));
    }

    void messageLines_data()
    {
        QTest::addColumn<int>("type"); // 0 message, 1 error (both from the thread), 2 system message (the dialog's)
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("shown"); // in the pane; the log keeps text
        const QString text = QStringLiteral("Файл lab<1>.dll & co обновлён");
        QTest::newRow("message from the thread") << 0 << text << text;
        QTest::newRow("system message without a thread") << 2 << text << text;
        // The system's own reason, as the file functions really give it.
        QFile absent(world.path(QStringLiteral("нет/lab.dll")));
        QVERIFY(!absent.open(QIODevice::ReadOnly));
        const QString opening = QStringLiteral("Ошибка при открытии файла %1, ").arg(absent.fileName());
        QTest::newRow("error with the system's reason for a missing file")
            << 1 << opening + absent.errorString() << opening + QStringLiteral("нет такого файла или папки");
    }

    void messageLines()
    {
        QFETCH(int, type);
        const bool fromThread = type != 2;
        QFETCH(QString, text);
        QFETCH(QString, shown);
        InstallDialog dialog;
        InstallThread thread;
        thread.setTitle(kTitle);
        connect(&thread, &InstallThread::message, &dialog, &InstallDialog::message);
        connect(&thread, &InstallThread::error, &dialog, &InstallDialog::error);
        MessageCapture capture;
        if (fromThread)
            type == 0 ? emit thread.message(text) : emit thread.error(text);
        else
            dialog.systemMessage(text);

        // One line: time stamp (its five blanks are one once rendered as rich text), text, thread title.
        const QString line = browser(&dialog)->toPlainText();
        const QDateTime when = QDateTime::fromString(line.left(19), QStringLiteral("dd.MM.yyyy hh:mm:ss"));
        QVERIFY2(when.isValid() && qAbs(when.secsTo(QDateTime::currentDateTime())) < 60, qPrintable(line));
        QCOMPARE(line.mid(20), shown + (fromThread ? QStringLiteral(" [") + kTitle + QLatin1Char(']') : QString()));
        // Messages green, errors red (and warnings in the log), system messages black.
        QTextCursor cursor(browser(&dialog)->document()->lastBlock());
        cursor.movePosition(QTextCursor::EndOfBlock);
        QCOMPARE(cursor.charFormat().foreground().color(),
                 QList<QColor>({QColor(0, 100, 0), QColor(Qt::red), QColor(Qt::black)}).at(type));
        QVERIFY(capture.contains(type == 1 ? QtWarningMsg : QtInfoMsg, text));
        QVERIFY(type == 1 || !capture.contains(QtWarningMsg, text));
    }

    void revealDelay_data()
    {
        // A run that finds everything current and shows no window is tst_startupruns' up-to-date shortcut start.
        QTest::addColumn<bool>("installedBefore");
        QTest::addColumn<int>("delayMs");
        // The delay of 60 s outlasts the run: only its files can show it.
        QTest::newRow("files to bring show the window before its delay") << false << 60000;
        QTest::newRow("a run that lasts its delay shows the window") << true << 0;
    }

    void revealDelay()
    {
        QFETCH(bool, installedBefore);
        QFETCH(int, delayMs);
        const QString programm = QStringLiteral("kestra_reg");
        prepare(programm);
        ModalAnswerer answerer(60000);
        if (installedBefore) {
            InstallDialog first; // without a delay: shown
            start(first, programm, {QStringLiteral("reg_core")}, true, false);
        }
        QCOMPARE(world.has(QStringLiteral("kestra_reg/reg")), installedBefore);
        InstallDialog dialog;
        dialog.setRevealDelay(delayMs);
        start(dialog, programm, {QStringLiteral("reg_core")}, true, false);
        QVERIFY(!answerer.timedOut());
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QVERIFY(!dialog.isVisible());
        QCOMPARE(answerer.titles().size(), int(installedBefore) + 1); // and no box
        QVERIFY(world.has(QStringLiteral("kestra_reg/reg")));
        const QString log = browser(&dialog)->toPlainText();
        QVERIFY2(log.endsWith(QStringLiteral("Обновление Обновление программ закончено [Обновление программ]")),
                 qPrintable(log));
    }

    void cancelStopsTheRun_data()
    {
        // refusals: while the run is under way, a second start, a close and Escape (a close too) are each refused.
        // restart: the stopped thread is kept busy past the dialog's wait (as by a long copy), a new run starts.
        // blocked: the local copy blocks (a pipe no one writes yet); the thread is let go, and the hand-over at
        // exit waits for it before it starts the copier. No torn file and no registration after a cancel inside
        // a long download is the large-file row of tst_engine's interruption.
        QTest::addColumn<QString>("programm");
        QTest::addColumn<QString>("how");
        QTest::newRow("between small files, after a second start and two closes were refused")
            << "bulk_many" << "refusals";
        QTest::newRow("inside a long download, run again while the stopped thread ends") << "bulk_big" << "restart";
        QTest::newRow("blocked in a local copy, hand-over waits for it") << "bulk_big" << "blocked";
    }

    void cancelStopsTheRun()
    {
        QFETCH(QString, programm);
        QFETCH(QString, how);
        const bool refusals = how == "refusals", restart = how == "restart", blocked = how == "blocked";
        prepare(programm, blocked ? QString() : slowServer.baseUrl() + QStringLiteral("/project.xml"));
        BlockedPackFile blockedFile;
        QVERIFY(!blocked || blockedFile.block(world.serverDir() + QStringLiteral("/packs/bulk_big"), 1024 * 1024));
        const QByteArray registryBefore = readFile(world.registryPath());
        std::atomic<bool> held{false};

        InstallDialog dialog;
        QElapsedTimer sinceCancel, sinceBox;
        qint64 stoppedAfter = -1;
        bool boxGone = false;
        ModalAnswerer answerer(60000);
        if (refusals) {
            const QList<std::function<void()>> requests{[&dialog] { dialog.startInstall(false); },
                                                        [&dialog] { dialog.close(); },
                                                        [&dialog] { QTest::keyClick(&dialog, Qt::Key_Escape); }};
            for (const auto &request : requests) {
                // Once the run is under way (its box is up), asks for something the dialog must refuse.
                answerer.then([&dialog, request](QWidget *w) {
                    const bool running = w == &dialog && child<QGroupBox>(w, kBox);
                    if (running)
                        QTimer::singleShot(0, &dialog, request);
                    return running;
                });
                answerer.then(ModalAnswerer::clickBox(QMessageBox::Ok, QStringLiteral("Ошибка")));
            }
        }
        // The cancel step needs the dialog still running: no refused request closed it or ended the run.
        answerer
            .then([&](QWidget *w) {
                // Wait until the run is well under way: some progress, or long enough inside the first (large)
                // file; a blocked copy shows no progress at all, and by then the thread is long inside it.
                auto *bar = child<QProgressBar>(w, QStringLiteral("mainthread1111progressBar"));
                if (w != &dialog || !bar)
                    return false;
                if (!sinceBox.isValid())
                    sinceBox.start();
                if (bar->value() <= 0 && sinceBox.elapsed() < (blocked ? 1500 : 700))
                    return false;
                auto *thread = child<InstallThread>(w, QStringLiteral("mainthread1111"));
                if (restart && thread) {
                    connect(thread, &InstallThread::progress, thread, [thread, &held](int, int, const QString &) {
                        if (thread->isInterruptionRequested() && !held.exchange(true))
                            QThread::msleep(2500);
                    }, Qt::DirectConnection);
                }
                sinceCancel.start();
                cancelButton(w)->click();
                return true;
            })
            .then([&](QWidget *w) {
                if (w != &dialog || cancelButton(w)->text() != QStringLiteral("Закрыть"))
                    return false;
                stoppedAfter = sinceCancel.elapsed();
                QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
                boxGone = !child<QGroupBox>(w, kBox);
                cancelButton(w)->click();
                return true;
            });
        start(dialog, programm, {}, false, true);
        const qint64 closedAfter = sinceCancel.elapsed();
        QVERIFY(!answerer.timedOut() && answerer.allAnswered());
        QVERIFY2(stoppedAfter >= 0 && stoppedAfter < 1600, qPrintable(QString::number(stoppedAfter)));
        QVERIFY(boxGone);
        QVERIFY2(closedAfter < 2500, qPrintable(QString::number(closedAfter)));
        const QStringList refused{"Ошибка|Установка уже запущена!!!", "Ошибка|Выполняется обновление!!!",
                                  "Ошибка|Выполняется обновление!!!"};
        QCOMPARE(answerer.boxes(), refusals ? refused : QStringList());

        if (blocked) {
            QCOMPARE(InstallDialog::runningDetachedThreads(), 1);
            Settings::instance()->setSelfUpdatePending(true);
            InstallationLock lock(world.root());
            QVERIFY(lock.acquire(0));
            auto release = std::async(std::launch::async, [&blockedFile] {
                std::this_thread::sleep_for(std::chrono::milliseconds(1500));
                blockedFile.letThrough();
            });
            MessageCapture capture;
            handOverAtExit(lock);
            // The copier (none beside the tests, so starting it fails and says so) was tried only after the thread.
            QCOMPARE(InstallDialog::runningDetachedThreads(), 0);
            QVERIFY(capture.contains(QtWarningMsg, QStringLiteral("can't start copyer from ")));
            QVERIFY(!lock.isHeld());
            release.wait();
            Settings::instance()->setSelfUpdatePending(false);
        }
        if (restart) {
            // While the stopped thread ends the new run neither freezes the window nor refuses; it waits, then runs.
            QVERIFY(InstallDialog::runningDetachedThreads() > 0);
            QElapsedTimer sinceStart;
            qint64 shownAfter = -1;
            answerer.then([&](QWidget *w) {
                shownAfter = sinceStart.elapsed();
                return qobject_cast<InstallDialog *>(w) != nullptr;
            });
            InstallDialog second;
            sinceStart.start();
            start(second, programm, {}, true, true);
            QVERIFY(!answerer.timedOut() && answerer.allAnswered());
            QVERIFY2(shownAfter >= 0 && shownAfter < 700, qPrintable(QString::number(shownAfter)));
            verifyFiles(programm, true);
            QVERIFY(readFile(world.registryPath()).contains(programm.toUtf8()));
            return;
        }
        // Whatever was let go ends on its own and releases what it holds.
        QVERIFY(InstallDialog::waitForDetachedThreads(60000));
        verifyFiles(programm, false);
        QCOMPARE(readFile(world.registryPath()), registryBefore);
        auto writer = std::async(std::launch::async, [] {
            Settings::instance()->setValue(QStringLiteral("tests"), QStringLiteral("after_cancel"), 1);
        });
        QVERIFY2(writer.wait_for(std::chrono::seconds(10)) == std::future_status::ready,
                 "the settings writers' lock is still held");
    }

    void cleanupTestCase()
    {
        slowServer.stop();
        InstallDialog::waitForDetachedThreads(30000);
    }
};

KESTRA_GUI_TEST_MAIN(TestInstallDialog)
#include "tst_installdialog.moc"
