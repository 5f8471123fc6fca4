// HTTP server: the process's one listener, its accept loop, and one thread per connection.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include <netinet/in.h>
#include <sys/socket.h>

#include "http/request.h"
#include "http/response.h"

// Every message of the server goes to standard output. A connection carries exactly one
// request: it is received and parsed, handed to handle_request, the response is sent and the
// connection is closed. There is no keep-alive, no time-out and no connection limit.

// The one server of the process. Invariants: activeConnections >= 0 and it counts exactly the
// accepted connections whose thread has not yet finished (a connection whose thread could not
// be started is taken back at once); it changes only under connectionCountLock.
struct HttpServer {
    bool initialized;                       // set by the first httpServerThread
    std::mutex listenerLock;                // held while the listener is closed
    bool shouldRun;                         // the accept loop runs while set; set once, never cleared
    int listener;                           // the listening socket
    bool stopped;                           // accept loop over and every connection finished
    std::mutex stopLock;                    // guards stopped
    std::condition_variable stoppedCondition;   // one waiter woken when stopped is set
    int32_t activeConnections;              // accepted connections whose thread runs
    std::condition_variable connectionFinished; // one waiter woken per finished connection
    std::mutex connectionCountLock;         // guards activeConnections; goes with connectionFinished
};

constexpr size_t HTTP_RECEIVE_BUFFER_SIZE = 16384;  // bytes asked for by each receive
constexpr size_t HTTP_HEADER_BUFFER_SIZE = 1024;    // response header block (sendHttpResponse)
constexpr size_t HTTP_REMOTE_ADDRESS_SIZE = 128;    // socket address as accept delivers it
constexpr size_t HTTP_REMOTE_HOST_SIZE = 128;       // numeric host text
constexpr size_t HTTP_REMOTE_PORT_SIZE = 20;        // numeric port text buffer
constexpr size_t HTTP_REMOTE_PORT_LIMIT = 16;       // of which at most this much is written
static_assert(HTTP_REMOTE_ADDRESS_SIZE >= sizeof(sockaddr_storage));
static_assert(HTTP_REMOTE_PORT_LIMIT <= HTTP_REMOTE_PORT_SIZE);

// One accepted connection: a heap record created zero-filled (the parser relies on that),
// handed to its own thread when that thread starts, touched by no other thread afterwards,
// and released by that thread with the request body.
struct HttpConnection {
    char buffer[HTTP_RECEIVE_BUFFER_SIZE];             // receive buffer
    char headerBuffer[HTTP_HEADER_BUFFER_SIZE];        // response header block
    int socket;                                        // the accepted connection
    alignas(sockaddr_storage) unsigned char remoteAddress[HTTP_REMOTE_ADDRESS_SIZE]; // peer
    int32_t remoteAddressLength;                       // 128 before accept, then the real length
    char remoteHost[HTTP_REMOTE_HOST_SIZE];            // peer address, numeric, "" if unknown
    char remotePort[HTTP_REMOTE_PORT_SIZE];            // peer port, numeric, "" if unknown
    uint64_t bytesReceived;                            // total bytes received
    HttpRequest request;                               // the request, filled by the parser
    HttpServer* server;                                // the owning server
};

// Thread routine started by server mode. portArgument points to an int that lives for the
// process; its low 16 bits are the port, read once. Initialises the one server on first use,
// listens on 0.0.0.0 at that port and returns 0 once acceptConnectionsUntilStopped has
// returned (at once when the listener cannot be created or bound).
void* httpServerThread(void* portArgument);

// Creates the listener on address (SO_REUSEADDR, backlog SOMAXCONN), prints the ready notice
// and accepts until accept fails with an error that ends the loop; EINTR, EBADF, ECONNABORTED
// and resource shortages (EMFILE, ENFILE, ENOBUFS, ENOMEM: reported, then a back-off of
// HTTP_ACCEPT_BACKOFF_MS) do not. Returns 1 when the listener cannot be created or bound, 0
// after the loop has ended and every connection thread has finished.
constexpr int HTTP_ACCEPT_BACKOFF_MS = 10;
int acceptConnectionsUntilStopped(HttpServer* server, const sockaddr_in* address);

// Thread routine of one accepted connection (an HttpConnection*, owned from then on): receives
// and parses one request, prints the parser's warnings, calls handle_request, sends the
// response, closes the connection, counts it down and releases the record. Returns null.
// After a request it ends its sending side first and drops what the peer still sends, until
// the peer closes or for at most HTTP_LINGER_MS and HTTP_LINGER_MAX_BYTES, so that closing
// with unread input (which resets the connection) cannot discard the response at the client.
constexpr int HTTP_LINGER_MS = 1000;
constexpr size_t HTTP_LINGER_MAX_BYTES = 64 * HTTP_RECEIVE_BUFFER_SIZE;
void* serveConnection(void* connection);

// The application's handler, defined by the routes. Contract:
// 1. Called at most once per connection, on its thread, only for a request whose parseState
//    is Complete; several connection threads may call it at once.
// 2. request is the connection's own record; the body's contents is zero-terminated and null
//    when there is no body. The handler only reads it; the server reads path again afterwards.
// 3. The returned response belongs to the server. It is sent when its body's length is above 0,
//    or when it was made by newEmptyBodyResponse; any other response with an empty body is not
//    sent ("neither a response body nor a filenameToSend").
// 4. The server then frees reasonPhrase, filenameToSend, contentType, additionalHeaders, the
//    body's contents and the record: each must be a separate heap block or null.
// 5. A null result sends nothing ("You have returned a NULL response") and closes as usual.
HttpResponse* handle_request(const HttpRequest* request);

// A response whose empty body is meant: it goes out with "Content-Length: 0". reasonPhrase and
// contentType are copied (null stays null). Its body is a block of one zero byte (length 0,
// capacity HTTP_EMPTY_BODY_CAPACITY), a form that text buffers, which start at 256 bytes, never
// take, so the server can tell it from a formatted empty text. Null when memory runs out.
constexpr uint64_t HTTP_EMPTY_BODY_CAPACITY = 1;
HttpResponse* newEmptyBodyResponse(int statusCode, const char* reasonPhrase,
                                   const char* contentType);

// Whether the server puts response on the wire (rule 3 above).
bool responseIsSendable(const HttpResponse* response);
