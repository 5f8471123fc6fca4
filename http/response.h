// HTTP responses: the record a handler returns, its constructors, and sending it.
#pragma once

#include <cstdint>

#include "http/text_buffer.h"

struct HttpConnection;

// Created zero-filled; owns every text it points to and its body's contents, all heap blocks
// released with free by the server after sending (releaseResponse).
struct HttpResponse {
    int32_t statusCode;
    TextBuffer body;           // length 0: no body
    char* filenameToSend;      // always null here: no route sends a file
    char* reasonPhrase;        // status text after the code, or null
    char* contentType;         // Content-Type value, or null
    char* additionalHeaders;   // further lines, each ending CR LF, or null
};

// Every response carries this header block. The server keeps no connection open after a
// response, and says so. Statuses that never have a body (1xx, 204, 304) leave out the two
// body headers: HTTP_RESPONSE_HEADER_FORMAT_NO_BODY.
constexpr const char* HTTP_RESPONSE_HEADER_FORMAT =
    "HTTP/1.1 %d %s\r\nContent-Type: %s\r\nAccess-Control-Allow-Origin: *\r\n"
    "Content-Length: %llu\r\nServer: tavrinhost/1.0.2\r\nConnection: close\r\n%s\r\n";
constexpr const char* HTTP_RESPONSE_HEADER_FORMAT_NO_BODY =
    "HTTP/1.1 %d %s\r\nAccess-Control-Allow-Origin: *\r\nServer: tavrinhost/1.0.2\r\n"
    "Connection: close\r\n%s\r\n";

// A new response with copies of reasonPhrase and contentType (null stays null) and the body
// formatted printf-style. Returns null, with nothing left allocated, when memory runs out.
HttpResponse* newFormattedResponse(int statusCode, const char* reasonPhrase,
                                   const char* contentType, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

// A new response that takes over body, a heap block of capacity bytes holding length bytes
// followed by zero bytes up to capacity (capacity > length), without copying it. On failure
// body is freed and the result is null.
HttpResponse* newResponseWithBody(int statusCode, const char* reasonPhrase,
                                  const char* contentType, char* body, uint64_t length,
                                  uint64_t capacity);

// A response whose empty body is meant: it goes out with "Content-Length: 0" (or, for a
// status without a body, without body headers). Its body is a block of one zero byte (length
// 0, capacity HTTP_EMPTY_BODY_CAPACITY), a form that text buffers, which start at 256 bytes,
// never take, so the server can tell it from a formatted empty text. Null when memory runs out.
constexpr uint64_t HTTP_EMPTY_BODY_CAPACITY = 1;
HttpResponse* newEmptyBodyResponse(int statusCode, const char* reasonPhrase,
                                   const char* contentType);

// Whether the server puts response on the wire: a body of length above 0, or an empty body
// made by newEmptyBodyResponse. Any other response with an empty body is not sent.
bool responseIsSendable(const HttpResponse* response);

// Frees every block of the response and the record; null is allowed.
void releaseResponse(HttpResponse* response);

// Whether a response with this status never carries a body (1xx, 204, 304).
bool statusHasNoBody(int statusCode);

// Formats the header block into connection->headerBuffer and sends it, then the body, each
// retried until whole or until connection->sendDeadlineMs passes (the socket is
// non-blocking). Returns 0 when both went out whole, -1 otherwise with one message on
// standard output. A header block that does not fit the buffer is refused; nothing is sent.
int sendHttpResponse(HttpConnection* connection, const HttpResponse* response);
