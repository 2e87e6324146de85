#ifndef TRANSFER_H
#define TRANSFER_H

#include <QByteArray>
#include <QCryptographicHash>
#include <QString>
#include <QStringList>
#include <QUrl>

// Moving and checking data. Update servers may be web servers (HTTP, HTTPS,
// FTP) or plain folders; these functions make the two interchangeable.

// Downloads url into fileName by GET, or by the JSON POST of the project
// GUIDs when method is "POST" (any case). Redirects are followed only to an
// equally or more secure scheme; a non-2xx answer, a body shorter or longer
// than declared or longer than maxBytes (when not -1), a transfer that
// receives nothing for General/transfer_stall_timeout seconds (default 60),
// an interruption of the calling thread or a write error fails, and a failed
// download leaves no file behind. A broken GET is resumed where it stopped.
bool loadUrl(const QUrl &url, const QString &fileName, QString *error = nullptr,
             const QString &method = QStringLiteral("GET"), qint64 maxBytes = -1);

// General/transfer_stall_timeout in milliseconds: how long a download may
// receive nothing before it fails. A missing, zero or negative value gives
// the default of 60 s.
qint64 transferStallMilliseconds();

// The failure text of a final HTTP answer that is not 2xx (status -1: none).
QString httpStatusError(int status, const QString &reasonPhrase, const QUrl &url);

// The JSON body of the POST: {"projectIds" : [...]} with one GUID a line,
// exactly as update servers expect it, UTF-8.
QByteArray projectIdsBody(const QStringList &ids);

// Downloads an http/https/ftp source, otherwise copies a local file (the
// copy never overwrites an existing destination). maxBytes bounds downloads.
bool fetchFile(const QString &source, const QString &fileName, QString *error = nullptr,
               const QString &method = QStringLiteral("GET"), qint64 maxBytes = -1);

// fetchFile onto an existing destination: the new copy is fetched beside it
// and replaces it in one step once complete; on failure the old file stays.
bool replaceFile(const QString &source, const QString &fileName, QString *error = nullptr,
                 const QString &method = QStringLiteral("GET"));

// Lowercase hexadecimal digest of a whole file; empty when it cannot be opened.
QString calcHash(const QString &fileName, QCryptographicHash::Algorithm algorithm = QCryptographicHash::Sha1);

// The algorithm of a hexadecimal digest text: SHA-256 for 64 digits, else SHA-1.
QCryptographicHash::Algorithm digestAlgorithm(const QString &hexDigest);

// Total size of all files in a folder tree; appends each file's absolute path
// to files when given.
qint64 folderSize(const QString &path, QStringList *files = nullptr);

QStringList splitArguments(const QString &text, QChar separator, QChar quote);

#endif // TRANSFER_H
