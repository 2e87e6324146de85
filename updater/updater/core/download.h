#ifndef DOWNLOAD_H
#define DOWNLOAD_H

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QUrl>

#include <atomic>
#include <memory>

class QFile;
class QNetworkReply;
class Sha1Digest;
class Sha256Digest;

// One transfer of a URL into an open file on the calling thread's network
// manager: the single way the updater downloads. Redirects are followed only
// to an equally or more secure scheme; a non-2xx answer, a body shorter or
// longer than the server declared (or longer than maxBytes), a stall of
// stallMs and a write error fail it. A GET over http or https whose
// connection breaks is resumed with a Range request from the bytes already
// written (a few times at most); a server that does not answer 206 with the
// matching Content-Range is read again from the start. The file is left as
// it is: the caller removes it after a failure.
class Download : public QObject
{
    Q_OBJECT
public:
    struct Options
    {
        bool post = false;
        QByteArray postBody;
        qint64 maxBytes = -1; // -1: only the declared size limits the body
        qint64 stallMs = 60000;
        int resumeAttempts = 4;
        // The digest of the content, taken while it streams: a file checked
        // against its document is then not read back from the disk.
        enum class Digest { None, Sha1, Sha256 };
        Digest digest = Digest::None;
        // Where the count of content bytes written is kept, so that another
        // thread can read it while this object may already be gone.
        std::shared_ptr<std::atomic<qint64>> received;
    };

    Download(const QUrl &url, QFile *file, const Options &options, QObject *parent = nullptr);
    ~Download() override;

    void start();
    // Ends the transfer at once with reason as its error (no finished() after).
    void abort(const QString &reason);

    bool isFinished() const { return m_finished; }
    // True once finished without an error; otherwise error receives the reason.
    bool succeeded(QString *error = nullptr) const;
    QString contentDigest() const; // lowercase hex of Options::digest, after success
    // Bytes of the content written so far; readable from any thread.
    qint64 received() const { return m_written->load(); }
    // Requests sent, the first one included (for tests and benches).
    int requestsSent() const { return m_requests; }

signals:
    void finished();

private:
    void send();
    void onReadyRead();
    void onFinished();
    bool acceptResponse();
    void restartContent();
    void releaseReply();
    void fail(const QString &reason);
    void complete(const QString &error);
    bool resumable() const;

    QUrl m_url;
    QFile *m_file;
    Options m_options;
    void resetDigest();

    std::unique_ptr<Sha1Digest> m_sha1;
    std::unique_ptr<Sha256Digest> m_sha256;
    QNetworkReply *m_reply = nullptr;
    std::shared_ptr<std::atomic<qint64>> m_written;
    qint64 m_expected = -1; // whole content size the server declared
    qint64 m_rangeFrom = 0; // first byte asked for by the current request
    bool m_responseChecked = false;
    bool m_redirected = false;
    bool m_finished = false;
    int m_requests = 0;
    QString m_digest;
    QString m_error;
};

#endif // DOWNLOAD_H
