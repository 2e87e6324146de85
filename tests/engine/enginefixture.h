#ifndef ENGINEFIXTURE_H
#define ENGINEFIXTURE_H

#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// One signal line printed by the install driver.
struct DriverLine
{
    QString kind; // message, error, status, progress, finished
    QString text;
    int nDo = 0;
    int nAll = 0;
};

struct DriverRun
{
    bool finished = false; // exited 0 after printing "finished"
    bool selfUpdatePending = false;
    QList<DriverLine> lines;
    QByteArray rawOutput;

    QStringList texts(const QString &kind) const;
    bool hasError(const QString &fragment) const;
    int count(const QString &kind) const;
};

// A project element of the test's project document.
struct ElementSpec
{
    QString name;
    QString type;  // "project" for a program
    QString guid;
    QString ruName;
    QString pack;  // pack folder relative to the document's folder; empty: no binary
    QMap<QString, bool> depends;
    QStringList doNotDelete;
    QString executeFilename;
    QString executeParams;
};

// An isolated installation: a temporary root holding the install root
// (with the driver copied into its updater folder, so the install root the
// settings derive from the executable's folder is ours) and a server folder
// with packs built by the real pack builder.
class EngineFixture
{
public:
    // driverName decides the edition (application name), updaterFolder the
    // flavour ("_dev" in it makes a development installation).
    bool init(const QString &driverName = QStringLiteral("installdriver"),
              const QString &updaterFolder = QStringLiteral("updater"));

    QString root() const { return m_dir.path(); }
    QString installRoot() const { return root() + QStringLiteral("/install"); }
    QString updaterDir() const { return installRoot() + QLatin1Char('/') + m_updaterFolder; }
    QString serverDir() const { return root() + QStringLiteral("/server"); }
    QString registryPath() const { return root() + QStringLiteral("/installed.json"); }
    QString driverPath() const { return updaterDir() + QLatin1Char('/') + m_driverName; }

    // Writes files (relative path -> content) as a source tree under root/trees/name.
    QString makeTree(const QString &name, const QMap<QString, QByteArray> &files);
    // Packs tree as module into serverDir()/packFolder with packwright.
    bool buildPack(const QString &module, const QString &tree, const QString &packFolder, QString *error = nullptr);
    // Writes serverDir()/fileName as a project document.
    void writeProject(const QList<ElementSpec> &elements, const QString &fileName = QStringLiteral("project.xml"));
    // config.ini with one server (local path or URL of the project document),
    // the admitted guids and extra INI lines (e.g. "[config]\nversion=x32").
    void writeConfig(const QString &sourcePath, const QStringList &guids, const QString &extra = QString());

    // Temporary folder of the driver (TMPDIR); empty: the system's. On another
    // file system than the install root, verified files are copied beside
    // their targets instead of moved.
    void setTempDir(const QString &path) { m_tempDir = path; }

    DriverRun run(const QStringList &arguments, int timeoutMs = 120000) const;
    // Starts the driver without waiting (for kill tests).
    bool startDetached(QProcess *process, const QStringList &arguments) const;
    static DriverRun parse(const QByteArray &output, int exitCode);

    QJsonObject registry() const;

private:
    void applyEnvironment(QProcess *process) const;

    QTemporaryDir m_dir;
    QString m_driverName;
    QString m_updaterFolder;
    QString m_tempDir;
};

// True when installed holds exactly the files of tree, plus the module's
// local record update_fileinfo.xml (and, when given, the extra names), with
// equal bytes.
bool moduleEquals(const QString &installed, const QString &tree, QString *why = nullptr,
                  const QStringList &extra = QStringList());

// Snapshot of every file under root (relative path -> content), skipping the
// given top-level names.
QMap<QString, QByteArray> snapshot(const QString &root, const QStringList &skipTopLevel = QStringList());

#endif // ENGINEFIXTURE_H
