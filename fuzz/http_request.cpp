// Fuzz target: arbitrary bytes, in arbitrary splits, through the request parser; the record's
// invariants are checked after every piece.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "http/request.h"

static void check(const HttpRequest* r)
{
    if (r->methodLength >= REQUEST_METHOD_SIZE || r->method[r->methodLength] != '\0' ||
        r->versionLength >= REQUEST_VERSION_SIZE || r->version[r->versionLength] != '\0' ||
        r->pathLength >= REQUEST_PATH_SIZE || r->path[r->pathLength] != '\0' ||
        r->decodedPathLength >= REQUEST_PATH_SIZE || r->decodedPath[r->decodedPathLength] != '\0' ||
        r->headerPoolUsed > REQUEST_HEADER_POOL_LIMIT || r->headerCount > REQUEST_MAX_HEADERS ||
        r->body.length > r->body.capacity)
        abort();
    // Header texts lie inside the pool, end with a zero and never overlap (a zero byte of
    // the input may stand inside one: texts are read by their lengths).
    const char* starts[2 * REQUEST_MAX_HEADERS];
    uint64_t lengths[2 * REQUEST_MAX_HEADERS];
    size_t texts = 0;
    for (const HttpHeader& h : r->headers) {
        for (auto [text, length] : {std::pair{h.name, h.nameLength}, std::pair{h.value, h.valueLength}}) {
            if (!text)
                continue;
            if (text < r->headerPool || text + length >= r->headerPool + REQUEST_HEADERS_MAX_MEMORY ||
                text[length] != '\0')
                abort();
            starts[texts] = text;
            lengths[texts++] = length;
        }
    }
    for (size_t a = 0; a < texts; ++a)
        for (size_t b = a + 1; b < texts; ++b)
            if (lengths[a] > 0 && lengths[b] > 0 && starts[a] < starts[b] + lengths[b] &&
                starts[b] < starts[a] + lengths[a])
                abort();
    if (r->body.contents && r->body.contents[r->body.capacity] != '\0')
        abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    // The first byte seeds the split sizes.
    unsigned seed = data[0];
    ++data;
    --size;
    auto* r = static_cast<HttpRequest*>(calloc(1, sizeof(HttpRequest)));
    size_t at = 0;
    while (at < size) {
        size_t piece = 1 + (seed % 17) * (seed % 5);
        seed = seed * 1103515245u + 12345u;
        if (piece > size - at)
            piece = size - at;
        parseRequestBytes(r, reinterpret_cast<const char*>(data) + at, piece);
        check(r);
        at += piece;
    }
    free(r->body.contents);
    free(r);
    return 0;
}
