#ifndef FTPSERVER_H
#define FTPSERVER_H

#include "testprocess.h"

#include <QString>

// Anonymous, read-only FTP on 127.0.0.1 serving one folder (Debian's
// pyftpdlib under /usr/bin/python3), started by the test and stopped by pid.
// Passive data connections open on the control connection's address, so
// they stay on 127.0.0.1 as well.
class FtpServer
{
public:
    FtpServer() = default;
    ~FtpServer();

    void setRoot(const QString &root) { m_root = root; }
    bool start(QString *error = nullptr);
    void stop();

    quint16 port() const { return m_port; }
    // "ftp://127.0.0.1:PORT", no trailing slash.
    QString baseUrl() const;
    static bool isAvailable();

private:
    TestProcess m_process;
    QString m_root;
    quint16 m_port = 0;
};

#endif // FTPSERVER_H
