#include "fileinfoscan.h"

#include "xmlguard.h"

#include <QTextCodec>
#include <QXmlStreamReader>

#include <cstring>
#include <vector>

namespace {

// Builds the entries from the elements and texts of a document, in document
// order. Both readers below feed it, so they cannot differ in what they make
// of the same events.
class EntryCollector
{
public:
    enum Kind { Other, FileInfo, Path, Data };

    explicit EntryCollector(QVector<ScannedFileInfo> *entries) : m_entries(entries) {}

    // The entry an element of kind FileInfo opens (the caller fills in its
    // attributes right away), or nullptr: the document element is no entry.
    ScannedFileInfo *startElement(Kind kind)
    {
        Frame frame;
        ScannedFileInfo *opened = nullptr;
        if (!m_stack.empty()) {
            Frame &parent = m_stack.back();
            if (kind == FileInfo) {
                m_entries->append(ScannedFileInfo());
                frame.entry = m_entries->size() - 1;
                opened = &m_entries->last();
            } else if (parent.entry >= 0 && kind == Path && !parent.pathSeen) {
                parent.pathSeen = true;
                frame.capture = Path;
                frame.captureEntry = parent.entry;
            } else if (parent.entry >= 0 && kind == Data && !parent.dataSeen) {
                parent.dataSeen = true;
                frame.capture = Data;
                frame.captureEntry = parent.entry;
            }
        }
        if (frame.capture != Other)
            ++m_capturing;
        m_stack.push_back(frame);
        return opened;
    }

    void endElement()
    {
        if (m_stack.empty())
            return;
        const Frame &frame = m_stack.back();
        if (frame.capture != Other)
            --m_capturing;
        if (frame.capture == Path) {
            // Files of one folder stand together: they share one copy of
            // their path.
            QString &path = (*m_entries)[frame.captureEntry].path;
            if (path == m_lastPath)
                path = m_lastPath;
            else
                m_lastPath = path;
        }
        m_stack.pop_back();
    }

    int depth() const { return int(m_stack.size()); }

    // Whether the innermost element is a path element that captures.
    bool inPath() const { return !m_stack.empty() && m_stack.back().capture == Path; }

    // Whether text at this point goes anywhere; text that does not need not
    // even be decoded.
    bool capturing() const { return m_capturing > 0; }

    // Text goes to every open path/data element that captures (normally one).
    template <typename Text>
    void appendText(const Text &text)
    {
        if (m_capturing == 0)
            return;
        for (const Frame &frame : m_stack) {
            if (frame.capture == Path)
                (*m_entries)[frame.captureEntry].path += text;
            else if (frame.capture == Data)
                (*m_entries)[frame.captureEntry].data += text;
        }
    }

private:
    struct Frame
    {
        int entry = -1;        // index of the entry this element opens
        bool pathSeen = false; // for a fileinfo frame: its first "path" was met
        bool dataSeen = false;
        int captureEntry = -1; // for a path/data frame: where its text goes
        Kind capture = Other;
    };

    QVector<ScannedFileInfo> *m_entries;
    std::vector<Frame> m_stack;
    int m_capturing = 0;
    QString m_lastPath;
};

// The full reader: Qt's strict stream reader. It reads every well-formed
// document and reports the place of every fault.
bool streamScan(const QByteArray &document, QVector<ScannedFileInfo> *entries, QString *message, int *line,
                int *column)
{
    entries->clear();
    if (declaresEntities(document)) {
        *message = QStringLiteral("entity declarations are not accepted");
        *line = 1;
        *column = 1;
        return false;
    }
    QXmlStreamReader reader(document);
    // As the DOM reader reads it: an undeclared prefix is part of a name.
    reader.setNamespaceProcessing(false);
    EntryCollector collector(entries);
    const QString fileinfoTag = QStringLiteral("fileinfo");
    const QString pathTag = QStringLiteral("path");
    const QString dataTag = QStringLiteral("data");
    while (!reader.atEnd()) {
        switch (reader.readNext()) {
        case QXmlStreamReader::StartElement: {
            if (collector.depth() >= kMaxUntrustedXmlDepth) {
                reader.raiseError(QStringLiteral("elements nested too deeply"));
                break;
            }
            // The qualified name, as the DOM reader names the element.
            const QStringRef name = reader.qualifiedName();
            EntryCollector::Kind kind = EntryCollector::Other;
            if (name == fileinfoTag)
                kind = EntryCollector::FileInfo;
            else if (name == pathTag)
                kind = EntryCollector::Path;
            else if (name == dataTag)
                kind = EntryCollector::Data;
            if (ScannedFileInfo *entry = collector.startElement(kind)) {
                const QXmlStreamAttributes attributes = reader.attributes();
                entry->fileName = attributes.value(QStringLiteral("filename")).toString();
                entry->hash = attributes.value(QStringLiteral("hash")).toString();
                entry->sha256 = attributes.value(QStringLiteral("sha256")).toString();
                entry->size = fileInfoSize(attributes.value(QStringLiteral("size")).toString());
                entry->isNeedDelete =
                    fileInfoDeleteFlag(attributes.value(QStringLiteral("is_need_delete")).toString());
            }
            break;
        }
        case QXmlStreamReader::EndElement:
            collector.endElement();
            break;
        case QXmlStreamReader::Characters:
            collector.appendText(reader.text());
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

// Byte classes of the quick reader.
enum ByteClass : unsigned char {
    TextPlain = 1,  // stands for itself in character data
    ValuePlain = 2, // stands for itself in an attribute value
    NameStart = 4,
    NameChar = 8,
    Space = 16,
};

struct ByteClasses
{
    unsigned char of[256] = {};
    ByteClasses()
    {
        for (int c = 0x20; c < 0x7f; ++c) {
            of[c] |= TextPlain | ValuePlain;
            if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_')
                of[c] |= NameStart | NameChar;
            if ((c >= '0' && c <= '9') || c == '-' || c == '.')
                of[c] |= NameChar;
        }
        for (const unsigned char c : {'<', '&', ']'})
            of[c] &= ~TextPlain;
        for (const unsigned char c : {'<', '&', '"', '\''})
            of[c] &= ~ValuePlain;
        of[int('\t')] |= TextPlain | Space;
        of[int('\n')] |= TextPlain | Space;
        of[int(' ')] |= Space;
    }
};

const ByteClasses kBytes;

// The quick reader: file-information documents as pack builders write them
// (UTF-8, plain elements and attributes, CDATA sections, comments, the five
// predefined entities) read straight from the bytes, several times faster
// than the stream reader; a module of ten thousand files has a document of
// several megabytes, read at every run. It only ever accepts a document that
// it can tell is well-formed: anything outside that narrow form (a type
// declaration, processing instructions, character references, namespaces,
// carriage returns, other encodings) or anything wrong makes it give up, and
// the full reader decides, with its own messages and positions.
class QuickScanner
{
public:
    QuickScanner(const QByteArray &document, QVector<ScannedFileInfo> *entries)
        : m_p(document.constData()), m_end(document.constData() + document.size()), m_collector(entries)
    {
    }

    bool run()
    {
        if (!declaration())
            return false;
        if (!misc())
            return false;
        if (m_p >= m_end || *m_p != '<' || !element())
            return false;
        if (!misc())
            return false;
        return m_p == m_end;
    }

private:
    struct Name
    {
        const char *begin;
        int size;
        bool is(const char *text, int length) const
        {
            return size == length && std::memcmp(begin, text, size_t(length)) == 0;
        }
        bool operator==(const Name &other) const
        {
            return size == other.size && std::memcmp(begin, other.begin, size_t(size)) == 0;
        }
    };

    static bool is(char c, ByteClass byteClass) { return kBytes.of[static_cast<unsigned char>(c)] & byteClass; }

    bool startsWith(const char *text, int length) const
    {
        return m_end - m_p >= length && std::memcmp(m_p, text, size_t(length)) == 0;
    }

    void skipSpace()
    {
        while (m_p < m_end && is(*m_p, Space))
            ++m_p;
    }

    // After an attribute's name: blanks, "=", blanks and the opening quote,
    // which is passed back; the value starts where this leaves off.
    bool openValue(char *quote)
    {
        skipSpace();
        if (m_p >= m_end || *m_p != '=')
            return false;
        ++m_p;
        skipSpace();
        if (m_p >= m_end || (*m_p != '"' && *m_p != '\''))
            return false;
        *quote = *m_p++;
        return true;
    }

    // Bytes from b to e may stand in character data: no control characters
    // but tab and line feed (a carriage return would be normalised), and
    // sequences above ASCII only when they are valid UTF-8 of characters
    // that XML allows (C1 controls and the non-characters U+FFFE/U+FFFF are
    // left to the full reader). Sets *ascii when every byte is below 0x80.
    static bool validText(const char *b, const char *e, bool *ascii)
    {
        bool plain = true;
        const auto *p = reinterpret_cast<const unsigned char *>(b);
        const auto *end = reinterpret_cast<const unsigned char *>(e);
        while (p < end) {
            const unsigned char c = *p;
            if ((c >= 0x20 && c < 0x7f) || c == '\t' || c == '\n') {
                ++p;
                continue;
            }
            if (c < 0x80)
                return false; // other controls, DEL
            plain = false;
            uint code;
            int more;
            if (c >= 0xc2 && c <= 0xdf) {
                code = c & 0x1f;
                more = 1;
            } else if (c >= 0xe0 && c <= 0xef) {
                code = c & 0x0f;
                more = 2;
            } else if (c >= 0xf0 && c <= 0xf4) {
                code = c & 0x07;
                more = 3;
            } else {
                return false;
            }
            if (end - p <= more)
                return false;
            for (int i = 1; i <= more; ++i) {
                if ((p[i] & 0xc0) != 0x80)
                    return false;
                code = (code << 6) | (p[i] & 0x3f);
            }
            const uint minimum = more == 1 ? 0x80 : more == 2 ? 0x800 : 0x10000;
            if (code < minimum || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff) || code <= 0x9f
                || code == 0xfffe || code == 0xffff)
                return false;
            p += more + 1;
        }
        *ascii = plain;
        return true;
    }

    static QString decode(const char *b, const char *e, bool ascii)
    {
        if (ascii)
            return QString::fromLatin1(b, int(e - b));
        // QString::fromUtf8 drops a byte order mark at the start, the
        // reader keeps U+FEFF inside a document as a character.
        if (e - b >= 3 && std::memcmp(b, "\xef\xbb\xbf", 3) == 0) {
            QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
            return QTextCodec::codecForMib(106)->toUnicode(b, int(e - b), &state);
        }
        return QString::fromUtf8(b, int(e - b));
    }

    // Character data of path and data elements. The files of one folder
    // stand together and repeat its path: the last text is decoded once
    // and shared.
    QString decodeText(const char *b, const char *e, bool ascii)
    {
        LastText &last = m_lastText[m_collector.inPath() ? 0 : 1];
        const int size = int(e - b);
        if (size == last.size && std::memcmp(b, last.begin, size_t(size)) == 0)
            return last.text;
        last.text = decode(b, e, ascii);
        last.begin = b;
        last.size = size;
        return last.text;
    }

    // Nothing but the plain UTF-8, version 1.0 declaration, if any.
    bool declaration()
    {
        if (!startsWith("<?xml", 5))
            return true;
        m_p += 5;
        auto pseudoAttribute = [this](const char *name, int length, const char *const *values, int count) {
            const char *start = m_p;
            skipSpace();
            if (m_p == start || !startsWith(name, length)) {
                m_p = start;
                return false;
            }
            m_p += length;
            char quote = 0;
            if (!openValue(&quote))
                return false;
            const char *value = m_p;
            while (m_p < m_end && *m_p != quote)
                ++m_p;
            if (m_p >= m_end)
                return false;
            const int size = int(m_p - value);
            ++m_p;
            for (int i = 0; i < count; ++i) {
                if (int(std::strlen(values[i])) == size && std::memcmp(values[i], value, size_t(size)) == 0)
                    return true;
            }
            return false;
        };
        static const char *const versions[] = {"1.0"};
        static const char *const encodings[] = {"UTF-8", "utf-8"};
        static const char *const standalones[] = {"yes", "no"};
        if (!pseudoAttribute("version", 7, versions, 1))
            return false;
        const char *before = m_p;
        if (!pseudoAttribute("encoding", 8, encodings, 2) && m_p != before)
            return false;
        before = m_p;
        if (!pseudoAttribute("standalone", 10, standalones, 2) && m_p != before)
            return false;
        skipSpace();
        if (!startsWith("?>", 2))
            return false;
        m_p += 2;
        return true;
    }

    // White space and comments, outside the document element.
    bool misc()
    {
        for (;;) {
            skipSpace();
            if (startsWith("<!--", 4)) {
                if (!comment())
                    return false;
                continue;
            }
            return true;
        }
    }

    // At "<!--": "--" may only stand right before the closing ">".
    bool comment()
    {
        m_p += 4;
        const char *body = m_p;
        while (m_end - m_p >= 2) {
            if (m_p[0] == '-' && m_p[1] == '-') {
                bool ascii;
                if (m_end - m_p < 3 || m_p[2] != '>' || !validText(body, m_p, &ascii))
                    return false;
                m_p += 3;
                return true;
            }
            ++m_p;
        }
        return false;
    }

    bool name(Name *out)
    {
        if (m_p >= m_end || !is(*m_p, NameStart))
            return false;
        const char *begin = m_p++;
        while (m_p < m_end && is(*m_p, NameChar))
            ++m_p;
        *out = Name{begin, int(m_p - begin)};
        return true;
    }

    // Expands one of the five predefined entities at "&" into out.
    bool entity(QByteArray *out)
    {
        static const struct
        {
            const char *text;
            int length;
            char value;
        } known[] = {{"&amp;", 5, '&'}, {"&lt;", 4, '<'}, {"&gt;", 4, '>'}, {"&quot;", 6, '"'}, {"&apos;", 6, '\''}};
        for (const auto &k : known) {
            if (startsWith(k.text, k.length)) {
                out->append(k.value);
                m_p += k.length;
                return true;
            }
        }
        return false; // character references and undeclared entities
    }

    // An attribute value after its opening quote; *value receives the text
    // when wanted.
    bool attributeValue(char quote, QString *value)
    {
        const char *begin = m_p;
        bool ascii = true;
        bool hasEntity = false;
        for (;;) {
            while (m_p < m_end && is(*m_p, ValuePlain))
                ++m_p;
            if (m_p >= m_end)
                return false;
            const char c = *m_p;
            if (c == quote)
                break;
            if (c == '"' || c == '\'')
                ; // the other quote
            else if (c == '&')
                hasEntity = true;
            else if (static_cast<unsigned char>(c) >= 0x80)
                ascii = false; // checked below
            else
                return false; // "<", and tabs and line breaks, which would be normalised to blanks
            ++m_p;
        }
        const char *end = m_p++;
        if (!ascii && !validText(begin, end, &ascii))
            return false;
        if (!hasEntity) {
            if (value)
                *value = decode(begin, end, ascii);
            return true;
        }
        QByteArray expanded;
        const char *after = m_p;
        m_p = begin;
        while (m_p < end) {
            if (*m_p == '&') {
                if (!entity(&expanded) || m_p > end)
                    return false;
            } else {
                expanded.append(*m_p++);
            }
        }
        m_p = after;
        if (value)
            *value = decode(expanded.constData(), expanded.constData() + expanded.size(), ascii);
        return true;
    }

    // At "<" of the document element: the element and everything in it.
    bool element()
    {
        std::vector<Name> open;
        for (;;) {
            // m_p is at "<" of a start tag.
            ++m_p;
            Name tag;
            if (!name(&tag) || open.size() >= size_t(kMaxUntrustedXmlDepth))
                return false;
            if (!startTag(tag))
                return false;
            if (startsWith("/>", 2)) {
                m_p += 2;
                m_collector.endElement();
            } else if (m_p < m_end && *m_p == '>') {
                ++m_p;
                open.push_back(tag);
            } else {
                return false;
            }
            // Content, up to the next start tag, or the end of the document element.
            for (;;) {
                if (open.empty())
                    return true;
                if (!text())
                    return false;
                if (m_p >= m_end)
                    return false;
                // m_p is at "<".
                if (startsWith("</", 2)) {
                    m_p += 2;
                    Name closing;
                    if (!name(&closing) || !(closing == open.back()))
                        return false;
                    skipSpace();
                    if (m_p >= m_end || *m_p != '>')
                        return false;
                    ++m_p;
                    open.pop_back();
                    m_collector.endElement();
                } else if (startsWith("<!--", 4)) {
                    if (!comment())
                        return false;
                } else if (startsWith("<![CDATA[", 9)) {
                    if (!cdata())
                        return false;
                } else if (m_end - m_p >= 2 && is(m_p[1], NameStart)) {
                    break; // a child element
                } else {
                    return false;
                }
            }
        }
    }

    // After the name of a start tag: its attributes, up to ">" or "/>".
    bool startTag(const Name &tag)
    {
        EntryCollector::Kind kind = EntryCollector::Other;
        if (tag.is("fileinfo", 8))
            kind = EntryCollector::FileInfo;
        else if (tag.is("path", 4))
            kind = EntryCollector::Path;
        else if (tag.is("data", 4))
            kind = EntryCollector::Data;
        ScannedFileInfo *entry = m_collector.startElement(kind);
        m_attributes.clear();
        for (;;) {
            const char *before = m_p;
            skipSpace();
            if (m_p >= m_end)
                return false;
            if (*m_p == '>' || *m_p == '/')
                return true;
            Name attribute;
            if (m_p == before || !name(&attribute))
                return false;
            // Namespace declarations change what names mean.
            if (attribute.size >= 5 && std::memcmp(attribute.begin, "xmlns", 5) == 0)
                return false;
            for (const Name &seen : m_attributes) {
                if (seen == attribute)
                    return false; // the same attribute twice
            }
            m_attributes.push_back(attribute);
            char quote = 0;
            if (!openValue(&quote))
                return false;
            QString *value = nullptr;
            qint64 *size = nullptr;
            int *deleteFlag = nullptr;
            if (entry) {
                if (attribute.is("filename", 8))
                    value = &entry->fileName;
                else if (attribute.is("hash", 4))
                    value = &entry->hash;
                else if (attribute.is("sha256", 6))
                    value = &entry->sha256;
                else if (attribute.is("size", 4))
                    size = &entry->size;
                else if (attribute.is("is_need_delete", 14))
                    deleteFlag = &entry->isNeedDelete;
            }
            const char *valueBegin = m_p;
            if (!attributeValue(quote, value))
                return false;
            if (!size && !deleteFlag)
                continue;
            // Plain digits, as pack builders write them, are read in place;
            // anything else as the full reader reads it.
            const char *after = m_p;
            qint64 number = 0;
            if (!digits(valueBegin, after - 1, size ? 18 : 9, &number)) {
                QString text;
                m_p = valueBegin;
                attributeValue(quote, &text); // read once already
                m_p = after;
                number = size ? fileInfoSize(text) : fileInfoDeleteFlag(text);
            }
            if (size)
                *size = number;
            else
                *deleteFlag = int(number);
        }
    }

    // b to e holds 1 to maxDigits decimal digits and nothing else.
    static bool digits(const char *b, const char *e, int maxDigits, qint64 *value)
    {
        if (e <= b || e - b > maxDigits)
            return false;
        qint64 v = 0;
        for (const char *c = b; c != e; ++c) {
            if (*c < '0' || *c > '9')
                return false;
            v = v * 10 + (*c - '0');
        }
        *value = v;
        return true;
    }

    // Character data from b to e, as it stands.
    bool characters(const char *b, const char *e, bool ascii)
    {
        if (!ascii && !validText(b, e, &ascii))
            return false;
        if (m_collector.capturing() && e > b)
            m_collector.appendText(decodeText(b, e, ascii));
        return true;
    }

    // Character data up to the next "<" (or the end).
    bool text()
    {
        const char *begin = m_p;
        bool ascii = true;
        for (;;) {
            while (m_p < m_end && is(*m_p, TextPlain))
                ++m_p;
            if (m_p >= m_end || *m_p == '<')
                break;
            const char c = *m_p;
            if (c == ']') {
                if (startsWith("]]>", 3))
                    return false; // not allowed in character data
                ++m_p;
            } else if (c == '&') {
                if (!characters(begin, m_p, ascii))
                    return false;
                QByteArray expanded;
                if (!entity(&expanded))
                    return false;
                m_collector.appendText(QLatin1String(expanded));
                begin = m_p;
                ascii = true;
            } else if (static_cast<unsigned char>(c) >= 0x80) {
                ascii = false; // checked with the rest
                ++m_p;
            } else {
                return false; // other control characters
            }
        }
        return characters(begin, m_p, ascii);
    }

    // At "<![CDATA[": its content is text as it stands.
    bool cdata()
    {
        m_p += 9;
        const char *begin = m_p;
        for (;;) {
            const void *found = std::memchr(m_p, ']', size_t(m_end - m_p));
            if (!found)
                return false;
            m_p = static_cast<const char *>(found);
            if (startsWith("]]>", 3))
                break;
            ++m_p;
        }
        const char *end = m_p;
        m_p += 3;
        bool ascii;
        if (!validText(begin, end, &ascii))
            return false;
        if (m_collector.capturing() && end > begin)
            m_collector.appendText(decodeText(begin, end, ascii));
        return true;
    }

    const char *m_p;
    const char *m_end;
    EntryCollector m_collector;
    std::vector<Name> m_attributes;
    struct LastText
    {
        const char *begin = nullptr;
        int size = -1;
        QString text;
    };
    LastText m_lastText[2]; // in a path element, elsewhere
};

} // namespace

qint64 fileInfoSize(const QString &text)
{
    bool ok = false;
    const qint64 size = text.toLongLong(&ok);
    return ok ? size : 0;
}

int fileInfoDeleteFlag(const QString &text)
{
    return text.toInt();
}

bool quickScanFileInfoEntries(const QByteArray &document, QVector<ScannedFileInfo> *entries)
{
    entries->clear();
    // An entry takes a hundred bytes and more: room for all of them at once
    // spares copying the list as it grows (what is not used of the room is
    // never touched). Past a quarter million entries it grows as it must.
    entries->reserve(qMin(document.size() / 100, 1 << 18));
    QuickScanner scanner(document, entries);
    if (scanner.run())
        return true;
    entries->clear();
    return false;
}

bool fullScanFileInfoEntries(const QByteArray &document, QVector<ScannedFileInfo> *entries, QString *message,
                             int *line, int *column)
{
    return streamScan(document, entries, message, line, column);
}

bool scanFileInfoEntries(const QByteArray &document, QVector<ScannedFileInfo> *entries, QString *message,
                         int *line, int *column)
{
    if (quickScanFileInfoEntries(document, entries))
        return true;
    return streamScan(document, entries, message, line, column);
}
