#include "testcertificates.h"

#include "testprocess.h"

#include <QFile>
#include <QProcess>

namespace {

bool runOpenssl(const QStringList &arguments, const QString &folder, QString *error)
{
    const QString binary = findExecutable({QStringLiteral("/usr/bin/openssl"), QStringLiteral("openssl")});
    if (binary.isEmpty()) {
        if (error)
            *error = QStringLiteral("openssl is not installed");
        return false;
    }
    QProcess process;
    process.setWorkingDirectory(folder);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(binary, arguments);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        if (error)
            *error = QStringLiteral("openssl %1 failed: %2")
                         .arg(arguments.join(QLatin1Char(' ')), QString::fromLocal8Bit(process.readAll()));
        return false;
    }
    return true;
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
        {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"), QStringLiteral("rsa:2048"),
         QStringLiteral("-nodes"), QStringLiteral("-keyout"), QStringLiteral("ca.key"), QStringLiteral("-out"),
         QStringLiteral("ca.pem"), QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-subj"),
         QStringLiteral("/CN=Kestra Test CA"), QStringLiteral("-addext"),
         QStringLiteral("basicConstraints=critical,CA:TRUE"), QStringLiteral("-addext"),
         QStringLiteral("keyUsage=critical,keyCertSign,cRLSign")},
        {QStringLiteral("req"), QStringLiteral("-newkey"), QStringLiteral("rsa:2048"), QStringLiteral("-nodes"),
         QStringLiteral("-keyout"), QStringLiteral("server.key"), QStringLiteral("-out"), QStringLiteral("server.csr"),
         QStringLiteral("-subj"), QStringLiteral("/CN=127.0.0.1")},
        {QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"), QStringLiteral("server.csr"),
         QStringLiteral("-CA"), QStringLiteral("ca.pem"), QStringLiteral("-CAkey"), QStringLiteral("ca.key"),
         QStringLiteral("-CAcreateserial"), QStringLiteral("-out"), QStringLiteral("server.pem"),
         QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-extfile"), QStringLiteral("server.ext")},
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
