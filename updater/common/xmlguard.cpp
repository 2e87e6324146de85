#include "xmlguard.h"

#include <QDomDocument>
#include <QXmlStreamReader>

namespace {

struct Refusal
{
    QString reason; // empty: the document may be parsed
    int line = 0;
    int column = 0;
};

// Walks the document with the stream reader, which never expands anything
// while we only read the prolog and count depth. scanBody false stops at the
// document element.
Refusal inspect(const QByteArray &data, bool scanBody)
{
    Refusal refusal;
    QXmlStreamReader reader(data);
    int depth = 0;
    bool inBody = false; // the document element has started
    while (!reader.atEnd()) {
        const QXmlStreamReader::TokenType token = reader.readNext();
        if (token == QXmlStreamReader::DTD) {
            // Parameter entities are not listed among the declarations, so
            // the declaration's own text is checked as well.
            if (!reader.entityDeclarations().isEmpty() || reader.text().contains(QLatin1String("<!ENTITY"))) {
                refusal.reason = QStringLiteral("entity declarations are not accepted");
                break;
            }
        } else if (token == QXmlStreamReader::StartElement) {
            inBody = true;
            if (!scanBody)
                return refusal;
            if (++depth > kMaxUntrustedXmlDepth) {
                refusal.reason =
                    QStringLiteral("elements are nested deeper than %1 levels").arg(kMaxUntrustedXmlDepth);
                break;
            }
        } else if (token == QXmlStreamReader::EndElement) {
            --depth;
        }
    }
    if (refusal.reason.isEmpty() && reader.hasError() && (scanBody || !inBody)) {
        // Not well-formed. Before the document element nobody can say what
        // the type declaration declares, whatever the encoding; in the body
        // the DOM parser would be more lenient than the standard (it takes
        // NUL and control characters in attribute values, which no writer
        // can put back), so the strict reading decides.
        refusal.reason = reader.errorString();
    }
    if (!refusal.reason.isEmpty()) {
        refusal.line = static_cast<int>(reader.lineNumber());
        refusal.column = static_cast<int>(reader.columnNumber());
        if (refusal.line < 1)
            refusal.line = 1;
        if (refusal.column < 1)
            refusal.column = 1;
    }
    return refusal;
}

} // namespace

bool declaresEntities(const QByteArray &data)
{
    return !inspect(data, false).reason.isEmpty();
}

bool setUntrustedContent(QDomDocument &document, const QByteArray &data, QString *errorMsg, int *errorLine,
                         int *errorColumn)
{
    const Refusal refusal = inspect(data, true);
    if (!refusal.reason.isEmpty()) {
        if (errorMsg)
            *errorMsg = refusal.reason;
        if (errorLine)
            *errorLine = refusal.line;
        if (errorColumn)
            *errorColumn = refusal.column;
        return false;
    }
    return document.setContent(data, errorMsg, errorLine, errorColumn);
}
