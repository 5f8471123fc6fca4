// HTTP server: the listener, the accept loop, the connection threads and their limits.
#include "http/server.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "http/console_text.h"

static HttpServer httpServer;

// Every message of the server goes to standard output, flushed at once so that an operator
// (or a test reading a pipe) sees it when it happens. One call writes one message whole.
static void serverPrint(const char* format, ...) __attribute__((format(printf, 1, 2)));
static void serverPrint(const char* format, ...)
{
    static std::mutex printLock;
    va_list args;
    va_start(args, format);
    std::lock_guard<std::mutex> hold(printLock);
    vfprintf(stdout, format, args);
    fflush(stdout);
    va_end(args);
}

int64_t httpNowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

static void sleepMilliseconds(int milliseconds)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

// Counts one event; true when a line is due now, *count then being the events it covers.
// Called under the server's acceptorLock.
static bool reportDue(HttpReportThrottle* throttle, long* count)
{
    throttle->pending += 1;
    int64_t now = httpNowMs();
    if (throttle->lastReportMs != 0 && now - throttle->lastReportMs < HTTP_REPORT_INTERVAL_MS)
        return false;
    *count = throttle->pending;
    throttle->pending = 0;
    throttle->lastReportMs = now;
    return true;
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
    if (connection->bodyReserved > 0)
        connection->server->bodyMemory.fetch_sub(connection->bodyReserved);
    free(connection->request.body.contents);
    free(connection);
}

// Reserves a declared body against the server's body memory; the parser asks before it
// allocates the body.
static bool admitBody(void* context, uint64_t length)
{
    auto* connection = static_cast<HttpConnection*>(context);
    std::atomic<uint64_t>& held = connection->server->bodyMemory;
    uint64_t now = held.load();
    do {
        if (now + length > HTTP_BODY_MEMORY_MAX)
            return false;
    } while (!held.compare_exchange_weak(now, now + length));
    connection->bodyReserved = length;
    return true;
}

// ---- the listener ----------------------------------------------------------------------

void* httpServerThread(void* listenOptions)
{
    HttpServer* server = &httpServer;
    const auto* options = static_cast<const HttpListenOptions*>(listenOptions);
    if (server->initialized) {
        serverPrint("Warning: The server %p was already initialized. Not re-initializing...\n",
                    static_cast<void*>(server));
    } else {
        server->activeConnections = 0;
        server->shouldRun = true;
        server->initialized = true;
    }
    auto port = static_cast<uint16_t>(options->port & 0xFFFF);
    sockaddr_storage address = {};
    size_t length = netParseAddress(options->address[0] ? options->address : "0.0.0.0", port, &address);
    if (length == 0) {
        char shown[CONSOLE_TEXT_SIZE];
        serverPrint("Could not listen on %s: not an IPv4 or IPv6 address\n",
                    consoleTextOf(options->address, shown, sizeof shown));
    } else {
        acceptConnectionsUntilStopped(server, reinterpret_cast<const sockaddr*>(&address), length);
    }
    std::lock_guard<std::mutex> hold(server->stopLock);
    server->stopped = true;
    server->stoppedCondition.notify_all();
    return nullptr;
}

bool httpServerAwaitListening()
{
    HttpServer* server = &httpServer;
    std::unique_lock<std::mutex> hold(server->stopLock);
    server->stoppedCondition.wait(hold, [server] { return server->listening || server->stopped; });
    return server->listening;
}

// The ready notice names the address a local client can use for the one bound.
static void printReadyNotice(const sockaddr* address, const char* host, const char* service)
{
    const char* hint = host;
    char bracketed[256 + 2];
    if (address->sa_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
        if (v4->sin_addr.s_addr == htonl(INADDR_ANY))
            hint = "127.0.0.1";
    } else {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
        bool any = IN6_IS_ADDR_UNSPECIFIED(&v6->sin6_addr);
        snprintf(bracketed, sizeof bracketed, "[%s]", any ? "::1" : host);
        hint = bracketed;
    }
    serverPrint("(Printing the bound interfaces is not supported on Windows. If the server is bound "
                "to all addresses or to localhost, try http://%s:%s)\n",
                hint, service);
}

// Lowers the connection limit to what the descriptor limit allows.
static void fitConnectionLimit(HttpServer* server)
{
    uint64_t wanted = static_cast<uint64_t>(HTTP_MAX_CONNECTIONS) + HTTP_DESCRIPTOR_RESERVE;
    uint64_t limit = netRaiseDescriptorLimit(wanted);
    server->connectionLimit = HTTP_MAX_CONNECTIONS;
    if (limit < wanted) {
        uint64_t fits = limit > HTTP_DESCRIPTOR_RESERVE * 2 ? limit - HTTP_DESCRIPTOR_RESERVE : limit / 2;
        server->connectionLimit = static_cast<int32_t>(fits > 0 ? fits : 1);
        serverPrint("Serving at most %d connections at once: the descriptor limit is %llu\n",
                    server->connectionLimit, static_cast<unsigned long long>(limit));
    }
}

// Answers a connection beyond the limit without a thread: one 503 that fits the socket's
// buffer, the end of our side, what the client sent so far dropped (so that closing does not
// reset the connection under the reply), closed.
static void refuseConnection(HttpServer* server, NetSocket socket)
{
    char body[128];
    int bodyLength = snprintf(body, sizeof body,
                              "The server is busy: it serves at most %d connections at once. "
                              "Try again later.",
                              server->connectionLimit);
    char reply[512];
    int length = snprintf(reply, sizeof reply, HTTP_RESPONSE_HEADER_FORMAT, 503,
                          "Service Unavailable", "text/plain",
                          static_cast<unsigned long long>(bodyLength), "Retry-After: 1\r\n");
    if (length > 0 && static_cast<size_t>(length) + static_cast<size_t>(bodyLength) < sizeof reply) {
        memcpy(reply + length, body, static_cast<size_t>(bodyLength));
        length += bodyLength;
        netSend(socket, reply, static_cast<size_t>(length));
        netShutdownSend(socket);
        char drop[HTTP_RECEIVE_BUFFER_SIZE];
        netReceive(socket, drop, sizeof drop);
    }
    netClose(socket);
}

// ---- accepting threads -------------------------------------------------------------------

static void* acceptorThread(void* server);

// Counts an accepting thread in (+1) or out (-1); the count reaching 0 wakes the server thread
// that waits for every accepting thread to end.
static void countAcceptor(HttpServer* server, int32_t change)
{
    std::lock_guard<std::mutex> hold(server->acceptorLock);
    server->acceptorThreads += change;
    if (change < 0)
        server->acceptorsDone.notify_all();
}

// Starts one more accepting thread; reports a failure and goes on without it.
static void startAcceptor(HttpServer* server)
{
    countAcceptor(server, 1);
    int failed = netStartThread(acceptorThread, server, HTTP_THREAD_STACK_SIZE);
    if (failed == 0)
        return;
    serverPrint("Whoa! Failed to create a thread for routine %p\n", reinterpret_cast<void*>(acceptorThread));
    serverPrint("Error while creating thread after accepting new connection! pthread_create "
                "returned %d Continuing...\n",
                failed);
    countAcceptor(server, -1);
}

// Deals with a failed accept: reports it (throttled where it repeats) and returns true when
// accepting goes on, false when it ends for every thread (the first thread to meet such an
// error reports it and wakes the others).
static bool acceptFailed(HttpServer* server, int error)
{
    {
        // Accepting has ended: this thread was woken by the listener's close (on Windows an
        // interrupted or aborted wait), which is no news.
        std::lock_guard<std::mutex> hold(server->acceptorLock);
        if (server->stopping)
            return false;
    }
    if (netErrorIsWouldBlock(error))
        return true; // another thread took the connection first (wine wakes every waiting thread)
    if (netErrorIsInterrupted(error)) {
        serverPrint("accept was interrupted, continuing if server.shouldRun is true...\n");
        return server->shouldRun;
    }
    if (netErrorIsTransientAccept(error)) {
        long count = 0;
        bool due = false;
        {
            std::lock_guard<std::mutex> hold(server->acceptorLock);
            due = !server->stopping && reportDue(&server->acceptFailures, &count);
        }
        if (due)
            serverPrint("accept failed with %s = %d (%ld times since the last report); retrying "
                        "every %d ms...\n",
                        netErrorText(error), error, count, HTTP_ACCEPT_BACKOFF_MS);
        sleepMilliseconds(HTTP_ACCEPT_BACKOFF_MS);
        return true;
    }
    {
        std::lock_guard<std::mutex> hold(server->acceptorLock);
        if (server->stopping)
            return false;
        server->stopping = true;
    }
    if (netErrorIsBadSocket(error)) {
        // The listener is gone and nothing reopens it: accepting again would fail the same
        // way for ever.
        serverPrint("accept was stopped because the file descriptor is invalid (EBADF). This is "
                    "probably because you closed it?\n");
        std::lock_guard<std::mutex> hold(server->acceptorLock);
        server->listenerClosed = true;
    } else {
        serverPrint("exiting because accept failed (probably interrupted) %s = %d\n",
                    netErrorText(error), error);
        bool closed = netStopListening(server->listener);
        std::lock_guard<std::mutex> hold(server->acceptorLock);
        server->listenerClosed = closed;
    }
    return false;
}

// Counts an accepted connection in and makes its record, or answers it with 503 at the
// connection cap; null when the connection was refused or no record could be made.
static HttpConnection* admitConnection(HttpServer* server, NetSocket socket, const sockaddr_storage* remote,
                                       socklen_t remoteLength)
{
    bool admitted = false;
    {
        std::lock_guard<std::mutex> hold(server->connectionCountLock);
        if (server->activeConnections < server->connectionLimit) {
            server->activeConnections += 1;
            if (server->activeConnections > server->burstPeak)
                server->burstPeak = server->activeConnections;
            admitted = true;
        }
    }
    HttpConnection* connection = admitted ? newConnection(server) : nullptr;
    if (connection != nullptr) {
        connection->socket = socket;
        memcpy(connection->remoteAddress, remote, remoteLength);
        connection->remoteAddressLength = static_cast<int32_t>(remoteLength);
        return connection;
    }
    if (admitted) {
        netClose(socket);
        std::lock_guard<std::mutex> hold(server->connectionCountLock);
        server->activeConnections -= 1;
        server->connectionFinished.notify_one();
    } else {
        refuseConnection(server, socket);
    }
    long count = 0;
    bool due = false;
    {
        std::lock_guard<std::mutex> hold(server->acceptorLock);
        due = reportDue(admitted ? &server->acceptFailures : &server->refusals, &count);
    }
    if (due && admitted)
        serverPrint("Out of memory for a connection record (%ld times); closed the connection\n", count);
    else if (due)
        serverPrint("Refused %ld connections with 503: %d connections are open already\n", count,
                    server->connectionLimit);
    return nullptr;
}

// The life of an accepting thread: accept a connection, serve it on this thread, accept
// again. A thread that takes the last waiting place starts another first, so that the next
// connection finds a thread waiting; after serving, a thread other than the server thread
// ends when enough others wait already. Ends every thread when accepting has ended for good.
static void acceptAndServe(HttpServer* server, bool serverThread)
{
    for (;;) {
        {
            // Deciding and taking the waiting place in one step keeps the spare count exact.
            std::lock_guard<std::mutex> hold(server->acceptorLock);
            if (server->stopping || (!serverThread && server->waitingAcceptors >= HTTP_SPARE_THREADS))
                break;
            server->waitingAcceptors += 1;
        }
        sockaddr_storage remote = {};
        socklen_t remoteLength = sizeof remote;
        NetSocket accepted = netAccept(server->listener, reinterpret_cast<sockaddr*>(&remote), &remoteLength);
        int error = accepted == NET_INVALID_SOCKET ? netLastError() : 0;
        bool lastWaiting = false;
        {
            std::lock_guard<std::mutex> hold(server->acceptorLock);
            server->waitingAcceptors -= 1;
            lastWaiting = server->waitingAcceptors == 0 && !server->stopping;
        }
        if (accepted == NET_INVALID_SOCKET) {
            if (!acceptFailed(server, error))
                break;
            continue;
        }
        if (lastWaiting)
            startAcceptor(server);
        HttpConnection* connection = admitConnection(server, accepted, &remote, remoteLength);
        if (connection != nullptr)
            serveConnection(connection);
    }
    countAcceptor(server, -1);
}

static void* acceptorThread(void* server)
{
    acceptAndServe(static_cast<HttpServer*>(server), false);
    return nullptr;
}

// ---- the listener and its threads -----------------------------------------------------

int acceptConnectionsUntilStopped(HttpServer* server, const sockaddr* address, size_t addressLength)
{
    int started = netStartup();
    if (started != 0) {
        serverPrint("Calling WSAStartup failed! It returned %d with GetLastError() = %d\n", started,
                    netLastError());
        abort();
    }

    char host[256];
    char service[20];
    int named = netNumericName(address, addressLength, host, sizeof host, service, sizeof service);
    if (named != 0) {
        serverPrint("Warning: Could not get numeric host name and/or port for the address you "
                    "passed to acceptConnectionsUntilStopped. getnameresult returned %d, which is "
                    "%s. Not a huge deal but i really should have worked...\n",
                    named, netNameErrorText(named));
        snprintf(host, sizeof host, "Unknown");
        snprintf(service, sizeof service, "Unknown");
    }

    server->listener = socket(address->sa_family, SOCK_STREAM, IPPROTO_TCP);
    if (server->listener == NET_INVALID_SOCKET) {
        int error = netLastError();
        serverPrint("Could not create listener socket: %s = %d\n", netErrorText(error), error);
        return 1;
    }
    if (!netSetListenerOptions(server->listener, address->sa_family)) {
        int error = netLastError();
        serverPrint("Failed to setsockopt %s = true with %s = %d. Continuing because we might "
                    "still succeed...\n",
                    NET_ADDRESS_OPTION, netErrorText(error), error);
    }
    if (bind(server->listener, address, static_cast<socklen_t>(addressLength)) != 0) {
        int error = netLastError();
        serverPrint("Could not bind to %s:%s %s = %d\n", host, service, netErrorText(error), error);
        netClose(server->listener);
        server->listener = NET_INVALID_SOCKET;
        return 1;
    }
    if (listen(server->listener, SOMAXCONN) != 0) {
        int error = netLastError();
        serverPrint("Could not listen for SOMAXCONN (%d) connections. %s = %d. Continuing "
                    "because we might still succeed...\n",
                    static_cast<int>(SOMAXCONN), netErrorText(error), error);
    }
    fitConnectionLimit(server);
    printReadyNotice(address, host, service);
    {
        std::lock_guard<std::mutex> hold(server->stopLock);
        server->listening = true;
        server->stoppedCondition.notify_all();
    }

    countAcceptor(server, 1);
    acceptAndServe(server, true);
    bool closed = false;
    {
        std::unique_lock<std::mutex> hold(server->acceptorLock);
        server->acceptorsDone.wait(hold, [server] { return server->acceptorThreads <= 0; });
        closed = server->listenerClosed;
    }
    if (!closed) {
        std::lock_guard<std::mutex> hold(server->listenerLock);
        netClose(server->listener);
    }
    {
        std::unique_lock<std::mutex> hold(server->connectionCountLock);
        server->connectionFinished.wait(hold, [server] { return server->activeConnections <= 0; });
    }
    return 0;
}

// ---- one connection ------------------------------------------------------------------

static void printRequestWarnings(const HttpConnection* connection)
{
    const HttpRequest* request = &connection->request;
    const char* host = connection->remoteHost;
    const char* port = connection->remotePort;
    char shown[CONSOLE_TEXT_SIZE];
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
                    consoleText(request->method, request->methodLength, shown, sizeof shown));
    if (request->pathTruncated)
        serverPrint("Warning: Request from %s:%s path was truncated to %s\n", host, port,
                    consoleText(request->path, request->pathLength, shown, sizeof shown));
    if (request->versionTruncated)
        serverPrint("Warning: Request from %s:%s version was truncated to %s\n", host, port,
                    consoleText(request->version, request->versionLength, shown, sizeof shown));
    if (request->bodyTruncated)
        serverPrint("Warning: Request from %s:%s body was truncated to %llu bytes\n", host, port,
                    static_cast<unsigned long long>(request->body.length));
}

enum class Reception { Complete, Ended, HeadTimedOut, BodyStalled };

// Receives and parses until the request is complete, the peer stops, or a time limit passes.
// *lastResult is the last receive's result (0 when the peer closed, negative on an error).
static Reception receiveRequest(HttpConnection* connection, long* lastResult)
{
    HttpRequest* request = &connection->request;
    int64_t deadline = httpNowMs() + HTTP_HEAD_TIMEOUT_MS;
    bool continueSent = false;
    *lastResult = 0;
    for (;;) {
        // What has arrived is taken at once; the wait comes only when nothing is there.
        long received = netReceive(connection->socket, connection->buffer, sizeof connection->buffer);
        *lastResult = received;
        if (received < 0) {
            int error = netLastError();
            if (!netErrorIsWouldBlock(error) && !netErrorIsInterrupted(error))
                return Reception::Ended;
            int64_t left = deadline - httpNowMs();
            if (left <= 0 || netWait(connection->socket, false, static_cast<int>(left)) == 0)
                return request->parseState == ReadBody ? Reception::BodyStalled
                                                       : Reception::HeadTimedOut;
            continue;
        }
        if (received == 0)
            return Reception::Ended;
        connection->bytesReceived += static_cast<uint64_t>(received);
        parseRequestBytes(request, connection->buffer, static_cast<size_t>(received));
        if (request->parseState == Complete)
            return Reception::Complete;
        if (request->parseState != ReadBody && httpNowMs() >= deadline)
            return Reception::HeadTimedOut; // a head that streams on without ending
        if (request->parseState == ReadBody) {
            deadline = httpNowMs() + HTTP_BODY_GAP_TIMEOUT_MS;
            if (!continueSent && requestAwaitsContinue(request)) {
                static constexpr char CONTINUE[] = "HTTP/1.1 100 Continue\r\n\r\n";
                netSend(connection->socket, CONTINUE, sizeof CONTINUE - 1);
                continueSent = true;
            }
        }
    }
}

// The server's own answers to requests it does not hand to the routes.
static HttpResponse* tooLargeReply()
{
    return newFormattedResponse(413, "Payload Too Large", "text/plain",
                                "The request body is larger than the limit of %lld bytes (%lld MiB)",
                                static_cast<long long>(REQUEST_BODY_MAX_BYTES),
                                static_cast<long long>(REQUEST_BODY_MAX_BYTES >> 20));
}

static HttpResponse* busyReply()
{
    HttpResponse* response = newFormattedResponse(
        503, "Service Unavailable", "text/plain",
        "The server holds too much request data right now (%llu MiB at most); try again later",
        static_cast<unsigned long long>(HTTP_BODY_MEMORY_MAX >> 20));
    if (response != nullptr)
        response->additionalHeaders = strdup("Retry-After: 1\r\n");
    return response;
}

// Ends our side of the connection so that the response is not lost: closing a socket with
// unread input makes the kernel send a reset, and a reset that overtakes the response can
// discard it at the client. So we send our FIN first; when the peer has sent more than the
// request, we read (and drop) what it still sends until it closes too, for at most
// HTTP_LINGER_MS and HTTP_LINGER_MAX_BYTES. When nothing is waiting, the connection closes at
// once, as an ordinary client expects.
static void finishSending(HttpConnection* connection)
{
    if (!netShutdownSend(connection->socket))
        return;
    long pending = netReceive(connection->socket, connection->buffer, sizeof connection->buffer);
    if (pending <= 0)
        return; // nothing waiting (or the peer has closed): no reset can follow
    int64_t deadline = httpNowMs() + HTTP_LINGER_MS;
    size_t drained = static_cast<size_t>(pending);
    while (drained < HTTP_LINGER_MAX_BYTES) {
        int64_t left = deadline - httpNowMs();
        if (left <= 0 || netWait(connection->socket, false, static_cast<int>(left)) <= 0)
            return;
        long count = netReceive(connection->socket, connection->buffer, sizeof connection->buffer);
        if (count < 0 && netErrorIsWouldBlock(netLastError()))
            continue;
        if (count <= 0)
            return;
        drained += static_cast<size_t>(count);
    }
}

// Answers a complete request: the server's own refusals, or the routes.
static void answerRequest(HttpConnection* connection)
{
    const HttpRequest* request = &connection->request;
    bool own = request->bodyTooLarge || request->bodyRefused;
    HttpResponse* response = request->bodyTooLarge ? tooLargeReply()
                             : request->bodyRefused ? busyReply()
                                                    : handle_request(request);
    char shown[CONSOLE_TEXT_SIZE];
    if (response == nullptr) {
        serverPrint("%s:%s: You have returned a NULL response - I'm assuming you took over "
                    "the request handling yourself.\n",
                    connection->remoteHost, connection->remotePort);
    } else if (!responseIsSendable(response)) {
        serverPrint("Error: the request for '%s' failed because there was neither a "
                    "response body nor a filenameToSend\n",
                    consoleText(request->path, request->pathLength, shown, sizeof shown));
    } else {
        if (own)
            serverPrint("Refused the request from %s:%s with %d: %s\n", connection->remoteHost,
                        connection->remotePort, response->statusCode,
                        request->bodyTooLarge ? "its declared body is over the limit"
                                              : "the request-body memory is spent");
        connection->sendDeadlineMs = httpNowMs() + HTTP_SEND_TIMEOUT_MS;
        sendHttpResponse(connection, response);
    }
    releaseResponse(response);
    finishSending(connection);
}

void serveConnection(HttpConnection* connection)
{
    HttpServer* server = connection->server;
    netNumericName(reinterpret_cast<const sockaddr*>(connection->remoteAddress),
                   static_cast<size_t>(connection->remoteAddressLength), connection->remoteHost,
                   HTTP_REMOTE_HOST_SIZE, connection->remotePort, HTTP_REMOTE_PORT_LIMIT);
    connection->request.admitBody = admitBody;
    connection->request.admitContext = connection;

    long lastResult = 0;
    Reception reception = receiveRequest(connection, &lastResult);
    printRequestWarnings(connection);
    const HttpRequest* request = &connection->request;
    switch (reception) {
    case Reception::Complete:
        answerRequest(connection);
        break;
    case Reception::HeadTimedOut:
        serverPrint("Closed the connection from %s:%s: its request line and headers did not "
                    "arrive within %d ms (%llu bytes received)\n",
                    connection->remoteHost, connection->remotePort, HTTP_HEAD_TIMEOUT_MS,
                    static_cast<unsigned long long>(connection->bytesReceived));
        break;
    case Reception::BodyStalled:
        serverPrint("Closed the connection from %s:%s: its body stalled for %d ms (%llu of %llu "
                    "bytes received)\n",
                    connection->remoteHost, connection->remotePort, HTTP_BODY_GAP_TIMEOUT_MS,
                    static_cast<unsigned long long>(request->body.length),
                    static_cast<unsigned long long>(request->body.capacity));
        break;
    case Reception::Ended:
        serverPrint("No request found from %s:%s? Closing connection. Here's the last bytes we "
                    "received in the request (length %lli). The total bytes received on this "
                    "connection: %lli :\n",
                    connection->remoteHost, connection->remotePort,
                    static_cast<long long>(lastResult),
                    static_cast<long long>(connection->bytesReceived));
        break;
    }
    netClose(connection->socket);

    // The record goes before the count: once the count is 0 nothing of the connection remains.
    releaseConnection(connection);
    bool burstOver = false;
    {
        std::lock_guard<std::mutex> hold(server->connectionCountLock);
        server->activeConnections -= 1;
        if (server->activeConnections == 0) {
            burstOver = server->burstPeak >= HTTP_TRIM_AFTER_CONNECTIONS;
            server->burstPeak = 0;
        }
        server->connectionFinished.notify_one();
    }
    if (burstOver)
        netReleaseFreeMemory();
}
