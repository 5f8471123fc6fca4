// Syslog capture for tests: a UDP socket on the loopback address that collects datagrams.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct UdpCapture {
    int fd;
    uint16_t port;
};

// Binds 127.0.0.1:port (0 picks a free port, stored back into port). False on failure.
bool udp_capture_open(UdpCapture* capture, uint16_t port);

// As udp_capture_open, retrying for up to wait_ms while another process holds the port (the
// syslog port 514 is shared by every test run on the machine).
bool udp_capture_open_waiting(UdpCapture* capture, uint16_t port, int wait_ms = 120000);

// Collects datagrams until quiet_ms pass without one (or total_ms in all).
std::vector<std::string> udp_capture_collect(UdpCapture* capture, int quiet_ms = 300,
                                             int total_ms = 10000);

void udp_capture_close(UdpCapture* capture);

// The message part of a datagram: what follows the first ": " after the header.
std::string syslog_message_of(const std::string& datagram);
