// HTTP server: the process's one listener, its accept loop, and one thread per connection.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "http/handler.h"
#include "http/net.h"
#include "http/request.h"
#include "http/response.h"

// Every message of the server goes to standard output; request bytes in them are escaped and
// cut (console_text.h). A connection carries exactly one request: it is received and parsed,
// handed to handle_request, the response is sent and the connection is closed. While it
// lasts a connection has a thread of its own: the thread that accepted it. Threads wait in
// accept on the one listener; one that takes the last waiting place starts another before it
// serves, so a new connection never waits for a thread, and a thread that has served goes
// back to accept unless HTTP_SPARE_THREADS others wait there already. A new connection so
// costs neither a thread start nor a hand-over from one thread to another.

// Limits, chosen so that no honest local client meets them while no client can hold the
// service for long or take all of its memory:
// - simultaneous connections; beyond it a new connection is answered at once with 503 and
//   closed. Lowered at start when the descriptor limit cannot be raised to fit it.
constexpr int32_t HTTP_MAX_CONNECTIONS = 4096;
constexpr uint64_t HTTP_DESCRIPTOR_RESERVE = 64; // descriptors kept for everything else
// - request-body memory that connections in progress may hold (declared lengths, reserved
//   when a header block completes); a body beyond it is refused with 503 and Retry-After.
constexpr uint64_t HTTP_BODY_MEMORY_MAX = uint64_t{512} << 20;
// - time from the connection's start until its request line and headers are complete;
constexpr int HTTP_HEAD_TIMEOUT_MS = 10000;
// - longest pause between two pieces of a request body;
constexpr int HTTP_BODY_GAP_TIMEOUT_MS = 10000;
// - time the client has to take the whole response; after it the response is abandoned.
constexpr int HTTP_SEND_TIMEOUT_MS = 20000;
// Each limit that ends a connection prints one line. Repeated accept failures and refused
// connections are reported at most once per HTTP_REPORT_INTERVAL_MS, with their count.
constexpr int HTTP_REPORT_INTERVAL_MS = 5000;
constexpr int HTTP_ACCEPT_BACKOFF_MS = 10; // pause after a transient accept failure
// Threads: stack of a connection thread, and threads kept waiting for later connections.
constexpr size_t HTTP_THREAD_STACK_SIZE = size_t{256} << 10;
constexpr int32_t HTTP_SPARE_THREADS = 32;
// When the last connection of a burst of at least this many ends, the heap's free pages go
// back to the system, so that a flood of connections leaves no memory behind.
constexpr int32_t HTTP_TRIM_AFTER_CONNECTIONS = 64;

// Counts events and prints them at most once per HTTP_REPORT_INTERVAL_MS.
struct HttpReportThrottle {
    int64_t lastReportMs; // when the last line was printed, 0 before the first
    long pending;         // events since that line
};

// The one server of the process. Invariants: activeConnections >= 0 and it counts exactly the
// accepted connections that are being served; it changes only under connectionCountLock.
// bodyMemory is the sum of the bodyReserved of the live connections. waitingAcceptors <=
// acceptorThreads; both, stopping and the two throttles change only under acceptorLock.
struct HttpServer {
    bool initialized;                       // set by the first httpServerThread
    std::mutex listenerLock;                // held while the listener is closed
    bool shouldRun;                         // the accept loop runs while set; set once, never cleared
    NetSocket listener;                     // the listening socket
    bool stopped;                           // accept loop over and every connection finished
    std::mutex stopLock;                    // guards stopped and listening
    std::condition_variable stoppedCondition;   // woken when listening or stopped is set
    int32_t activeConnections;              // accepted connections whose thread runs
    std::condition_variable connectionFinished; // one waiter woken per finished connection
    std::mutex connectionCountLock;         // guards activeConnections; goes with connectionFinished
    bool listening;                         // the listener is bound and listening
    int32_t connectionLimit;                // HTTP_MAX_CONNECTIONS, or less to fit descriptors
    std::atomic<uint64_t> bodyMemory;       // request-body bytes reserved by live connections
    int32_t burstPeak;                      // most connections at once since the count was 0
    std::mutex acceptorLock;                // guards the fields below
    std::condition_variable acceptorsDone;  // woken when an accepting thread ends
    int32_t acceptorThreads;                // threads that accept and serve (the server thread too)
    int32_t waitingAcceptors;               // of them, those waiting in accept now
    bool stopping;                          // accept failed for good: every thread ends
    bool listenerClosed;                    // closed already, to wake the threads in accept
    HttpReportThrottle acceptFailures;      // transient accept failures and record shortages
    HttpReportThrottle refusals;            // connections refused at the connection cap
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
// handed to one thread, touched by no other thread afterwards, and released by that thread
// with the request body.
struct HttpConnection {
    char buffer[HTTP_RECEIVE_BUFFER_SIZE];             // receive buffer
    char headerBuffer[HTTP_HEADER_BUFFER_SIZE];        // response header block
    NetSocket socket;                                  // the accepted connection
    alignas(sockaddr_storage) unsigned char remoteAddress[HTTP_REMOTE_ADDRESS_SIZE]; // peer
    int32_t remoteAddressLength;                       // 128 before accept, then the real length
    char remoteHost[HTTP_REMOTE_HOST_SIZE];            // peer address, numeric, "" if unknown
    char remotePort[HTTP_REMOTE_PORT_SIZE];            // peer port, numeric, "" if unknown
    uint64_t bytesReceived;                            // total bytes received
    HttpRequest request;                               // the request, filled by the parser
    HttpServer* server;                                // the owning server
    uint64_t bodyReserved;         // declared body bytes counted in server->bodyMemory
    int64_t sendDeadlineMs;        // monotonic time (httpNowMs) by which the response must be out
};

// Where the server listens: port (its low 16 bits are used) and an IPv4 or IPv6 literal, ""
// for all IPv4 interfaces.
constexpr size_t HTTP_ADDRESS_TEXT_SIZE = 64;
struct HttpListenOptions {
    int port;
    char address[HTTP_ADDRESS_TEXT_SIZE];
};

// Thread routine started by server mode. listenOptions points to an HttpListenOptions that
// lives for the process, read once. Initialises the one server on first use, listens there
// and returns null once acceptConnectionsUntilStopped has returned (at once when the address
// is not a literal, or the listener cannot be created or bound).
void* httpServerThread(void* listenOptions);

// Waits until the server thread listens (true) or has ended without listening (false).
bool httpServerAwaitListening();

// Creates the listener on address (NET_ADDRESS_OPTION, backlog SOMAXCONN), prints the ready notice
// and accepts and serves, with the threads it starts, until accept fails with an error that
// ends accepting; interrupted calls, calls that another thread beat to the connection,
// connections aborted by their peer and resource shortages do not (a shortage is reported
// and followed by a pause of HTTP_ACCEPT_BACKOFF_MS). Returns 1 when the listener cannot be
// created or bound, 0 after every accepting thread has ended and every connection has
// finished.
int acceptConnectionsUntilStopped(HttpServer* server, const sockaddr* address,
                                  size_t addressLength);

// Serves one accepted connection (owned from then on) on the calling thread: receives and
// parses one request within the time limits, prints the parser's warnings, answers it
// (413 for a declared body beyond the limit, 503 when the body memory is spent, else
// handle_request), sends the response, closes the connection, counts it down and releases
// the record. After a response it ends its sending side; when the peer has sent more than
// the request, it drops what the peer still sends until the peer closes or for at most
// HTTP_LINGER_MS and HTTP_LINGER_MAX_BYTES, so that closing with unread input (which resets
// the connection) cannot discard the response. Otherwise it closes at once.
constexpr int HTTP_LINGER_MS = 1000;
constexpr size_t HTTP_LINGER_MAX_BYTES = 64 * HTTP_RECEIVE_BUFFER_SIZE;
void serveConnection(HttpConnection* connection);


// Milliseconds of a monotonic clock.
int64_t httpNowMs();
