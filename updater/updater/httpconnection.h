#ifndef HTTPCONNECTION_H
#define HTTPCONNECTION_H

#include "httpresponseparser.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QUrl>

class QTcpSocket;

// A plain-HTTP GET client that keeps its connection open between requests.
// Most files of an update are small; on the network manager each of them
// pays for a request handed to another thread and for a head read one byte a
// call, which is several times the cost of the transfer itself. This path
// takes only what it can do fully: GET over http without proxy or
// credentials. Everything else, and any answer it does not take (redirects,
// unusual codings), goes to the network manager, which applies the usual
// policies.
//
// One request at a time; lives in the thread that uses it.
class HttpConnection : public QObject
{
    Q_OBJECT
public:
    enum Outcome {
        Running,
        Succeeded,
        Failed,        // errorString() says why
        NotHandled,    // a redirect or a coding this path leaves to the network manager
    };
    using BodySink = HttpResponseParser::BodySink;

    explicit HttpConnection(QObject *parent = nullptr);
    ~HttpConnection() override;

    // Whether url can be fetched here: http, no user info, no proxy for it.
    static bool canServe(const QUrl &url);

    // A transfer that receives nothing for this long fails.
    void setStallTimeout(qint64 milliseconds) { m_stallMs = milliseconds; }

    // Starts a GET of url (canServe must hold). The body of a 2xx answer
    // goes to sink; a sink that returns false fails the request. finished()
    // follows, possibly before get() returns for an answer at hand.
    void get(const QUrl &url, const BodySink &sink);
    // Ends a running request as failed with reason; no finished() follows.
    void abort(const QString &reason);

    Outcome outcome() const { return m_outcome; }
    QString errorString() const { return m_error; }
    bool sinkRefused() const { return m_parser.sinkRefused(); }
    // How many connections this object opened so far (reuse shows here).
    int connectionsOpened() const { return m_connectionsOpened; }

signals:
    void finished();

private:
    void openConnection();
    void dropConnection();
    void onConnected();
    void onReadyRead();
    void onDisconnected();
    void onSocketError();
    void onWatchdog();
    bool retryOnFreshConnection();
    void finish(Outcome outcome, const QString &error = QString());

    QTcpSocket *m_socket = nullptr;
    QString m_host;
    quint16 m_port = 0;
    bool m_reusable = false;

    QUrl m_url;
    QByteArray m_request;
    BodySink m_sink;
    HttpResponseParser m_parser;
    Outcome m_outcome = Succeeded;
    QString m_error;
    bool m_onReusedConnection = false;
    bool m_retried = false;
    bool m_answerStarted = false;
    int m_connectionsOpened = 0;

    qint64 m_stallMs = 60000;
    QElapsedTimer m_lastActivity;
    QTimer m_watchdog;
};

#endif // HTTPCONNECTION_H
