// Platform layer of the HTTP server: the only file of http/ with platform branches.
#include "http/net.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <pthread.h>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#if defined(_WIN32)
#include <windows.h>
#else
#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/uio.h>
#include <unistd.h>
#endif

int netStartup()
{
#if defined(_WIN32)
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data);
#else
    signal(SIGPIPE, SIG_IGN);
    return 0;
#endif
}

int netLastError()
{
#if defined(_WIN32)
    return WSAGetLastError();
#else
    return errno;
#endif
}

#if defined(_WIN32)
// Names of the Winsock errors the server reports, for a system without texts for them (wine).
static const char* winsockErrorName(int error)
{
    static const struct {
        int error;
        const char* name;
    } names[] = {
        {WSAEINTR, "WSAEINTR"},           {WSAEACCES, "WSAEACCES"},
        {WSAEINVAL, "WSAEINVAL"},         {WSAEMFILE, "WSAEMFILE"},
        {WSAEWOULDBLOCK, "WSAEWOULDBLOCK"}, {WSAENOTSOCK, "WSAENOTSOCK"},
        {WSAEADDRINUSE, "WSAEADDRINUSE"}, {WSAEADDRNOTAVAIL, "WSAEADDRNOTAVAIL"},
        {WSAENETDOWN, "WSAENETDOWN"},     {WSAECONNABORTED, "WSAECONNABORTED"},
        {WSAECONNRESET, "WSAECONNRESET"}, {WSAENOBUFS, "WSAENOBUFS"},
        {WSAENOTCONN, "WSAENOTCONN"},     {WSAESHUTDOWN, "WSAESHUTDOWN"},
        {WSAETIMEDOUT, "WSAETIMEDOUT"},   {WSAECONNREFUSED, "WSAECONNREFUSED"},
    };
    for (const auto& n : names)
        if (n.error == error)
            return n.name;
    return "Winsock error";
}
#endif

const char* netErrorText(int error)
{
#if defined(_WIN32)
    // One text per thread: the server prints it at once.
    static thread_local char text[256];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             static_cast<DWORD>(error), 0, text, sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == '.'))
        text[--n] = '\0';
    if (n == 0)
        snprintf(text, sizeof text, "%s", winsockErrorName(error));
    return text;
#else
    return strerror(error);
#endif
}

bool netErrorIsInterrupted(int error)
{
#if defined(_WIN32)
    return error == WSAEINTR;
#else
    return error == EINTR;
#endif
}

bool netErrorIsBadSocket(int error)
{
#if defined(_WIN32)
    return error == WSAENOTSOCK || error == WSAEBADF || error == WSA_OPERATION_ABORTED;
#else
    return error == EBADF;
#endif
}

bool netErrorIsWouldBlock(int error)
{
#if defined(_WIN32)
    return error == WSAEWOULDBLOCK;
#else
    return error == EAGAIN || error == EWOULDBLOCK;
#endif
}

bool netErrorIsTransientAccept(int error)
{
#if defined(_WIN32)
    return error == WSAEMFILE || error == WSAENOBUFS || error == WSAECONNRESET;
#else
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM ||
           error == ECONNABORTED;
#endif
}

void netClose(NetSocket socket)
{
#if defined(_WIN32)
    closesocket(socket);
#else
    close(socket);
#endif
}

bool netSetListenerOptions(NetSocket listener, int family)
{
    int on = 1;
#if defined(_WIN32)
    if (family == AF_INET6) {
        int off = 0;
        setsockopt(listener, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&off),
                   sizeof off);
    }
    return setsockopt(listener, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
                      sizeof on) == 0;
#else
    (void)family;
    return setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0;
#endif
}

bool netSetNonBlocking(NetSocket socket)
{
#if defined(_WIN32)
    u_long on = 1;
    return ioctlsocket(socket, FIONBIO, &on) == 0;
#else
    int flags = fcntl(socket, F_GETFL, 0);
    return flags >= 0 && fcntl(socket, F_SETFL, flags | O_NONBLOCK) == 0;
#endif
}

NetSocket netAccept(NetSocket listener, sockaddr* address, socklen_t* length)
{
#if defined(__linux__)
    return accept4(listener, address, length, SOCK_NONBLOCK | SOCK_CLOEXEC);
#else
    NetSocket accepted = accept(listener, address, length);
    if (accepted != NET_INVALID_SOCKET && !netSetNonBlocking(accepted)) {
        int error = netLastError();
        netClose(accepted);
#if defined(_WIN32)
        WSASetLastError(error);
#else
        errno = error;
#endif
        return NET_INVALID_SOCKET;
    }
    return accepted;
#endif
}

int netWait(NetSocket socket, bool forWrite, int timeoutMs)
{
#if defined(_WIN32)
    WSAPOLLFD entry = {socket, static_cast<SHORT>(forWrite ? POLLWRNORM : POLLRDNORM), 0};
    int ready = WSAPoll(&entry, 1, timeoutMs < 0 ? -1 : timeoutMs);
#else
    pollfd entry = {socket, static_cast<short>(forWrite ? POLLOUT : POLLIN), 0};
    int ready = poll(&entry, 1, timeoutMs < 0 ? -1 : timeoutMs);
#endif
    return ready > 0 ? 1 : ready;
}

long netReceive(NetSocket socket, void* data, size_t length)
{
#if defined(_WIN32)
    int count = length > INT32_MAX ? INT32_MAX : static_cast<int>(length);
    return recv(socket, static_cast<char*>(data), count, 0);
#else
    return static_cast<long>(recv(socket, data, length, 0));
#endif
}

long netSend(NetSocket socket, const void* data, size_t length)
{
#if defined(_WIN32)
    int count = length > INT32_MAX ? INT32_MAX : static_cast<int>(length);
    return send(socket, static_cast<const char*>(data), count, 0);
#else
    return static_cast<long>(send(socket, data, length, MSG_NOSIGNAL));
#endif
}

long netSendPair(NetSocket socket, const void* first, size_t firstLength, const void* second,
                 size_t secondLength)
{
#if defined(_WIN32)
    auto clamp = [](size_t n) { return static_cast<ULONG>(n > INT32_MAX ? INT32_MAX : n); };
    WSABUF parts[2] = {{clamp(firstLength), static_cast<char*>(const_cast<void*>(first))},
                       {clamp(secondLength), static_cast<char*>(const_cast<void*>(second))}};
    DWORD sent = 0;
    if (WSASend(socket, parts, 2, &sent, 0, nullptr, nullptr) != 0)
        return -1;
    return static_cast<long>(sent);
#else
    iovec parts[2] = {{const_cast<void*>(first), firstLength}, {const_cast<void*>(second), secondLength}};
    msghdr message = {};
    message.msg_iov = parts;
    message.msg_iovlen = 2;
    // Held back as more to come: the end of the sending side, which follows a response, then
    // leaves with the last of the data in one segment.
    return static_cast<long>(sendmsg(socket, &message, MSG_NOSIGNAL | MSG_MORE));
#endif
}

bool netStopListening(NetSocket listener)
{
#if defined(_WIN32)
    closesocket(listener); // only closing it wakes the threads in accept
    return true;
#else
    shutdown(listener, SHUT_RDWR);
    return false;
#endif
}

bool netShutdownSend(NetSocket socket)
{
#if defined(_WIN32)
    return shutdown(socket, SD_SEND) == 0;
#else
    return shutdown(socket, SHUT_WR) == 0;
#endif
}

int netNumericName(const sockaddr* address, size_t addressLength, char* host, size_t hostSize,
                   char* port, size_t portSize)
{
    int result = getnameinfo(address, static_cast<socklen_t>(addressLength), host,
                             static_cast<socklen_t>(hostSize), port,
                             static_cast<socklen_t>(portSize), NI_NUMERICHOST | NI_NUMERICSERV);
    if (result != 0) {
        host[0] = '\0';
        port[0] = '\0';
    }
    return result;
}

const char* netNameErrorText(int code)
{
    return gai_strerror(code);
}

size_t netParseAddress(const char* text, uint16_t port, sockaddr_storage* address)
{
    memset(address, 0, sizeof *address);
    auto* v4 = reinterpret_cast<sockaddr_in*>(address);
    if (inet_pton(AF_INET, text, &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        return sizeof *v4;
    }
    auto* v6 = reinterpret_cast<sockaddr_in6*>(address);
    if (inet_pton(AF_INET6, text, &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        return sizeof *v6;
    }
    return 0;
}

int netStartThread(void* (*routine)(void*), void* argument, size_t stackSize)
{
    pthread_attr_t attributes;
    int result = pthread_attr_init(&attributes);
    if (result != 0)
        return result;
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    if (stackSize > 0)
        pthread_attr_setstacksize(&attributes, stackSize);
    pthread_t thread;
    result = pthread_create(&thread, &attributes, routine, argument);
    pthread_attr_destroy(&attributes);
    return result;
}

void netReleaseFreeMemory()
{
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

uint64_t netRaiseDescriptorLimit(uint64_t wanted)
{
#if defined(_WIN32)
    return wanted; // sockets are handles, bounded by memory only
#else
    rlimit limit = {};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 0;
    if (limit.rlim_cur < wanted && limit.rlim_cur != RLIM_INFINITY) {
        rlim_t raised = limit.rlim_max == RLIM_INFINITY || limit.rlim_max > wanted
                            ? static_cast<rlim_t>(wanted)
                            : limit.rlim_max;
        rlimit next = {raised, limit.rlim_max};
        if (setrlimit(RLIMIT_NOFILE, &next) == 0)
            limit.rlim_cur = raised;
    }
    return limit.rlim_cur == RLIM_INFINITY ? wanted : static_cast<uint64_t>(limit.rlim_cur);
#endif
}
