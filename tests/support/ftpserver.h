#pragma once

#include "testprocess.h"

// Anonymous, read-only FTP on 127.0.0.1 serving one folder (Debian's
// pyftpdlib under /usr/bin/python3), started by the test and stopped by pid.
// Passive data connections open on the control connection's address, so
// they stay on 127.0.0.1 as well.
class FtpServer : public ServerProcess
{
public:
    ~FtpServer() { stop(); }
    void setRoot(const QString &root) { m_root = root; }
    // Without -w the anonymous user may only read.
    bool start(QString *error = nullptr)
    {
        return startServer(QStringLiteral("/usr/bin/python3"), [this](quint16 port, QStringList *arguments, QString *) {
            *arguments = QStringList{"-m", "pyftpdlib", "-i", "127.0.0.1", "-p", QString::number(port), "-d", m_root};
            return true;
        }, error);
    }
    // "ftp://127.0.0.1:PORT", no trailing slash.
    QString baseUrl() const { return QStringLiteral("ftp://127.0.0.1:%1").arg(port()); }
    static bool isAvailable() { return runProcess("/usr/bin/python3", {"-c", "import pyftpdlib"}, 10000).ok(); }

private:
    QString m_root;
};
