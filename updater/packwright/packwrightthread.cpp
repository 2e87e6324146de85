#include "packwrightthread.h"

#include "entryname.h"
#include "fileops.h"
#include "packswap.h"
#include "sha1digest.h"
#include "signature.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QUuid>
#include <QVector>
#include <QXmlStreamWriter>

namespace {

// Pops the walk stack on every way out of a folder.
class WalkGuard
{
public:
    WalkGuard(QStringList &stack, const QString &path) : m_stack(stack) { m_stack.append(path); }
    ~WalkGuard() { m_stack.removeLast(); }
    WalkGuard(const WalkGuard &) = delete;
    WalkGuard &operator=(const WalkGuard &) = delete;

private:
    QStringList &m_stack;
};

// One file of a folder on its way into the data folder.
struct FileCopyJob
{
    QString name;   // in the source folder
    QString source; // path of the source file
    QString stored; // name in the data folder
    QString target; // path of the stored copy
    QString hash;
    QString sha256;
    qint64 size = 0;
    bool ok = false;
    bool readable = false; // the source opens for reading
    QString reason;
};

// "name.ext" -> "name_n.ext"; a name without a dot gets the number at its end.
QString numberedName(const QString &name, int n)
{
    const int dot = name.lastIndexOf(QLatin1Char('.'));
    const QString number = QLatin1Char('_') + QString::number(n);
    return dot < 0 ? name + number : name.left(dot) + number + name.mid(dot);
}

// A module name becomes a folder of the output and the first part of every
// "data" text, so it must stay a relative path inside the output folder.
bool isSafeModuleName(const QString &name)
{
    const QStringList segments = name.split(QLatin1Char('/'));
    for (const QString &segment : segments) {
        if (!isPortableEntryName(segment))
            return false;
    }
    return true;
}

} // namespace

PackwrightThread::PackwrightThread(QObject *parent)
    : QThread(parent),
      m_fileInfoBaseName(QStringLiteral("update_fileinfo")),
      m_allowedCharacters(QStringLiteral("zxcvbnmasdfghjklqwertyuiop1234567890._-+"))
{
    m_copyPool.setMaxThreadCount(qMax(2, QThread::idealThreadCount()));
}

void PackwrightThread::takeArguments(const QStringList &arguments)
{
    for (int i = 0; i + 1 < arguments.size(); ++i) {
        const QString &flag = arguments.at(i);
        if (flag == QLatin1String("-m"))
            m_moduleName = arguments.at(i + 1);
        else if (flag == QLatin1String("-f"))
            m_sourcePath = arguments.at(i + 1);
        else if (flag == QLatin1String("-o"))
            m_outputPath = arguments.at(i + 1);
        else if (flag == QLatin1String("-k"))
            m_keyPath = arguments.at(i + 1);
        else if (flag == QLatin1String("--new-key"))
            m_newKeyName = arguments.at(i + 1);
        else if (flag == QLatin1String("--sign"))
            m_signPath = arguments.at(i + 1);
        else if (flag == QLatin1String("--expires"))
            m_expiresText = arguments.at(i + 1);
    }
}

void PackwrightThread::run()
{
    build();
    Sha1Digest::releaseThreadState();
}

void PackwrightThread::build()
{
    if (!m_newKeyName.isEmpty())
        m_resultCode = makeKeyPair();
    else if (!m_signPath.isEmpty())
        m_resultCode = signDocument();
    else
        buildPack();
}

int PackwrightThread::makeKeyPair()
{
    QString error;
    QByteArray publicKey;
    if (!writeSigningKeyPair(m_newKeyName, &publicKey, &error)) {
        qCritical().noquote() << QStringLiteral("can't make key pair: ") + error;
        return OutputFailed;
    }
    qInfo().noquote() << QStringLiteral("key pair written: %1.key (private), %1.pub (public), key id %2")
                             .arg(m_newKeyName, signingKeyId(publicKey));
    return Success;
}

int PackwrightThread::signDocument()
{
    if (!QFileInfo(m_signPath).isFile()) {
        qCritical().noquote() << QStringLiteral("document to sign: ") + m_signPath + QStringLiteral(" not found.");
        return BadParameters;
    }
    if (m_keyPath.isEmpty()) {
        qCritical().noquote() << QStringLiteral("no private key (-k) to sign with");
        return BadParameters;
    }
    if (!checkSigningParams())
        return BadParameters;
    QString error;
    if (!signDocumentFile(m_signPath, m_signingKey, m_expires, &error)) {
        qCritical().noquote() << QStringLiteral("can't sign document: ") + error;
        return OutputFailed;
    }
    qInfo().noquote() << QStringLiteral("signed: ") + signatureFilePath(m_signPath);
    return Success;
}

bool PackwrightThread::checkSigningParams()
{
    m_signingKey.clear();
    m_expires = QDateTime();
    if (m_keyPath.isEmpty()) {
        if (m_expiresText.isEmpty())
            return true;
        qCritical().noquote() << QStringLiteral("--expires without a private key (-k)");
        return false;
    }
    QString error;
    QByteArray publicKey;
    if (!loadSigningKey(m_keyPath, &m_signingKey, &publicKey, &error)) {
        qCritical().noquote() << QStringLiteral("bad private key: ") + error;
        return false;
    }
    if (m_expiresText.isEmpty())
        return true;
    // A number of days from now, or a UTC time as "2027-06-01T00:00:00Z".
    bool isNumber = false;
    const int days = m_expiresText.toInt(&isNumber);
    const QDateTime now = QDateTime::currentDateTimeUtc();
    m_expires = isNumber ? (days > 0 && days <= 36600 ? now.addDays(days) : QDateTime())
                         : QDateTime::fromString(m_expiresText, Qt::ISODate).toUTC();
    if (!m_expires.isValid() || m_expires <= now) {
        qCritical().noquote() << QStringLiteral("bad expiry (days from now or a future UTC time): ") + m_expiresText;
        m_signingKey.clear();
        return false;
    }
    m_expires = m_expires.addMSecs(-m_expires.time().msec());
    return true;
}

void PackwrightThread::buildPack()
{
    // The key first: a build that cannot be signed creates no output folder.
    if (!checkSigningParams() || !checkParams()) {
        m_resultCode = BadParameters;
        return;
    }

    // The pack is assembled in a hidden folder inside the output folder: on
    // the same volume, so the finished pack moves into place by renames and
    // a failure at any point leaves the previous pack whole.
    QTemporaryDir staging(QDir(m_outputPath).absoluteFilePath(QStringLiteral(".packwright-XXXXXX")));
    if (!staging.isValid()) {
        qCritical().noquote() << QStringLiteral("can't create staging folder in output path: ") + m_outputPath
                                     + QStringLiteral(", error: ") + staging.errorString();
        m_resultCode = OutputFailed;
        return;
    }
    if (!writePack(staging.path())) {
        m_resultCode = BuildFailed;
        return;
    }

    const QDir output(m_outputPath);
    const QString stagedModule = QDir(staging.path()).filePath(m_moduleName);
    QString error;
    if (!carryHiddenEntries(output.filePath(m_moduleName), stagedModule, &error)) {
        qCritical().noquote() << QStringLiteral("can't keep hidden files of the module output path: ") + error;
        m_resultCode = OutputFailed;
        return;
    }
    // The document goes last, so a document in the output always finds its
    // data in place.
    QStringList entries = {m_moduleName, m_fileInfoBaseName + QStringLiteral(".sha1"),
                           m_fileInfoBaseName + QStringLiteral(".xml")};
    const QString signatureName = m_fileInfoBaseName + QStringLiteral(".sig");
    // The signature goes in just before its document: between the two
    // renames a reader finds a pair that does not match and refuses it,
    // never a changed document that it accepts.
    if (!m_signingKey.isEmpty())
        entries.insert(2, signatureName);
    if (!swapIntoOutput(staging.path(), output.absolutePath(), entries,
                        QDir(staging.path()).filePath(QStringLiteral("previous")), &error)) {
        qCritical().noquote() << QStringLiteral("can't copy pack to output path: ") + m_outputPath
                                     + QStringLiteral(", error: ") + error;
        m_resultCode = OutputFailed;
        return;
    }

    // An unsigned build leaves no signature of the previous document behind:
    // it would only ever fail to match.
    if (m_signingKey.isEmpty() && QFileInfo::exists(output.filePath(signatureName))
        && !QFile::remove(output.filePath(signatureName)))
        qWarning().noquote() << QStringLiteral("can't remove the previous signature ") + output.filePath(signatureName);

    // The previous pack now lies in the staging folder; what cannot be
    // deleted stays there, hidden, and does not make the build fail.
    removeFolderData(staging.path());
    staging.setAutoRemove(false);
    if (!QDir(staging.path()).removeRecursively() || QFileInfo::exists(staging.path()))
        qWarning().noquote() << QStringLiteral("can't remove folder ") + staging.path();
}

bool PackwrightThread::checkParams()
{
    if (m_moduleName.isEmpty()) {
        qCritical().noquote() << QStringLiteral("empty module name.");
        return false;
    }
    if (!isSafeModuleName(m_moduleName)) {
        qCritical().noquote() << QStringLiteral("bad module name: ") + m_moduleName;
        return false;
    }
    if (m_sourcePath.isEmpty()) {
        qCritical().noquote() << QStringLiteral("empty source path");
        return false;
    }
    if (!QFileInfo(m_sourcePath).isDir()) {
        qCritical().noquote() << QStringLiteral("source path: ") + m_sourcePath + QStringLiteral(" not found.");
        return false;
    }
    if (m_outputPath.isEmpty()) {
        qCritical().noquote() << QStringLiteral("empty output path");
        return false;
    }
    QDir output(m_outputPath);
    if (!output.exists() && !QDir().mkpath(m_outputPath)) {
        qCritical().noquote() << QStringLiteral("can't create output path: ") + m_outputPath;
        return false;
    }
    if (!output.exists(m_moduleName) && !output.mkpath(m_moduleName)) {
        qCritical().noquote() << QStringLiteral("can't create module output path: ")
                                     + output.absoluteFilePath(m_moduleName);
        return false;
    }
    return true;
}

bool PackwrightThread::writePack(const QString &folder)
{
    const QDir dir(folder);
    QFile document(dir.filePath(m_fileInfoBaseName + QStringLiteral(".xml")));
    if (!document.open(QIODevice::WriteOnly)) {
        qCritical().noquote() << QStringLiteral("can't open writeOnly file: ") + document.fileName()
                                     + QStringLiteral(", error: ") + document.errorString();
        return false;
    }
    if (!dir.exists(m_moduleName) && !dir.mkpath(m_moduleName)) {
        qCritical().noquote() << QStringLiteral("can't create folder: ") + dir.absoluteFilePath(m_moduleName);
        return false;
    }

    QXmlStreamWriter writer(&document);
    writer.setAutoFormatting(true);
    writer.writeStartDocument();
    writer.writeStartElement(QStringLiteral("updater_pack"));
    writer.writeAttribute(QStringLiteral("datetime"), QDateTime::currentDateTimeUtc().toString(Qt::ISODate));
    writer.writeAttribute(QStringLiteral("guid"), QUuid::createUuid().toString(QUuid::WithBraces));
    writer.writeStartElement(QStringLiteral("modules"));
    writer.writeStartElement(QStringLiteral("infoaboutmodule"));
    writer.writeAttribute(QStringLiteral("name"), m_moduleName);
    writer.writeAttribute(QStringLiteral("is_required"), QStringLiteral("0"));
    writer.writeStartElement(QStringLiteral("files"));

    m_walkStack.clear();
    if (!writeFolderEntries(writer, m_sourcePath, dir.filePath(m_moduleName), QString(), m_moduleName))
        return false;

    writer.writeEndElement(); // files
    writer.writeEndElement(); // infoaboutmodule
    writer.writeStartElement(QStringLiteral("description"));
    writer.writeCDATA(QString());
    writer.writeEndElement();
    writer.writeStartElement(QStringLiteral("localizedname"));
    writer.writeCDATA(QString());
    writer.writeEndElement();
    writer.writeEndElement(); // modules
    writer.writeEmptyElement(QStringLiteral("commands"));
    writer.writeEndElement(); // updater_pack
    writer.writeEndDocument();
    // A truncated document (full disk) must not be published as a pack.
    if (writer.hasError() || !document.flush()) {
        qCritical().noquote() << QStringLiteral("can't write file: ") + document.fileName()
                                     + QStringLiteral(", error: ") + document.errorString();
        return false;
    }
    document.close();

    QString reason;
    const QString digest = calcHash(document.fileName(), QCryptographicHash::Sha1, &reason);
    if (digest.isEmpty()) {
        qCritical().noquote() << QStringLiteral("can't open file: ") + document.fileName()
                                     + QStringLiteral(" read only, error: ") + reason;
        return false;
    }
    QFile checksum(dir.filePath(m_fileInfoBaseName + QStringLiteral(".sha1")));
    if (!checksum.open(QIODevice::WriteOnly)) {
        qCritical().noquote() << QStringLiteral("can't open writeOnly file: ") + checksum.fileName()
                                     + QStringLiteral(", error: ") + checksum.errorString();
        return false;
    }
    const QByteArray line = digest.toLatin1() + QStringLiteral("\t%1.xml").arg(m_fileInfoBaseName).toUtf8();
    if (checksum.write(line) != line.size() || !checksum.flush()) {
        qCritical().noquote() << QStringLiteral("can't write file: ") + checksum.fileName()
                                     + QStringLiteral(", error: ") + checksum.errorString();
        return false;
    }
    if (!m_signingKey.isEmpty() && !signDocumentFile(document.fileName(), m_signingKey, m_expires, &reason)) {
        qCritical().noquote() << QStringLiteral("can't sign document: ") + reason;
        return false;
    }
    return true;
}

bool PackwrightThread::writeFolderEntries(QXmlStreamWriter &writer, const QString &sourceFolder,
                                          const QString &dataFolder, const QString &relativePath,
                                          const QString &dataPrefix)
{
    // A link to a folder above itself would make the walk endless.
    const QString canonical = QFileInfo(sourceFolder).canonicalFilePath();
    if (m_walkStack.contains(canonical)) {
        qCritical().noquote() << QStringLiteral("folder loop at: ") + sourceFolder;
        return false;
    }
    WalkGuard guard(m_walkStack, canonical);

    const QDir source(sourceFolder);
    const QDir data(dataFolder);
    // Names used in this data folder, compared without case: packs are also
    // served from file systems that ignore case.
    QSet<QString> taken;

    const QFileInfoList files = source.entryInfoList(QDir::Files, QDir::Name);
    QVector<FileCopyJob> jobs;
    jobs.reserve(files.size());
    for (const QFileInfo &file : files) {
        const QString name = file.fileName();
        if (!isPortableEntryName(name)) {
            qCritical().noquote() << QStringLiteral("file name can't be packed: ") + file.filePath();
            return false;
        }
        FileCopyJob job;
        job.name = name;
        job.source = file.filePath();
        job.stored = storedFileName(name, taken);
        job.target = data.filePath(job.stored);
        jobs.append(job);
    }

    // The files of a folder are copied side by side; each copy hashes the
    // bytes it moves, so every file is read once. Names were chosen above in
    // order, so the result does not depend on which copy ends first. A source
    // that does not open is told apart from a copy that fails.
    const auto copy = [](FileCopyJob &job) {
        QFile source(job.source);
        job.readable = source.open(QIODevice::ReadOnly);
        if (!job.readable)
            job.reason = source.errorString();
        source.close();
        job.ok = job.readable
                 && copyFileHashing(job.source, job.target, &job.hash, &job.reason, &job.size, &job.sha256);
    };
    if (jobs.size() == 1) {
        copy(jobs.first());
    } else {
        for (FileCopyJob &job : jobs) {
            m_copyPool.start([&copy, &job]() {
                copy(job);
                Sha1Digest::releaseThreadState();
            });
        }
        m_copyPool.waitForDone();
    }

    for (const FileCopyJob &job : qAsConst(jobs)) {
        if (!job.ok) {
            if (!job.readable)
                qCritical().noquote() << QStringLiteral("can't open file: ") + job.source
                                             + QStringLiteral(" to read only, error: ") + job.reason;
            else
                qCritical().noquote() << job.reason; // already names both files
            return false;
        }
        writer.writeStartElement(QStringLiteral("fileinfo"));
        writer.writeAttribute(QStringLiteral("filename"), job.name);
        writer.writeAttribute(QStringLiteral("hash"), job.hash);
        writer.writeAttribute(QStringLiteral("size"), QString::number(job.size));
        writer.writeAttribute(QStringLiteral("is_need_delete"), QStringLiteral("0"));
        // After the attributes every reader knows: older readers skip it.
        writer.writeAttribute(QStringLiteral("sha256"), job.sha256);
        writer.writeStartElement(QStringLiteral("path"));
        writer.writeCDATA(relativePath);
        writer.writeEndElement();
        writer.writeStartElement(QStringLiteral("data"));
        writer.writeCDATA(dataPrefix + QLatin1Char('/') + job.stored);
        writer.writeEndElement();
        writer.writeEndElement(); // fileinfo
    }

    const QFileInfoList folders = source.entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo &folder : folders) {
        const QString name = folder.fileName();
        if (!isPortableEntryName(name)) {
            qCritical().noquote() << QStringLiteral("folder name can't be packed: ") + folder.filePath();
            return false;
        }
        const QString stored = storedFolderName(name, taken);
        if (!data.exists(stored) && !data.mkdir(stored)) {
            qCritical().noquote() << QStringLiteral("can't create folder ") + data.absoluteFilePath(stored);
            return false;
        }
        if (!writeFolderEntries(writer, folder.filePath(), data.filePath(stored),
                                relativePath + QLatin1Char('/') + name, dataPrefix + QLatin1Char('/') + stored))
            return false;
    }
    return true;
}

bool PackwrightThread::removeFolderData(const QString &folder)
{
    // Clears the staging folder after a swap, which holds the previous pack
    // with whatever hidden files it kept: every entry goes.
    QDir dir(folder);
    if (!dir.exists())
        return true;
    bool ok = true;
    const QFileInfoList files = dir.entryInfoList(QDir::Files | QDir::Hidden | QDir::System);
    for (const QFileInfo &file : files) {
        QFile entry(file.filePath());
        if (!entry.remove()) {
            qWarning().noquote() << QStringLiteral("can't remove file: ") + file.filePath()
                                        + QStringLiteral(", error: ") + entry.errorString();
            ok = false;
        }
    }
    const QFileInfoList folders = dir.entryInfoList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot);
    for (const QFileInfo &sub : folders) {
        // A link is removed as a link, never followed.
        const bool inner = sub.isSymLink() || removeFolderData(sub.filePath());
        const bool removed = sub.isSymLink() ? QFile::remove(sub.filePath()) : dir.rmdir(sub.fileName());
        if (!removed) {
            qWarning().noquote() << QStringLiteral("can't remove folder ") + sub.absoluteFilePath();
            ok = false;
        } else if (!inner) {
            ok = false;
        }
    }
    return ok;
}

bool PackwrightThread::isAllowedName(const QString &text) const
{
    for (const QChar c : text) {
        if (!m_allowedCharacters.contains(c, Qt::CaseInsensitive))
            return false;
    }
    return true;
}

QString PackwrightThread::storedFileName(const QString &fileName, QSet<QString> &taken) const
{
    const QFileInfo info(fileName);
    const QString baseName = info.completeBaseName();
    QString candidate = fileName;
    if (!isAllowedName(baseName)) {
        candidate = QString::fromLatin1(
                        QCryptographicHash::hash(baseName.toUtf8(), QCryptographicHash::Sha1).toHex().toUpper())
                    + QLatin1Char('.') + info.suffix();
    }
    QString stored = candidate;
    for (int n = 1; taken.contains(stored.toLower()); ++n)
        stored = numberedName(candidate, n);
    taken.insert(stored.toLower());
    return stored;
}

QString PackwrightThread::storedFolderName(const QString &folderName, QSet<QString> &taken) const
{
    QString stored = folderName;
    while (!isAllowedName(stored) || taken.contains(stored.toLower()))
        stored = QUuid::createUuid().toString(QUuid::WithoutBraces).replace(QLatin1Char('-'), QLatin1Char('_'));
    taken.insert(stored.toLower());
    return stored;
}
