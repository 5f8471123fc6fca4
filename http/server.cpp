// HTTP server: the listener, the accept loop and the thread of each connection.
#include "http/server.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

static HttpServer httpServer;

// ---- platform layer ------------------------------------------------------------------

// Every message of the server goes to standard output, flushed at once so that an operator
// (or a test reading a pipe) sees it when it happens. One call writes one message whole.
static void serverPrint(const char* format, ...) __attribute__((format(printf, 1, 2)));
static void serverPrint(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    flockfile(stdout);
    vfprintf(stdout, format, args);
    fflush(stdout);
    funlockfile(stdout);
    va_end(args);
}

// What the socket layer needs before the first socket: a peer that goes away while we send
// must fail that send with EPIPE, not end the process with SIGPIPE.
static void startSocketLibrary()
{
    signal(SIGPIPE, SIG_IGN);
}

static void closeSocket(int socket)
{
    close(socket);
}

// Starts routine(argument) on a detached thread with the default stack size; 0 or the error.
static int startDetachedThread(void* (*routine)(void*), void* argument)
{
    pthread_attr_t attributes;
    int result = pthread_attr_init(&attributes);
    if (result != 0)
        return result;
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    result = pthread_create(&thread, &attributes, routine, argument);
    pthread_attr_destroy(&attributes);
    return result;
}

// Holds back partial segments, so that the header block, the body and the FIN that ends our
// side leave in as few segments as their size allows; ending our side releases them.
static void holdSmallWrites(int socket)
{
    int on = 1;
    setsockopt(socket, IPPROTO_TCP, TCP_CORK, &on, sizeof on);
}

static void sleepMilliseconds(int milliseconds)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

// Errors of accept that say nothing about the listener: a descriptor or memory shortage that
// passes, or a peer that gave up before we took its connection.
static bool acceptErrorIsTransient(int error)
{
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM ||
           error == ECONNABORTED;
}

// Ends our side of the connection so that the response is not lost: closing a socket with
// unread input makes the kernel send a reset, and a reset that overtakes the response can
// discard it at the client. So we send our FIN first and read (and drop) what the peer still
// sends until it closes too, for at most HTTP_LINGER_MS and HTTP_LINGER_MAX_BYTES.
static void finishSending(HttpConnection* connection)
{
    if (shutdown(connection->socket, SHUT_WR) != 0)
        return;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(HTTP_LINGER_MS);
    size_t drained = 0;
    while (drained < HTTP_LINGER_MAX_BYTES) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return;
        pollfd readable = {connection->socket, POLLIN, 0};
        if (poll(&readable, 1, static_cast<int>(left.count())) <= 0)
            return;
        ssize_t count = recv(connection->socket, connection->buffer, sizeof connection->buffer, 0);
        if (count <= 0)
            return;
        drained += static_cast<size_t>(count);
    }
}

// ---- records -------------------------------------------------------------------------

static HttpConnection* newConnection(HttpServer* server)
{
    auto* connection = static_cast<HttpConnection*>(calloc(1, sizeof(HttpConnection)));
    if (connection != nullptr)
        connection->server = server;
    return connection;
}

static void releaseConnection(HttpConnection* connection)
{
    free(connection->request.body.contents);
    free(connection);
}

static void releaseResponse(HttpResponse* response)
{
    free(response->reasonPhrase);
    free(response->filenameToSend);
    free(response->contentType);
    free(response->additionalHeaders);
    free(response->body.contents);
    free(response);
}

static char* copyText(const char* text)
{
    return text == nullptr ? nullptr : strdup(text);
}

HttpResponse* newEmptyBodyResponse(int statusCode, const char* reasonPhrase,
                                   const char* contentType)
{
    auto* response = static_cast<HttpResponse*>(calloc(1, sizeof(HttpResponse)));
    if (response == nullptr)
        return nullptr;
    response->statusCode = statusCode;
    response->reasonPhrase = copyText(reasonPhrase);
    response->contentType = copyText(contentType);
    response->body.contents = static_cast<char*>(calloc(1, HTTP_EMPTY_BODY_CAPACITY));
    response->body.capacity = HTTP_EMPTY_BODY_CAPACITY;
    if (response->body.contents == nullptr || (reasonPhrase && !response->reasonPhrase) ||
        (contentType && !response->contentType)) {
        releaseResponse(response);
        return nullptr;
    }
    return response;
}

bool responseIsSendable(const HttpResponse* response)
{
    return response->body.length > 0 ||
           (response->body.contents != nullptr && response->body.capacity == HTTP_EMPTY_BODY_CAPACITY);
}

// ---- the server thread -----------------------------------------------------------------

void* httpServerThread(void* portArgument)
{
    HttpServer* server = &httpServer;
    if (server->initialized) {
        serverPrint("Warning: The server %p was already initialized. Not re-initializing...\n",
                    static_cast<void*>(server));
    } else {
        server->activeConnections = 0;
        server->shouldRun = true;
        server->initialized = true;
    }
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(static_cast<uint16_t>(*static_cast<const int*>(portArgument) & 0xFFFF));
    acceptConnectionsUntilStopped(server, &address);
    return nullptr;
}

int acceptConnectionsUntilStopped(HttpServer* server, const sockaddr_in* address)
{
    startSocketLibrary();

    char host[256];
    char service[20];
    int named = getnameinfo(reinterpret_cast<const sockaddr*>(address), sizeof *address, host,
                            sizeof host, service, sizeof service, NI_NUMERICHOST | NI_NUMERICSERV);
    if (named != 0) {
        serverPrint("Warning: Could not get numeric host name and/or port for the address you "
                    "passed to acceptConnectionsUntilStopped. getnameresult returned %d, which is "
                    "%s. Not a huge deal but i really should have worked...\n",
                    named, gai_strerror(named));
        snprintf(host, sizeof host, "Unknown");
        snprintf(service, sizeof service, "Unknown");
    }

    server->listener = socket(address->sin_family, SOCK_STREAM, IPPROTO_TCP);
    if (server->listener < 0) {
        serverPrint("Could not create listener socket: %s = %d\n", strerror(errno), errno);
        return 1;
    }
    int reuse = 1;
    if (setsockopt(server->listener, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) != 0)
        serverPrint("Failed to setsockopt SO_REUSEADDR = true with %s = %d. Continuing because "
                    "we might still succeed...\n",
                    strerror(errno), errno);
    if (bind(server->listener, reinterpret_cast<const sockaddr*>(address), sizeof *address) != 0) {
        serverPrint("Could not bind to %s:%s %s = %d\n", host, service, strerror(errno), errno);
        closeSocket(server->listener);
        server->listener = -1;
        return 1;
    }
    if (listen(server->listener, SOMAXCONN) != 0)
        serverPrint("Could not listen for SOMAXCONN (%d) connections. %s = %d. Continuing "
                    "because we might still succeed...\n",
                    SOMAXCONN, strerror(errno), errno);
    serverPrint("(Printing the bound interfaces is not supported on Windows. If the server is bound "
                "to all addresses or to localhost, try http://127.0.0.1:%u)\n",
                static_cast<unsigned>(ntohs(address->sin_port)));

    HttpConnection* connection = newConnection(server);
    int acceptError = 0;
    while (server->shouldRun) {
        if (connection == nullptr) {
            connection = newConnection(server);
            if (connection == nullptr) {
                serverPrint("Out of memory for the next connection record; retrying in %d ms...\n",
                            HTTP_ACCEPT_BACKOFF_MS);
                sleepMilliseconds(HTTP_ACCEPT_BACKOFF_MS);
                continue;
            }
        }
        connection->remoteAddressLength = static_cast<int32_t>(HTTP_REMOTE_ADDRESS_SIZE);
        socklen_t addressLength = HTTP_REMOTE_ADDRESS_SIZE;
        int accepted = accept(server->listener, reinterpret_cast<sockaddr*>(connection->remoteAddress),
                              &addressLength);
        if (accepted < 0) {
            acceptError = errno;
            if (acceptError == EINTR) {
                serverPrint("accept was interrupted, continuing if server.shouldRun is true...\n");
                continue;
            }
            if (acceptError == EBADF) {
                // The listener is gone and nothing reopens it: accepting again would fail the
                // same way for ever.
                serverPrint("accept was stopped because the file descriptor is invalid (EBADF). "
                            "This is probably because you closed it?\n");
                break;
            }
            if (acceptErrorIsTransient(acceptError)) {
                serverPrint("accept failed with %s = %d; retrying in %d ms...\n",
                            strerror(acceptError), acceptError, HTTP_ACCEPT_BACKOFF_MS);
                sleepMilliseconds(HTTP_ACCEPT_BACKOFF_MS);
                continue;
            }
            serverPrint("exiting because accept failed (probably interrupted) %s = %d\n",
                        strerror(acceptError), acceptError);
            break;
        }
        connection->socket = accepted;
        connection->remoteAddressLength = static_cast<int32_t>(addressLength);

        {
            std::lock_guard<std::mutex> hold(server->connectionCountLock);
            server->activeConnections += 1;
        }
        if (startDetachedThread(serveConnection, connection) != 0) {
            serverPrint("Whoa! Failed to create a thread for routine %p\n",
                        reinterpret_cast<void*>(serveConnection));
            serverPrint("Error while creating thread after accepting new connection! "
                        "pthread_create returned %d Continuing...\n",
                        1);
            // The thread never ran: the connection, its count and its record are ours to undo.
            closeSocket(accepted);
            {
                std::lock_guard<std::mutex> hold(server->connectionCountLock);
                server->activeConnections -= 1;
                server->connectionFinished.notify_one();
            }
            memset(static_cast<void*>(connection), 0, sizeof *connection);
            connection->server = server;
            continue;
        }
        connection = newConnection(server);
    }

    if (acceptError != EBADF) {
        std::lock_guard<std::mutex> hold(server->listenerLock);
        closeSocket(server->listener);
    }
    if (connection != nullptr)
        releaseConnection(connection);
    {
        std::unique_lock<std::mutex> hold(server->connectionCountLock);
        server->connectionFinished.wait(hold, [server] { return server->activeConnections <= 0; });
    }
    {
        std::lock_guard<std::mutex> hold(server->stopLock);
        server->stopped = true;
        server->stoppedCondition.notify_one();
    }
    return 0;
}

// ---- one connection ------------------------------------------------------------------

static void printRequestWarnings(const HttpConnection* connection)
{
    const HttpRequest* request = &connection->request;
    const char* host = connection->remoteHost;
    const char* port = connection->remotePort;
    if (request->headerPoolExhausted)
        serverPrint("Warning: Request from %s:%s exhausted the header string pool so some "
                    "information will be lost. You can try increasing REQUEST_HEADERS_MAX_MEMORY "
                    "which is currently %ld bytes\n",
                    host, port, static_cast<long>(REQUEST_HEADERS_MAX_MEMORY));
    if (request->tooManyHeaders)
        serverPrint("Warning: Request from %s:%s had too many headers and we dropped some. You can "
                    "try increasing REQUEST_MAX_HEADERS which is currently %ld\n",
                    host, port, static_cast<long>(REQUEST_MAX_HEADERS));
    if (request->methodTruncated)
        serverPrint("Warning: Request from %s:%s method was truncated to %s\n", host, port,
                    request->method);
    if (request->pathTruncated)
        serverPrint("Warning: Request from %s:%s path was truncated to %s\n", host, port,
                    request->path);
    if (request->versionTruncated)
        serverPrint("Warning: Request from %s:%s version was truncated to %s\n", host, port,
                    request->version);
    if (request->bodyTruncated)
        serverPrint("Warning: Request from %s:%s body was truncated to %llu bytes\n", host, port,
                    static_cast<unsigned long long>(request->body.length));
}

void* serveConnection(void* argument)
{
    auto* connection = static_cast<HttpConnection*>(argument);
    HttpServer* server = connection->server;

    if (getnameinfo(reinterpret_cast<const sockaddr*>(connection->remoteAddress),
                    static_cast<socklen_t>(connection->remoteAddressLength), connection->remoteHost,
                    HTTP_REMOTE_HOST_SIZE, connection->remotePort, HTTP_REMOTE_PORT_LIMIT,
                    NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
        connection->remoteHost[0] = '\0';
        connection->remotePort[0] = '\0';
    }

    bool complete = false;
    ssize_t received = 0;
    for (;;) {
        received = recv(connection->socket, connection->buffer, sizeof connection->buffer, 0);
        if (received <= 0)
            break;
        connection->bytesReceived += static_cast<uint64_t>(received);
        parseRequestBytes(&connection->request, connection->buffer, static_cast<size_t>(received));
        if (connection->request.parseState == Complete) {
            complete = true;
            break;
        }
    }
    printRequestWarnings(connection);

    if (complete) {
        HttpResponse* response = handle_request(&connection->request);
        if (response == nullptr) {
            serverPrint("%s:%s: You have returned a NULL response - I'm assuming you took over "
                        "the request handling yourself.\n",
                        connection->remoteHost, connection->remotePort);
        } else {
            if (responseIsSendable(response)) {
                holdSmallWrites(connection->socket);
                sendHttpResponse(connection, response);
            }
            else
                serverPrint("Error: the request for '%s' failed because there was neither a "
                            "response body nor a filenameToSend\n",
                            connection->request.path);
            releaseResponse(response);
        }
        finishSending(connection);
    } else {
        serverPrint("No request found from %s:%s? Closing connection. Here's the last bytes we "
                    "received in the request (length %lli). The total bytes received on this "
                    "connection: %lli :\n",
                    connection->remoteHost, connection->remotePort,
                    static_cast<long long>(received),
                    static_cast<long long>(connection->bytesReceived));
    }
    closeSocket(connection->socket);

    {
        std::lock_guard<std::mutex> hold(server->connectionCountLock);
        server->activeConnections -= 1;
        server->connectionFinished.notify_one();
    }
    releaseConnection(connection);
    return nullptr;
}
