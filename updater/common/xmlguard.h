#ifndef XMLGUARD_H
#define XMLGUARD_H

#include <QByteArray>
#include <QString>

class QDomDocument;

// Project, file-information and mirror documents come from servers we do not
// control. A document type declaration with entity declarations lets a small
// file expand into gigabytes inside the DOM parser, so such documents are
// refused before they reach it; a plain <!DOCTYPE name> is still accepted.

// True when the document's type declaration declares entities.
bool declaresEntities(const QByteArray &data);

// QDomDocument::setContent for untrusted bytes: refuses entity declarations,
// otherwise parses. The error outputs are filled as setContent fills them.
bool setUntrustedContent(QDomDocument &document, const QByteArray &data, QString *errorMsg = nullptr,
                         int *errorLine = nullptr, int *errorColumn = nullptr);

#endif // XMLGUARD_H
