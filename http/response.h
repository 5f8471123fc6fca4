// HTTP responses: the record a handler returns, its constructor, and sending it.
#pragma once

#include <cstdint>

#include "http/text_buffer.h"

struct HttpConnection;

// Created zero-filled; owns every text it points to and its body's contents, all heap blocks
// released with free by the server after sending.
struct HttpResponse {
    int32_t statusCode;
    TextBuffer body;           // length 0: no body
    char* filenameToSend;      // always null here: no route sends a file
    char* reasonPhrase;        // status text after the code, or null
    char* contentType;         // Content-Type value, or null
    char* additionalHeaders;   // further lines, each ending CR LF, or null
};

// Every response carries this header block and no other header.
constexpr const char* HTTP_RESPONSE_HEADER_FORMAT =
    "HTTP/1.1 %d %s\r\nContent-Type: %s\r\nAccess-Control-Allow-Origin: *\r\n"
    "Content-Length: %llu\r\nServer: tavrinhost/1.0.2\r\n%s\r\n";

// A new response with copies of reasonPhrase and contentType (null stays null) and the body
// formatted printf-style. Returns null, with nothing left allocated, when memory runs out.
HttpResponse* newFormattedResponse(int statusCode, const char* reasonPhrase,
                                   const char* contentType, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

// Sends the header block (formatted into connection->headerBuffer) in one send, then the body
// in one send. Returns 0 when both went out whole, -1 otherwise with a message on standard
// output; a header block that does not fit the buffer is refused and nothing is sent. Never
// raises SIGPIPE.
int sendHttpResponse(HttpConnection* connection, const HttpResponse* response);
