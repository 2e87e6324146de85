// Answers of a web server as they may come over the wire, cut into pieces
// of a size the first byte chooses: the reader must stop cleanly on any of
// them, hand over exactly the body it counted, and never claim a complete
// body of another length than announced.

#include "fuzzsupport.h"
#include "httpresponseparser.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    initFuzzEnvironment(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const qint64 piece = 1 + data[0] % 97;
    const char *answer = reinterpret_cast<const char *>(data + 1);
    const qint64 length = qint64(size) - 1;

    HttpResponseParser parser;
    qint64 delivered = 0;
    for (qint64 at = 0; at < length; at += piece) {
        const qint64 n = qMin(piece, length - at);
        const qint64 used = parser.feed(answer + at, n, [&](const char *, qint64 bytes) {
            if (bytes <= 0)
                abort();
            delivered += bytes;
            return true;
        });
        if (used < 0 || used > n)
            abort();
        if (used < n)
            break;
    }
    parser.closed();
    if (delivered != parser.bodyReceived())
        abort();
    if (parser.state() == HttpResponseParser::Done && parser.contentLength() >= 0
        && parser.bodyReceived() != parser.contentLength())
        abort();
    if (parser.state() != HttpResponseParser::Done && parser.state() != HttpResponseParser::Failed)
        abort(); // after the close nothing may be left waiting
    return 0;
}
