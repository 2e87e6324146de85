#include "testcertificates.h"

#include "testprocess.h"

#include <QFile>

namespace {

bool runOpenssl(const QStringList &arguments, const QString &folder, QString *error)
{
    const QString binary = findExecutable({QStringLiteral("/usr/bin/openssl"), QStringLiteral("openssl")});
    if (binary.isEmpty()) {
        if (error)
            *error = QStringLiteral("openssl is not installed");
        return false;
    }
    return runTool(binary, arguments, error, 60000, folder);
}

} // namespace

bool createTestCertificates(const QString &folder, TestCertificates *out, QString *error)
{
    const QString ext = folder + QStringLiteral("/server.ext");
    QFile extFile(ext);
    if (!extFile.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        if (error)
            *error = extFile.errorString();
        return false;
    }
    extFile.write("basicConstraints=CA:FALSE\n"
                  "keyUsage=digitalSignature,keyEncipherment\n"
                  "extendedKeyUsage=serverAuth\n"
                  "subjectAltName=IP:127.0.0.1,DNS:localhost\n");
    extFile.close();

    const QStringList steps[] = {
        {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.pem", "-days", "2", "-subj",
         "/CN=Kestra Test CA", "-addext", "basicConstraints=critical,CA:TRUE", "-addext",
         "keyUsage=critical,keyCertSign,cRLSign"},
        {"req", "-newkey", "rsa:2048", "-nodes", "-keyout", "server.key", "-out", "server.csr", "-subj",
         "/CN=127.0.0.1"},
        {"x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial", "-out",
         "server.pem", "-days", "2", "-extfile", "server.ext"},
    };
    for (const QStringList &step : steps) {
        if (!runOpenssl(step, folder, error))
            return false;
    }
    out->caCertificate = folder + QStringLiteral("/ca.pem");
    out->serverCertificate = folder + QStringLiteral("/server.pem");
    out->serverKey = folder + QStringLiteral("/server.key");
    return true;
}
