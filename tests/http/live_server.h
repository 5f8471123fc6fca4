// A real tavrinhost HTTP server for tests: started on a free port, talked to over loopback.
#pragma once

#include <string>
#include <thread>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/udp_capture.h"

// Whether this build runs under ThreadSanitizer (the server under test is built the same way).
#if defined(__SANITIZE_THREAD__)
constexpr bool TAVRIN_UNDER_TSAN = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr bool TAVRIN_UNDER_TSAN = true;
#else
constexpr bool TAVRIN_UNDER_TSAN = false;
#endif
#else
constexpr bool TAVRIN_UNDER_TSAN = false;
#endif

struct LiveServer {
    ChildProcess child;
    int port;           // where it listens
    std::string output; // its standard output so far
};

// A TCP port that is free on all interfaces right now (0 when none could be found).
int free_tcp_port();

// Starts "tavrinhost -s server -p port_argument" and waits until its ready notice names
// listen_port. False (with the output so far in server->output) when it does not appear.
bool live_server_start(LiveServer* server, const std::string& port_argument, int listen_port);
bool live_server_start(LiveServer* server); // on a free port

// Reads the server's standard output until it contains needle (or timeout_ms pass); true when
// it does. The output read so far stays in server->output.
bool live_server_wait_output(LiveServer* server, const std::string& needle, int timeout_ms = 10000);

// Stops the server and returns what it wrote to standard error (sanitizer reports, say).
std::string live_server_stop(LiveServer* server);

// The server's standard output and error read all the time, for a server that writes much
// (a full pipe would stall its threads).
struct Drain {
    std::thread reader;
    std::thread error_reader;
    std::string output; // what follows server->output
    std::string errors;
};
void start_drain(LiveServer* server, Drain* drain);
// Stops the server: its pipes reach their end, the readers finish, then it is reaped.
void stop_drained(LiveServer* server, Drain* drain);

// A connected loopback socket to port, or -1.
int connect_loopback(int port);

// Sends request on a new connection and reads until the server closes it.
std::string http_exchange(int port, const std::string& request, int timeout_ms = 60000);

// Reads from fd until end of input or timeout_ms without progress.
std::string read_until_closed(int fd, int timeout_ms = 60000);

// Splits a reply into its head (status line and headers) and its body; false without a head.
bool split_reply(const std::string& reply, std::string* head, std::string* body);

// Counts entries of /proc/<pid>/task (threads) and /proc/<pid>/fd (descriptors).
int count_threads(int pid);
int count_descriptors(int pid);
