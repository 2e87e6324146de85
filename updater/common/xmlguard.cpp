#include "xmlguard.h"

#include <QDomDocument>
#include <QRegularExpression>
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
Refusal inspect(QXmlStreamReader &reader, bool scanBody)
{
    // The DOM reader is used without namespace processing, so a prefix
    // nobody declared (xsi:noNamespaceSchemaLocation) is just part of a
    // name there; the guard must not refuse what that reader accepts.
    reader.setNamespaceProcessing(false);
    Refusal refusal;
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

Refusal inspect(const QByteArray &data, bool scanBody)
{
    QXmlStreamReader reader(data);
    return inspect(reader, scanBody);
}

// Documents that say (or let it be assumed) they are UTF-8 but hold bytes
// that are not, as a server that saved Russian names in another code page
// sends them. The DOM parser has always read those with replacement
// characters; the same text, decoded that way, is checked and parsed instead
// of refusing the whole document.
bool isMisencodedUtf8(const QByteArray &data, QString *decoded)
{
    if (data.startsWith("\xff\xfe") || data.startsWith("\xfe\xff"))
        return false; // UTF-16
    static const QRegularExpression declaration(
        QStringLiteral("^\\s*<\\?xml[^>]*\\sencoding\\s*=\\s*[\"']([^\"']*)[\"']"));
    const QString head = QString::fromLatin1(data.left(200)).remove(0, data.startsWith("\xef\xbb\xbf") ? 3 : 0);
    const QRegularExpressionMatch match = declaration.match(head);
    if (match.hasMatch() && match.captured(1).compare(QLatin1String("UTF-8"), Qt::CaseInsensitive) != 0)
        return false;
    QString text = QString::fromUtf8(data);
    if (text.toUtf8() == data)
        return false; // valid UTF-8: the error lies elsewhere
    if (text.startsWith(QChar(0xfeff)))
        text.remove(0, 1);
    *decoded = text;
    return true;
}

} // namespace

bool declaresEntities(const QByteArray &data)
{
    return !inspect(data, false).reason.isEmpty();
}

bool setUntrustedContent(QDomDocument &document, const QByteArray &data, QString *errorMsg, int *errorLine,
                         int *errorColumn)
{
    Refusal refusal = inspect(data, true);
    QString decoded;
    if (!refusal.reason.isEmpty() && isMisencodedUtf8(data, &decoded)) {
        QXmlStreamReader reader(decoded);
        const Refusal second = inspect(reader, true);
        if (second.reason.isEmpty())
            return document.setContent(decoded, errorMsg, errorLine, errorColumn);
        refusal = second;
    }
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
