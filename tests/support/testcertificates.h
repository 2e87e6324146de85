#ifndef TESTCERTIFICATES_H
#define TESTCERTIFICATES_H

#include <QString>

// A throw-away certificate authority and a server certificate it signed for
// 127.0.0.1 (subjectAltName IP and DNS localhost), made with the openssl
// command line in folder.
struct TestCertificates
{
    QString caCertificate;     // PEM
    QString serverCertificate; // PEM
    QString serverKey;         // PEM, unencrypted
};

bool createTestCertificates(const QString &folder, TestCertificates *out, QString *error = nullptr);

#endif // TESTCERTIFICATES_H
