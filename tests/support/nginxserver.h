#ifndef NGINXSERVER_H
#define NGINXSERVER_H

#include "testprocess.h"

#include <QString>
#include <QTemporaryDir>

// nginx on 127.0.0.1 serving one folder, started in the foreground by the
// test and stopped by pid. Extra server-level directives (locations that
// return errors or redirects, TLS settings) can be added before start().
class NginxServer
{
public:
    NginxServer();
    ~NginxServer();

    // Root folder of the static files.
    void setRoot(const QString &root) { m_root = root; }
    // Lines added inside the server block, e.g. "location = /x { return 500; }".
    void addServerDirective(const QString &directive) { m_extra += directive + QLatin1Char('\n'); }
    // Serve TLS with this certificate and key instead of plain HTTP.
    void setTls(const QString &certFile, const QString &keyFile);

    bool start(QString *error = nullptr);
    void stop();

    quint16 port() const { return m_port; }
    // "http://127.0.0.1:PORT" or "https://127.0.0.1:PORT", no trailing slash.
    QString baseUrl() const;
    static bool isAvailable();

private:
    QTemporaryDir m_work;
    TestProcess m_process;
    QString m_root;
    QString m_extra;
    QString m_cert;
    QString m_key;
    quint16 m_port = 0;
};

#endif // NGINXSERVER_H
