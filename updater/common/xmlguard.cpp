#include "xmlguard.h"

#include <QDomDocument>
#include <QXmlStreamReader>

bool declaresEntities(const QByteArray &data)
{
    // The type declaration must come before the document element, so the scan
    // stops at the first start element and never expands anything.
    QXmlStreamReader reader(data);
    while (!reader.atEnd()) {
        const QXmlStreamReader::TokenType token = reader.readNext();
        if (token == QXmlStreamReader::DTD) {
            if (!reader.entityDeclarations().isEmpty())
                return true;
            // Parameter entities are not listed among the declarations.
            if (reader.text().contains(QLatin1String("<!ENTITY")))
                return true;
        } else if (token == QXmlStreamReader::StartElement || token == QXmlStreamReader::Invalid) {
            break;
        }
    }
    // A declaration the stream reader could not get through is refused too.
    return reader.hasError() && reader.error() != QXmlStreamReader::PrematureEndOfDocumentError
           && data.contains("<!ENTITY");
}

bool setUntrustedContent(QDomDocument &document, const QByteArray &data, QString *errorMsg, int *errorLine,
                         int *errorColumn)
{
    if (declaresEntities(data)) {
        if (errorMsg)
            *errorMsg = QStringLiteral("entity declarations are not accepted");
        // Report the position of the declaration, like a parse error would.
        const int offset = data.indexOf("<!ENTITY");
        const QByteArray head = data.left(offset < 0 ? 0 : offset);
        if (errorLine)
            *errorLine = head.count('\n') + 1;
        if (errorColumn)
            *errorColumn = offset - (head.lastIndexOf('\n') + 1) + 1;
        return false;
    }
    return document.setContent(data, errorMsg, errorLine, errorColumn);
}
