#pragma once

#include "testprocess.h"

// nginx on 127.0.0.1 serving one folder, started in the foreground by the test and stopped by pid. Extra server-level
// directives (locations that return errors or redirects) can be added before start().
class NginxServer : public ServerProcess
{
public:
    void setRoot(const QString &root) { m_root = root; }
    // Lines added inside the server block, e.g. "location = /x { return 500; }".
    void addServerDirective(const QString &directive) { m_extra += directive + QLatin1Char('\n'); }
    // Serve TLS with this certificate and key instead of plain HTTP.
    void setTls(const QString &certFile, const QString &keyFile) { m_cert = certFile; m_key = keyFile; }
    bool start(QString *error = nullptr);
    // "http://127.0.0.1:PORT" or "https://127.0.0.1:PORT", no trailing slash.
    QString baseUrl() const
    {
        return QStringLiteral("%1://127.0.0.1:%2").arg(m_cert.isEmpty() ? "http" : "https").arg(port());
    }
    static bool isAvailable() { return !binary().isEmpty(); }

private:
    static QString binary() { return findExecutable({QStringLiteral("/usr/sbin/nginx"), QStringLiteral("nginx")}); }
    QString m_root, m_extra, m_cert, m_key;
};
