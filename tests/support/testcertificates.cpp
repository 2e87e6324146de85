#include "testcertificates.h"

#include "testprocess.h"

bool createTestCertificates(const QString &folder, TestCertificates *out, QString *error)
{
    const QString binary = findExecutable({QStringLiteral("/usr/bin/openssl"), QStringLiteral("openssl")});
    if (!runTool(binary.isEmpty() ? QStringLiteral("openssl") : binary,
                 {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "server.key", "-out", "server.pem",
                  "-days", "2", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost"},
                 error, 60000, folder))
        return false;
    out->serverCertificate = out->caCertificate = folder + QStringLiteral("/server.pem");
    out->serverKey = folder + QStringLiteral("/server.key");
    return true;
}
