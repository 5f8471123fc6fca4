// HTTP request parser: a byte-wise state machine whose whole state lives in the record.
#include "http/request.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "http/console_text.h"

static constexpr char CR = 13;
static constexpr char LF = 10;

// Appends the n bytes at p to a fixed text of the record as far as it has room; the flag
// records that bytes were dropped.
static void storeText(char* text, uint64_t* length, size_t size, bool* truncated, const char* p,
                      size_t n)
{
    size_t room = size - 1 - static_cast<size_t>(*length);
    size_t take = n < room ? n : room;
    memcpy(text + *length, p, take);
    *length += take;
    if (take < n)
        *truncated = true;
}

// Length of the run at p (at most n bytes) that holds none of the bytes a and b.
static size_t runWithout(const char* p, size_t n, char a, char b)
{
    size_t k = 0;
    while (k < n && p[k] != a && p[k] != b)
        ++k;
    return k;
}

// Appends the n bytes at p (n >= 1) to a header's name or value by the pool rule: a text
// starts one zero byte after the previous one, and nothing is stored once the pool is nearly
// full.
static void appendToPool(HttpRequest* request, char** text, uint64_t* length, const char* p,
                         size_t n)
{
    if (*text == nullptr) {
        *length = 0;
        if (request->headerPoolUsed == 0) {
            *text = request->headerPool;
        } else if (request->headerPoolUsed < REQUEST_HEADER_POOL_LIMIT) {
            request->headerPoolUsed += 1;
            *text = request->headerPool + request->headerPoolUsed;
        } else {
            request->headerPoolExhausted = true;
        }
    }
    // A slot left uncounted by an earlier line goes on filling its texts. When another text
    // has been stored behind one of them since, that text moves to the end of the pool
    // first, so that appending never overwrites its neighbour or the gap before it.
    char* fill = request->headerPool + request->headerPoolUsed;
    if (*text != nullptr && *text + *length != fill) {
        if (request->headerPoolUsed + 1 + *length >= REQUEST_HEADER_POOL_LIMIT) {
            request->headerPoolExhausted = true;
            return;
        }
        memmove(fill + 1, *text, static_cast<size_t>(*length));
        *text = fill + 1;
        request->headerPoolUsed += 1 + *length;
    }
    if (request->headerPoolUsed >= REQUEST_HEADER_POOL_LIMIT || *text == nullptr) {
        request->headerPoolExhausted = true;
        return;
    }
    size_t room = REQUEST_HEADER_POOL_LIMIT - static_cast<size_t>(request->headerPoolUsed);
    size_t take = n < room ? n : room;
    memcpy(*text + *length, p, take);
    *length += take;
    request->headerPoolUsed += take;
    if (take < n)
        request->headerPoolExhausted = true;
}

static HttpParseState nextLineState(HttpRequest* request)
{
    if (request->headerCount >= REQUEST_MAX_HEADERS) {
        request->tooManyHeaders = true;
        return SkipHeaderLine;
    }
    return request->headerPoolExhausted ? SkipHeaderLine : ReadHeaderName;
}

// The declared length as "%ld" would read it, but in 64 bits and saturating, so no text can
// overflow it. False when no number is there.
static bool scanDeclaredLength(const char* text, int64_t* value)
{
    while (isspace(static_cast<unsigned char>(*text)))
        ++text;
    bool negative = *text == '-';
    if (*text == '-' || *text == '+')
        ++text;
    if (!isdigit(static_cast<unsigned char>(*text)))
        return false;
    int64_t n = 0;
    for (; isdigit(static_cast<unsigned char>(*text)); ++text) {
        int digit = *text - '0';
        n = n > (INT64_MAX - digit) / 10 ? INT64_MAX : n * 10 + digit;
    }
    *value = negative ? -n : n;
    return true;
}

const char* findRequestHeader(const HttpRequest* request, const char* name)
{
    size_t nameLength = strlen(name);
    for (uint64_t i = 0; i < request->headerCount && i < REQUEST_MAX_HEADERS; ++i) {
        const HttpHeader& h = request->headers[i];
        if (h.nameLength == nameLength && strncasecmp(h.name, name, nameLength) == 0)
            return h.value;
    }
    return nullptr;
}

bool requestAwaitsContinue(const HttpRequest* request)
{
    if (request->parseState != ReadBody || request->body.length != 0)
        return false;
    const char* expect = findRequestHeader(request, "Expect");
    return expect != nullptr && strcasecmp(expect, "100-continue") == 0;
}

static void finishHeaders(HttpRequest* request)
{
    request->parseState = Complete;
    const char* declaredText = findRequestHeader(request, "Content-Length");
    int64_t declared = 0;
    if (!declaredText || !scanDeclaredLength(declaredText, &declared))
        return;
    if (declared > REQUEST_BODY_MAX_BYTES) {
        request->bodyTooLarge = true;
        return;
    }
    if (declared <= 0) {
        request->body.capacity = 0;
        request->body.length = 0;
        return;
    }
    if (request->admitBody != nullptr &&
        !request->admitBody(request->admitContext, static_cast<uint64_t>(declared))) {
        request->bodyRefused = true;
        return;
    }
    char* block = static_cast<char*>(calloc(static_cast<size_t>(declared) + 1, 1));
    if (block == nullptr) {
        request->bodyAllocationFailed = true;
        return;
    }
    request->body.contents = block;
    request->body.capacity = static_cast<uint64_t>(declared);
    request->body.length = 0;
    request->parseState = ReadBody;
}

void parseRequestBytes(HttpRequest* request, const char* bytes, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        char c = bytes[i];
        HttpHeader* slot = &request->headers[request->headerCount < REQUEST_MAX_HEADERS
                                                 ? request->headerCount
                                                 : REQUEST_MAX_HEADERS - 1];
        switch (request->parseState) {
        // In the text states a run of ordinary bytes is stored at once, exactly as storing
        // them one by one would; the delimiter that ends the run is handled on its own.
        case ReadMethod:
            if (c == ' ') {
                request->parseState = ReadPath;
            } else {
                size_t run = runWithout(bytes + i, count - i, ' ', ' ');
                storeText(request->method, &request->methodLength, REQUEST_METHOD_SIZE,
                          &request->methodTruncated, bytes + i, run);
                i += run - 1;
            }
            break;
        case ReadPath:
            if (c == ' ') {
                decodeUrlText(request->path, request->decodedPath, &request->decodedPathLength);
                request->parseState = ReadVersion;
            } else {
                size_t run = runWithout(bytes + i, count - i, ' ', ' ');
                storeText(request->path, &request->pathLength, REQUEST_PATH_SIZE,
                          &request->pathTruncated, bytes + i, run);
                i += run - 1;
            }
            break;
        case ReadVersion:
            if (c == CR) {
                request->parseState = LineEndCR;
            } else {
                size_t run = runWithout(bytes + i, count - i, CR, CR);
                storeText(request->version, &request->versionLength, REQUEST_VERSION_SIZE,
                          &request->versionTruncated, bytes + i, run);
                i += run - 1;
            }
            break;
        case ReadHeaderName:
            if (c == ':') {
                request->parseState = ReadHeaderValue;
            } else if (c == CR) {
                request->parseState = LineEndCR;
            } else {
                size_t run = runWithout(bytes + i, count - i, ':', CR);
                appendToPool(request, &slot->name, &slot->nameLength, bytes + i, run);
                i += run - 1;
            }
            break;
        case ReadHeaderValue:
            if (c == ' ' && slot->valueLength == 0)
                break; // leading spaces are skipped, tabs are not
            if (c == CR) {
                if (slot->nameLength > 0 && slot->valueLength > 0)
                    request->headerCount += 1;
                request->parseState = LineEndCR;
            } else {
                size_t run = runWithout(bytes + i, count - i, CR, CR);
                appendToPool(request, &slot->value, &slot->valueLength, bytes + i, run);
                i += run - 1;
            }
            break;
        case LineEndCR:
            request->parseState = c == LF ? LineEnd : nextLineState(request);
            break;
        case LineEnd:
            if (c == CR) {
                request->parseState = BlankLineCR;
            } else {
                request->parseState = nextLineState(request);
                if (request->parseState == ReadHeaderName)
                    --i; // the byte starts the header name
            }
            break;
        case BlankLineCR:
            if (c == LF)
                finishHeaders(request);
            else
                request->parseState = nextLineState(request);
            break;
        case ReadBody: {
            // The rest of the chunk, up to the rest of the body, in one copy.
            uint64_t wanted = request->body.capacity - request->body.length;
            size_t take = count - i < wanted ? count - i : static_cast<size_t>(wanted);
            memcpy(request->body.contents + request->body.length, bytes + i, take);
            request->body.length += take;
            i += take - 1;
            if (request->body.length == request->body.capacity)
                request->parseState = Complete;
            break;
        }
        case SkipHeaderLine:
            if (c == CR)
                request->parseState = LineEndCR;
            break;
        case Complete:
            if (request->body.contents != nullptr)
                request->bodyTruncated = true;
            return; // everything after a complete request is ignored
        }
    }
}

bool decodeUrlText(const char* source, char* destination, uint64_t* outLength)
{
    enum { Plain, FirstDigit, SecondDigit } mode = Plain;
    int undecodable = 0;
    size_t k = 0;
    bool cut = false;
    char first = 0;
    for (const char* p = source; *p; ++p) {
        if (k >= REQUEST_PATH_SIZE - 1) {
            cut = true;
            break;
        }
        switch (mode) {
        case Plain:
            if (*p == '%')
                mode = FirstDigit;
            else
                destination[k++] = *p == '+' ? ' ' : *p;
            break;
        case FirstDigit:
            first = *p;
            mode = SecondDigit;
            break;
        case SecondDigit: {
            char hex[3] = {first, *p, 0};
            unsigned int value = 0;
            if (sscanf(hex, "%02x", &value) == 1) {
                destination[k++] = static_cast<char>(value & 0xFF);
            } else if (++undecodable <= REQUEST_URL_WARNINGS_MAX) {
                char shownHex[CONSOLE_TEXT_SIZE];
                char shownRest[CONSOLE_TEXT_SIZE];
                printf("Warning: Unable to decode hex string 0x%s from %s",
                       consoleText(hex, 2, shownHex, sizeof shownHex),
                       consoleTextOf(p, shownRest, sizeof shownRest));
            }
            mode = Plain;
            break;
        }
        }
    }
    if (undecodable > REQUEST_URL_WARNINGS_MAX)
        printf("\nWarning: %d further undecodable escapes in the path were not shown\n",
               undecodable - REQUEST_URL_WARNINGS_MAX);
    if (undecodable > 0)
        fflush(stdout); // the last warning ends without a line feed: shown now, not with the next line
    destination[k] = '\0';
    if (outLength)
        *outLength = k;
    return !cut;
}
