// Syslog capture for tests.
#include "tests/support/udp_capture.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstdlib>
#include <string>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

bool udp_capture_open(UdpCapture* capture, uint16_t port)
{
    capture->fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (capture->fd < 0)
        return false;
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    int size = 8 << 20;
    setsockopt(capture->fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    if (bind(capture->fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(capture->fd);
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
    setenv("TAVRINHOST_SYSLOG", destination.c_str(), 1);
    return true;
}

std::vector<std::string> udp_capture_collect(UdpCapture* capture, int quiet_ms, int total_ms)
{
    std::vector<std::string> datagrams;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(total_ms);
    char buffer[65536];
    while (std::chrono::steady_clock::now() < end) {
        pollfd p = {capture->fd, POLLIN, 0};
        if (poll(&p, 1, quiet_ms) <= 0)
            break;
        ssize_t n = recv(capture->fd, buffer, sizeof buffer, 0);
        if (n >= 0)
            datagrams.emplace_back(buffer, static_cast<size_t>(n));
    }
    return datagrams;
}

void udp_capture_close(UdpCapture* capture)
{
    if (capture->fd >= 0)
        close(capture->fd);
    capture->fd = -1;
}

std::string syslog_message_of(const std::string& datagram)
{
    // "<PRI>Mmm dd hh:mm:ss HOST IDENT: MESSAGE": the time holds colons without spaces.
    size_t time_end = datagram.find(' ', datagram.find(':'));
    size_t colon = datagram.find(": ", time_end);
    return colon == std::string::npos ? std::string() : datagram.substr(colon + 2);
}
