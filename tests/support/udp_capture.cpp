// Syslog capture for tests.
#include "tests/support/udp_capture.h"

#include <chrono>
#include <cstdlib>
#include <string>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
using socklen_t = int;
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

// ---- platform layer ------------------------------------------------------------------
// A Windows socket handle is kept in the int field: handles are 32-bit values even in 64-bit
// processes.

static int open_udp_socket()
{
#if defined(_WIN32)
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return -1;
    SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
    return s == INVALID_SOCKET ? -1 : static_cast<int>(s);
#else
    return socket(AF_INET, SOCK_DGRAM, 0);
#endif
}

static void close_socket(int fd)
{
#if defined(_WIN32)
    closesocket(static_cast<SOCKET>(fd));
    WSACleanup();
#else
    close(fd);
#endif
}

// Whether a datagram arrives within timeout_ms.
static bool wait_readable(int fd, int timeout_ms)
{
#if defined(_WIN32)
    WSAPOLLFD p = {static_cast<SOCKET>(fd), POLLRDNORM, 0};
    return WSAPoll(&p, 1, timeout_ms) > 0;
#else
    pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, timeout_ms) > 0;
#endif
}

static void set_variable(const char* name, const char* value)
{
#if defined(_WIN32)
    _putenv_s(name, value);
#else
    setenv(name, value, 1);
#endif
}

// ---- capture -------------------------------------------------------------------------

bool udp_capture_open(UdpCapture* capture, uint16_t port)
{
    capture->fd = open_udp_socket();
    if (capture->fd < 0)
        return false;
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    int size = 8 << 20;
    setsockopt(capture->fd, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&size), sizeof size);
    if (bind(capture->fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close_socket(capture->fd);
        capture->fd = -1;
        return false;
    }
    socklen_t length = sizeof address;
    getsockname(capture->fd, reinterpret_cast<sockaddr*>(&address), &length);
    capture->port = ntohs(address.sin_port);
    return true;
}

bool syslog_capture_open(UdpCapture* capture)
{
    if (!udp_capture_open(capture, 0))
        return false;
    std::string destination = "127.0.0.1:" + std::to_string(capture->port);
    set_variable("TAVRINHOST_SYSLOG", destination.c_str());
    return true;
}

std::vector<std::string> udp_capture_collect(UdpCapture* capture, int quiet_ms, int total_ms)
{
    std::vector<std::string> datagrams;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(total_ms);
    char buffer[65536];
    while (std::chrono::steady_clock::now() < end) {
        if (!wait_readable(capture->fd, quiet_ms))
            break;
        auto n = recv(capture->fd, buffer, sizeof buffer, 0);
        if (n >= 0)
            datagrams.emplace_back(buffer, static_cast<size_t>(n));
    }
    return datagrams;
}

void udp_capture_close(UdpCapture* capture)
{
    if (capture->fd >= 0)
        close_socket(capture->fd);
    capture->fd = -1;
}

std::string syslog_message_of(const std::string& datagram)
{
    // "<PRI>Mmm dd hh:mm:ss HOST IDENT: MESSAGE": the time holds colons without spaces.
    size_t time_end = datagram.find(' ', datagram.find(':'));
    size_t colon = datagram.find(": ", time_end);
    return colon == std::string::npos ? std::string() : datagram.substr(colon + 2);
}
