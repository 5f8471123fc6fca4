// HTTP request parser: received bytes, in any split, become one HttpRequest.
#pragma once

#include <cstddef>
#include <cstdint>

#include "http/text_buffer.h"

constexpr size_t REQUEST_MAX_HEADERS = 64;
constexpr size_t REQUEST_HEADERS_MAX_MEMORY = 8192;
// A header character is stored only while headerPoolUsed is below this: the pool keeps room
// for the one-byte gaps and the zero that ends the last text.
constexpr size_t REQUEST_HEADER_POOL_LIMIT = REQUEST_HEADERS_MAX_MEMORY - 5;
constexpr size_t REQUEST_METHOD_SIZE = 64;
constexpr size_t REQUEST_VERSION_SIZE = 16;
constexpr size_t REQUEST_PATH_SIZE = 1024;
// Largest body a request may declare. A larger Content-Length completes the request at its
// blank line without a body and sets bodyTooLarge: the server refuses it unread.
constexpr int64_t REQUEST_BODY_MAX_BYTES = 134217728;
// Undecodable percent escapes of one path that get a warning of their own; the rest are
// counted in one closing line.
constexpr int REQUEST_URL_WARNINGS_MAX = 4;

// One header: name and value point into the request's headerPool (null until their first
// character is stored) and read as zero-terminated texts there.
struct HttpHeader {
    char* name;
    uint64_t nameLength;
    char* value;
    uint64_t valueLength;
};

enum HttpParseState : int32_t {
    ReadMethod,
    ReadPath,
    ReadVersion,
    ReadHeaderName,
    ReadHeaderValue,
    LineEndCR,      // a CR ended a line
    LineEnd,        // CR LF seen
    BlankLineCR,    // CR at the start of a line
    ReadBody,
    SkipHeaderLine,
    Complete,
};

// Created zero-filled, which is the parser's start state. Invariants after any feed: method,
// version, path and decodedPath are zero-terminated within their buffers and their lengths
// stay below the buffer sizes; headerPoolUsed <= REQUEST_HEADER_POOL_LIMIT; every non-null
// header pointer lies inside headerPool and its text ends with a zero inside the pool;
// headerCount <= REQUEST_MAX_HEADERS; body.contents, when present, holds capacity + 1 bytes of
// which the last is zero, and body.length <= body.capacity <= REQUEST_BODY_MAX_BYTES.
struct HttpRequest {
    char method[REQUEST_METHOD_SIZE];
    uint64_t methodLength;
    char version[REQUEST_VERSION_SIZE];
    uint64_t versionLength;
    char path[REQUEST_PATH_SIZE];              // request target as received, query included
    uint64_t pathLength;
    char decodedPath[REQUEST_PATH_SIZE];       // path after percent decoding
    uint64_t decodedPathLength;                // a decoded zero byte counts
    TextBuffer body;                           // capacity: declared length after clamping
    HttpHeader headers[REQUEST_MAX_HEADERS];   // the slot being filled is headers[headerCount]
    uint64_t headerCount;                      // complete headers stored
    char headerPool[REQUEST_HEADERS_MAX_MEMORY];
    uint64_t headerPoolUsed;
    bool headerPoolExhausted;                  // a header character was dropped: pool full
    bool tooManyHeaders;                       // a header line was skipped: 64 stored already
    bool methodTruncated;
    bool versionTruncated;
    bool pathTruncated;
    bool bodyTruncated;                        // bytes came after a complete request with a body
    HttpParseState parseState;
    // The declared body could not be allocated: the request is Complete without a body, and
    // the handler must answer that instead of treating it as a request without contents.
    bool bodyAllocationFailed;
    // The declared length exceeds REQUEST_BODY_MAX_BYTES: Complete at the blank line, no body.
    bool bodyTooLarge;
    // Asked with the declared length before the body is allocated; false refuses the body
    // (Complete at the blank line, no body, bodyRefused set). Null admits every body.
    bool (*admitBody)(void* context, uint64_t length);
    void* admitContext;
    bool bodyRefused;
};

// Runs count bytes through the parser, resuming where the last call stopped. Never fails;
// allocates only the body block (calloc of declared length + 1) at the end of the headers.
void parseRequestBytes(HttpRequest* request, const char* bytes, size_t count);

// The value of the first counted header whose name equals name (ASCII case ignored), or null.
const char* findRequestHeader(const HttpRequest* request, const char* name);

// Whether the client waits for "100 Continue" before it sends the body: the header block is
// complete, a body is still to come and none of it has arrived, and "Expect: 100-continue".
bool requestAwaitsContinue(const HttpRequest* request);

// Percent-decodes the zero-terminated source into destination (REQUEST_PATH_SIZE bytes),
// '+' becoming a space, and zero-terminates it; stores the bytes written through outLength
// when given. An escape that does not scan as hex writes nothing and prints a warning on
// standard output, with the request bytes escaped and cut (the first REQUEST_URL_WARNINGS_MAX
// of them; one line counts the rest). Returns false when the output was cut at
// REQUEST_PATH_SIZE - 1 bytes.
bool decodeUrlText(const char* source, char* destination, uint64_t* outLength);
