// HTTP responses: construction and sending.
#include "http/response.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sys/socket.h>
#include <sys/types.h>

#include "http/server.h"

// One send; a peer that has gone away makes it fail instead of raising SIGPIPE.
static long sendOnce(int socket, const char* bytes, uint64_t count)
{
#if defined(MSG_NOSIGNAL)
    return static_cast<long>(send(socket, bytes, static_cast<size_t>(count), MSG_NOSIGNAL));
#else
    return static_cast<long>(send(socket, bytes, static_cast<size_t>(count), 0));
#endif
}

static bool copyText(const char* text, char** copy)
{
    *copy = text ? strdup(text) : nullptr;
    return text == nullptr || *copy != nullptr;
}

HttpResponse* newFormattedResponse(int statusCode, const char* reasonPhrase,
                                   const char* contentType, const char* format, ...)
{
    auto* response = static_cast<HttpResponse*>(calloc(1, sizeof(HttpResponse)));
    if (response == nullptr)
        return nullptr;
    response->statusCode = statusCode;
    bool ok = copyText(reasonPhrase, &response->reasonPhrase) &&
              copyText(contentType, &response->contentType);
    if (ok) {
        va_list args;
        va_start(args, format);
        va_list again;
        va_copy(again, args);
        int measured = vsnprintf(nullptr, 0, format, args);
        ok = measured >= 0 &&
             textBufferReserve(&response->body, static_cast<uint64_t>(measured) + 1);
        if (ok) {
            vsnprintf(response->body.contents, static_cast<size_t>(response->body.capacity),
                      format, again);
            response->body.length = static_cast<uint64_t>(measured);
        }
        va_end(again);
        va_end(args);
    }
    if (!ok) {
        free(response->reasonPhrase);
        free(response->contentType);
        free(response->body.contents);
        free(response);
        return nullptr;
    }
    return response;
}

int sendHttpResponse(HttpConnection* connection, const HttpResponse* response)
{
    int header = snprintf(connection->headerBuffer, sizeof connection->headerBuffer,
                          HTTP_RESPONSE_HEADER_FORMAT, response->statusCode,
                          response->reasonPhrase ? response->reasonPhrase : "",
                          response->contentType ? response->contentType : "",
                          static_cast<unsigned long long>(response->body.length),
                          response->additionalHeaders ? response->additionalHeaders : "");
    if (header < 0 || static_cast<size_t>(header) >= sizeof connection->headerBuffer) {
        printf("Failed to respond to %s:%s because the HTTP response *header* of %d bytes does "
               "not fit its %zu-byte buffer\n",
               connection->remoteHost, connection->remotePort, header,
               sizeof connection->headerBuffer - 1);
        return -1;
    }
    long sent = sendOnce(connection->socket, connection->headerBuffer, static_cast<uint64_t>(header));
    if (sent != header) {
        int error = errno;
        printf("Failed to respond to %s:%s because we could not send the HTTP response *header*. "
               "send returned %ld with %s = %d\n",
               connection->remoteHost, connection->remotePort, sent, strerror(error), error);
        return -1;
    }
    if (response->body.length == 0)
        return 0;
    sent = sendOnce(connection->socket, response->body.contents, response->body.length);
    if (sent < 0 || static_cast<uint64_t>(sent) != response->body.length) {
        int error = errno;
        printf("Failed to respond to %s:%s because we could not send the HTTP response *body*. "
               "send returned %lld with %s = %d\n",
               connection->remoteHost, connection->remotePort, static_cast<long long>(sent),
               strerror(error), error);
        return -1;
    }
    return 0;
}
