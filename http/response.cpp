// HTTP responses: construction and sending.
#include "http/response.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "http/net.h"
#include "http/server.h"

static bool copyText(const char* text, char** copy)
{
    *copy = text ? strdup(text) : nullptr;
    return text == nullptr || *copy != nullptr;
}

// A zero-filled record with copies of the two texts, or null (nothing left allocated).
static HttpResponse* newResponse(int statusCode, const char* reasonPhrase, const char* contentType)
{
    auto* response = static_cast<HttpResponse*>(calloc(1, sizeof(HttpResponse)));
    if (response == nullptr)
        return nullptr;
    response->statusCode = statusCode;
    if (!copyText(reasonPhrase, &response->reasonPhrase) ||
        !copyText(contentType, &response->contentType)) {
        releaseResponse(response);
        return nullptr;
    }
    return response;
}

void releaseResponse(HttpResponse* response)
{
    if (response == nullptr)
        return;
    free(response->reasonPhrase);
    free(response->filenameToSend);
    free(response->contentType);
    free(response->additionalHeaders);
    free(response->body.contents);
    free(response);
}

HttpResponse* newFormattedResponse(int statusCode, const char* reasonPhrase,
                                   const char* contentType, const char* format, ...)
{
    HttpResponse* response = newResponse(statusCode, reasonPhrase, contentType);
    if (response == nullptr)
        return nullptr;
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int measured = vsnprintf(nullptr, 0, format, args);
    bool ok = measured >= 0 &&
              textBufferReserve(&response->body, static_cast<uint64_t>(measured) + 1);
    if (ok) {
        vsnprintf(response->body.contents, static_cast<size_t>(response->body.capacity), format,
                  again);
        response->body.length = static_cast<uint64_t>(measured);
    }
    va_end(again);
    va_end(args);
    if (!ok) {
        releaseResponse(response);
        return nullptr;
    }
    return response;
}

HttpResponse* newResponseWithBody(int statusCode, const char* reasonPhrase,
                                  const char* contentType, char* body, uint64_t length,
                                  uint64_t capacity)
{
    HttpResponse* response = newResponse(statusCode, reasonPhrase, contentType);
    if (response == nullptr) {
        free(body);
        return nullptr;
    }
    response->body.contents = body;
    response->body.length = length;
    response->body.capacity = capacity;
    return response;
}

HttpResponse* newEmptyBodyResponse(int statusCode, const char* reasonPhrase,
                                   const char* contentType)
{
    auto* empty = static_cast<char*>(calloc(1, HTTP_EMPTY_BODY_CAPACITY));
    if (empty == nullptr)
        return nullptr;
    return newResponseWithBody(statusCode, reasonPhrase, contentType, empty, 0,
                               HTTP_EMPTY_BODY_CAPACITY);
}

bool responseIsSendable(const HttpResponse* response)
{
    return response->body.length > 0 ||
           (response->body.contents != nullptr && response->body.capacity == HTTP_EMPTY_BODY_CAPACITY);
}

bool statusHasNoBody(int statusCode)
{
    return (statusCode >= 100 && statusCode < 200) || statusCode == 204 || statusCode == 304;
}

// Sends the header block and then the body, together while both are left, waiting for room
// while connection->sendDeadlineMs allows. Returns the bytes sent; *lastResult is the last
// send's result (0 when the time ran out first) and *error its error number.
static uint64_t sendWithin(HttpConnection* connection, const char* header, uint64_t headerLength,
                           const char* body, uint64_t bodyLength, long* lastResult, int* error,
                           bool* timedOut)
{
    uint64_t total = headerLength + bodyLength;
    uint64_t sent = 0;
    *lastResult = 0;
    *error = 0;
    *timedOut = false;
    while (sent < total) {
        long n = sent < headerLength
                     ? netSendPair(connection->socket, header + sent,
                                   static_cast<size_t>(headerLength - sent), body,
                                   static_cast<size_t>(bodyLength))
                     : netSend(connection->socket, body + (sent - headerLength),
                               static_cast<size_t>(total - sent));
        *lastResult = n;
        if (n > 0) {
            sent += static_cast<uint64_t>(n);
            continue;
        }
        *error = netLastError();
        if (n < 0 && !netErrorIsWouldBlock(*error) && !netErrorIsInterrupted(*error))
            break;
        int64_t left = connection->sendDeadlineMs - httpNowMs();
        if (left <= 0 || netWait(connection->socket, true, static_cast<int>(left)) == 0) {
            *timedOut = true;
            break;
        }
    }
    return sent;
}

int sendHttpResponse(HttpConnection* connection, const HttpResponse* response)
{
    const char* reason = response->reasonPhrase ? response->reasonPhrase : "";
    const char* extra = response->additionalHeaders ? response->additionalHeaders : "";
    bool bodiless = statusHasNoBody(response->statusCode);
    int header = bodiless
                     ? snprintf(connection->headerBuffer, sizeof connection->headerBuffer,
                                HTTP_RESPONSE_HEADER_FORMAT_NO_BODY, response->statusCode, reason,
                                extra)
                     : snprintf(connection->headerBuffer, sizeof connection->headerBuffer,
                                HTTP_RESPONSE_HEADER_FORMAT, response->statusCode, reason,
                                response->contentType ? response->contentType : "",
                                static_cast<unsigned long long>(response->body.length), extra);
    if (header < 0 || static_cast<size_t>(header) >= sizeof connection->headerBuffer) {
        printf("Failed to respond to %s:%s because the HTTP response *header* of %d bytes does "
               "not fit its %zu-byte buffer\n",
               connection->remoteHost, connection->remotePort, header,
               sizeof connection->headerBuffer - 1);
        return -1;
    }
    uint64_t bodyLength = bodiless ? 0 : response->body.length;
    long last = 0;
    int error = 0;
    bool timedOut = false;
    uint64_t sent = sendWithin(connection, connection->headerBuffer, static_cast<uint64_t>(header),
                               response->body.contents, bodyLength, &last, &error, &timedOut);
    uint64_t total = static_cast<uint64_t>(header) + bodyLength;
    if (sent == total)
        return 0;
    if (timedOut) {
        printf("Abandoned the response to %s:%s: the client took %llu of %llu bytes within %d ms\n",
               connection->remoteHost, connection->remotePort, static_cast<unsigned long long>(sent),
               static_cast<unsigned long long>(total), HTTP_SEND_TIMEOUT_MS);
    } else if (sent < static_cast<uint64_t>(header)) {
        printf("Failed to respond to %s:%s because we could not send the HTTP response *header*. "
               "send returned %ld with %s = %d\n",
               connection->remoteHost, connection->remotePort, last, netErrorText(error), error);
    } else {
        printf("Failed to respond to %s:%s because we could not send the HTTP response *body*. "
               "send returned %lld with %s = %d\n",
               connection->remoteHost, connection->remotePort, static_cast<long long>(last),
               netErrorText(error), error);
    }
    return -1;
}
