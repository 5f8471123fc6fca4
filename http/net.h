// Platform layer of the HTTP server: sockets, readiness waits, threads and the descriptor limit.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
using NetSocket = SOCKET;
constexpr NetSocket NET_INVALID_SOCKET = INVALID_SOCKET;
#else
#include <netinet/in.h>
#include <sys/socket.h>
using NetSocket = int;
constexpr NetSocket NET_INVALID_SOCKET = -1;
#endif

// Every function here is a thin wrapper: no messages, no allocation. Functions that fail
// leave the platform's error number for netLastError(); errors are the platform's own numbers
// (errno, or WSAGetLastError() on Windows) and netErrorText names them.

// Prepares the process for sockets: starts the socket library where the platform has one
// (version 2.2), and makes a send to a vanished peer fail instead of raising SIGPIPE.
// Returns 0, or the socket library's start-up result when it failed.
int netStartup();

// The last socket error of the calling thread, and a text for an error number (the system's;
// on Windows the error's name where the system has none; valid until the thread's next call).
int netLastError();
const char* netErrorText(int error);

// Error numbers the server tells apart.
bool netErrorIsInterrupted(int error);  // EINTR
// EBADF; WSAENOTSOCK, WSAEBADF, or WSA_OPERATION_ABORTED (what a wait in accept gets under
// wine when the listener is closed): the listener is gone.
bool netErrorIsBadSocket(int error);
// EAGAIN, EWOULDBLOCK; also what a blocking accept returns under wine when another thread
// took the connection.
bool netErrorIsWouldBlock(int error);
// Accept errors that say nothing about the listener: a descriptor or memory shortage that
// passes, or a peer that gave up before its connection was taken.
bool netErrorIsTransientAccept(int error);

void netClose(NetSocket socket);

// The address option of a listening socket, set before bind. POSIX: SO_REUSEADDR, so that a
// restarted server binds at once although connections of its predecessor linger in TIME_WAIT.
// Windows: SO_EXCLUSIVEADDRUSE, as there SO_REUSEADDR would let a second listener take the
// port (and TIME_WAIT does not block a bind anyway).
#if defined(_WIN32)
constexpr const char* NET_ADDRESS_OPTION = "SO_EXCLUSIVEADDRUSE";
#else
constexpr const char* NET_ADDRESS_OPTION = "SO_REUSEADDR";
#endif
// Sets NET_ADDRESS_OPTION on listener; false on failure. An IPv6 listener takes IPv4
// connections too where the platform does not by default (Windows), as on Linux, so that
// "::" means every address.
bool netSetListenerOptions(NetSocket listener, int family);

// Switches the socket to non-blocking mode; false on failure.
bool netSetNonBlocking(NetSocket socket);

// Accepts a connection on listener as a non-blocking socket (one call where the platform
// allows it), with the peer's address in address (*length bytes in, its length out).
// NET_INVALID_SOCKET with netLastError() set on failure.
NetSocket netAccept(NetSocket listener, sockaddr* address, socklen_t* length);

// Waits until the socket can be read (forWrite false) or written, for at most timeoutMs
// (negative: no limit). Returns 1 when ready (an error or hang-up counts as ready: the next
// call reports it), 0 when the time ran out, -1 on a failed wait.
int netWait(NetSocket socket, bool forWrite, int timeoutMs);

// One receive or send of up to length bytes; the count, 0 for an orderly close (receive), or
// -1 with netLastError() set. Sends never raise SIGPIPE.
long netReceive(NetSocket socket, void* data, size_t length);
long netSend(NetSocket socket, const void* data, size_t length);

// One send of first and then second (a gathering send), so that a response's header block
// and body cost one call; the count sent, or -1 with netLastError() set. What does not fill a
// segment may wait for more or for netShutdownSend, which the caller calls next.
long netSendPair(NetSocket socket, const void* first, size_t firstLength, const void* second,
                 size_t secondLength);

// Ends our sending side (the peer reads end of input); false when the socket refuses.
bool netShutdownSend(NetSocket socket);

// Makes every thread waiting in accept on listener return with an error, so that they can
// end. Returns true when that took closing the listener (then it must not be closed again),
// false when the owner still closes it.
bool netStopListening(NetSocket listener);

// Numeric host and port texts of a socket address ("" each on failure). Returns 0 or the
// name resolver's error code, which netNameErrorText names.
int netNumericName(const sockaddr* address, size_t addressLength, char* host, size_t hostSize,
                   char* port, size_t portSize);
const char* netNameErrorText(int code);

// Parses an IPv4 or IPv6 literal ("127.0.0.1", "::1", "0.0.0.0") with port into address
// (a sockaddr_storage); returns the address length, or 0 when text is not such a literal.
size_t netParseAddress(const char* text, uint16_t port, sockaddr_storage* address);

// Starts routine(argument) on a detached thread with stackSize bytes of stack (0: the
// platform's default). Returns 0 or the thread library's error number.
int netStartThread(void* (*routine)(void*), void* argument, size_t stackSize);

// Gives the heap's free pages back to the system where the allocator keeps them (glibc's
// per-thread arenas do); nothing elsewhere.
void netReleaseFreeMemory();

// Raises the limit on open descriptors towards wanted where the platform has such a limit,
// and returns the limit in force afterwards (wanted where there is none).
uint64_t netRaiseDescriptorLimit(uint64_t wanted);
