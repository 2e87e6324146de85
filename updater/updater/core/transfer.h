#ifndef TRANSFER_H
#define TRANSFER_H

#include <QByteArray>
#include <QCryptographicHash>
#include <QString>
#include <QStringList>
#include <QUrl>

// Moving and checking data. Update servers may be web servers (HTTP, HTTPS,
// FTP) or plain folders; these functions make the two interchangeable.

// How long a download may receive nothing before it fails, when the
// caller names no limit of its own.
constexpr qint64 kDefaultTransferStallMilliseconds = 60000;

// How one transfer is made. The callers that know the configuration fill it
// from Settings::transferOptions; the defaults are a GET without a size
// bound and the default stall limit.
struct TransferOptions
{
    QString method = QStringLiteral("GET"); // "POST" (any case) sends projectIds
    qint64 maxBytes = -1;                   // -1: no bound
    qint64 stallMilliseconds = kDefaultTransferStallMilliseconds; // zero or less: the default
    QStringList projectIds;                 // the GUIDs a POST carries
};

// Downloads url into fileName by GET, or by the JSON POST of the project
// GUIDs when the method is "POST" (any case). Redirects are followed only to
// an equally or more secure scheme; a non-2xx answer, a body shorter or
// longer than declared or longer than maxBytes (when not -1), a transfer that
// receives nothing for the stall limit, an interruption of the calling
// thread or a write error fails, and a failed download leaves no file
// behind. A broken GET is resumed where it stopped.
bool loadUrl(const QUrl &url, const QString &fileName, QString *error = nullptr,
             const TransferOptions &options = TransferOptions());

// The failure text of a final HTTP answer that is not 2xx (status -1: none).
QString httpStatusError(int status, const QString &reasonPhrase, const QUrl &url);

// The JSON body of the POST: {"projectIds" : [...]} with one GUID a line,
// exactly as update servers expect it, UTF-8.
QByteArray projectIdsBody(const QStringList &ids);

// Downloads an http/https/ftp source, otherwise copies a local file (the
// copy never overwrites an existing destination). maxBytes bounds downloads.
bool fetchFile(const QString &source, const QString &fileName, QString *error = nullptr,
               const TransferOptions &options = TransferOptions());

// fetchFile onto an existing destination: the new copy is fetched beside it
// and replaces it in one step once complete; on failure the old file stays.
bool replaceFile(const QString &source, const QString &fileName, QString *error = nullptr,
                 const TransferOptions &options = TransferOptions());

// The algorithm of a hexadecimal digest text: SHA-256 for 64 digits, else SHA-1.
QCryptographicHash::Algorithm digestAlgorithm(const QString &hexDigest);

// Total size of all files in a folder tree; appends each file's absolute path
// to files when given.
qint64 folderSize(const QString &path, QStringList *files = nullptr);

QStringList splitArguments(const QString &text, QChar separator, QChar quote);

#endif // TRANSFER_H
