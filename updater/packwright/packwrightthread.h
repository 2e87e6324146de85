#ifndef PACKWRIGHTTHREAD_H
#define PACKWRIGHTTHREAD_H

#include <QDateTime>
#include <QSet>
#include <QString>
#include <QThread>
#include <QThreadPool>

class QXmlStreamWriter;

// Builds one module's update pack: the file-information document, its
// checksum file and the data folder with safe names. The pack is assembled
// in a hidden staging folder inside the output folder and then swapped in
// with renames, so the output holds either the previous pack or the new one.
class PackwrightThread : public QThread
{
public:
    // Process exit codes.
    enum ResultCode {
        Success = 0,
        BadParameters = 1,
        BuildFailed = 2,
        OutputFailed = 4
    };

    explicit PackwrightThread(QObject *parent = nullptr);

    void setModuleName(const QString &name) { m_moduleName = name; }
    void setSourcePath(const QString &path) { m_sourcePath = path; }
    void setOutputPath(const QString &path) { m_outputPath = path; }
    QString moduleName() const { return m_moduleName; }
    QString sourcePath() const { return m_sourcePath; }
    QString outputPath() const { return m_outputPath; }
    int resultCode() const { return m_resultCode; }

    // Takes the values of "-m", "-f", "-o", "-k", "--new-key", "--sign" and
    // "--expires" from a raw argument list: the argument right after each
    // flag; a later flag wins, a trailing flag is ignored.
    void takeArguments(const QStringList &arguments);

    bool checkParams();
    // Reads the private key of "-k" and the expiry of "--expires", when given.
    bool checkSigningParams();
    // Writes a whole pack (document, checksum file, data folder) into folder.
    bool writePack(const QString &folder);
    // Writes one "fileinfo" element per file below sourceFolder and copies the
    // files into dataFolder, depth first, sorted by name.
    bool writeFolderEntries(QXmlStreamWriter &writer, const QString &sourceFolder, const QString &dataFolder,
                            const QString &relativePath, const QString &dataPrefix);
    // Deletes the folder's contents, leaving the folder itself.
    bool removeFolderData(const QString &folder);
    bool isAllowedName(const QString &text) const;

protected:
    void run() override;

private:
    // The body of run(): sets the result code.
    void build();
    void buildPack();
    // "--new-key NAME" and "--sign FILE -k KEY": result codes.
    int makeKeyPair();
    int signDocument();
    // Data-folder name for a file: its own when allowed, else the upper-case
    // SHA-1 of the base name; numbered when already taken in that folder.
    QString storedFileName(const QString &fileName, QSet<QString> &taken) const;
    QString storedFolderName(const QString &folderName, QSet<QString> &taken) const;

    QString m_moduleName;
    QString m_sourcePath;
    QString m_outputPath;
    QString m_keyPath;
    QString m_newKeyName;
    QString m_signPath;
    QString m_expiresText;
    QByteArray m_signingKey; // raw Ed25519 private key; empty when not signing
    QDateTime m_expires;
    int m_resultCode = Success;
    const QString m_fileInfoBaseName;
    const QString m_allowedCharacters;
    // Canonical paths of the source folders being walked, to stop on a link
    // that leads back into its own ancestors.
    QStringList m_walkStack;
    // Copies the files of one folder at the same time.
    QThreadPool m_copyPool;
};

#endif // PACKWRIGHTTHREAD_H
