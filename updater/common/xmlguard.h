#ifndef XMLGUARD_H
#define XMLGUARD_H

#include <QByteArray>
#include <QString>

class QDomDocument;

// Project, file-information and mirror documents come from servers we do not
// control. Two kinds of document would hurt the DOM parser, so they are
// refused before it sees them:
// - a document type declaration with entity declarations (general,
//   parameter or external) lets a small file expand into gigabytes; a plain
//   <!DOCTYPE name>, or one declaring only elements and attributes, is
//   still accepted;
// - elements nested tens of thousands deep overflow the stack of the DOM
//   parser; real documents nest a handful of levels.
// Namespaces are not processed, as the DOM parser does not process them: a
// prefix that no one declared (xsi:noNamespaceSchemaLocation) is accepted.
// Documents that are not well-formed are refused as well, by the strict
// stream reader: the DOM parser would accept some of them (NUL and control
// characters in attribute values) and hand on texts that cannot be written
// back into a document.

// Deepest element nesting an untrusted document may have.
constexpr int kMaxUntrustedXmlDepth = 256;

// True when the document's type declaration declares entities, or when the
// part before the document element cannot be read well enough to tell.
bool declaresEntities(const QByteArray &data);

// QDomDocument::setContent for untrusted bytes: refuses entity declarations,
// excessive nesting and documents that are not well-formed, otherwise parses. The error outputs are filled as
// setContent fills them (message, 1-based line and column).
bool setUntrustedContent(QDomDocument &document, const QByteArray &data, QString *errorMsg = nullptr,
                         int *errorLine = nullptr, int *errorColumn = nullptr);

#endif // XMLGUARD_H
