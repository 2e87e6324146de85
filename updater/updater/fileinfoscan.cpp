#include "fileinfoscan.h"

#include "xmlguard.h"

#include <QXmlStreamReader>

#include <vector>

namespace {

enum Capture { None, Path, Data };

struct Frame
{
    int entry = -1;         // index of the entry this element opens
    bool pathSeen = false;  // for a fileinfo frame: its first "path" was met
    bool dataSeen = false;
    int captureEntry = -1;  // for a path/data frame: where its text goes
    Capture capture = None;
};

} // namespace

bool scanFileInfoEntries(const QByteArray &document, QVector<ScannedFileInfo> *entries, QString *message,
                         int *line, int *column)
{
    entries->clear();
    if (declaresEntities(document)) {
        *message = QStringLiteral("entity declarations are not accepted");
        *line = 1;
        *column = 1;
        return false;
    }
    QXmlStreamReader reader(document);
    std::vector<Frame> stack;
    // Text goes to every open path/data element that captures (normally one).
    auto appendText = [&](const QStringRef &text) {
        for (const Frame &frame : stack) {
            if (frame.capture == Path)
                (*entries)[frame.captureEntry].path += text;
            else if (frame.capture == Data)
                (*entries)[frame.captureEntry].data += text;
        }
    };
    const QString fileinfoTag = QStringLiteral("fileinfo");
    const QString pathTag = QStringLiteral("path");
    const QString dataTag = QStringLiteral("data");
    while (!reader.atEnd()) {
        switch (reader.readNext()) {
        case QXmlStreamReader::StartElement: {
            if (int(stack.size()) >= kMaxUntrustedXmlDepth) {
                reader.raiseError(QStringLiteral("elements nested too deeply"));
                break;
            }
            Frame frame;
            const QStringRef name = reader.name();
            if (!stack.empty()) {
                Frame &parent = stack.back();
                if (name == fileinfoTag) {
                    const QXmlStreamAttributes attributes = reader.attributes();
                    ScannedFileInfo entry;
                    entry.fileName = attributes.value(QStringLiteral("filename")).toString();
                    entry.hash = attributes.value(QStringLiteral("hash")).toString();
                    entry.size = attributes.value(QStringLiteral("size")).toString();
                    entry.isNeedDelete = attributes.value(QStringLiteral("is_need_delete")).toString();
                    entries->append(entry);
                    frame.entry = entries->size() - 1;
                } else if (parent.entry >= 0 && name == pathTag && !parent.pathSeen) {
                    parent.pathSeen = true;
                    frame.capture = Path;
                    frame.captureEntry = parent.entry;
                } else if (parent.entry >= 0 && name == dataTag && !parent.dataSeen) {
                    parent.dataSeen = true;
                    frame.capture = Data;
                    frame.captureEntry = parent.entry;
                }
            }
            stack.push_back(frame);
            break;
        }
        case QXmlStreamReader::EndElement:
            if (!stack.empty())
                stack.pop_back();
            break;
        case QXmlStreamReader::Characters:
            appendText(reader.text());
            break;
        default:
            break;
        }
    }
    if (reader.hasError()) {
        *message = reader.errorString();
        *line = int(reader.lineNumber());
        *column = int(reader.columnNumber());
        entries->clear();
        return false;
    }
    return true;
}
