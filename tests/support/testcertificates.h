#pragma once

#include <QString>

// A throw-away self-signed server certificate for 127.0.0.1 (subjectAltName
// IP and DNS localhost), made with the openssl command line in folder; a
// client trusts it by taking it as its certificate authority.
struct TestCertificates
{
    QString caCertificate;     // PEM, the server certificate itself
    QString serverCertificate; // PEM
    QString serverKey;         // PEM, unencrypted
};

bool createTestCertificates(const QString &folder, TestCertificates *out, QString *error = nullptr);
