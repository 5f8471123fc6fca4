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

// A capture on a free loopback port that receives the datagrams of every program the test
// starts afterwards: the port is named to them through the syslog destination variable
// TAVRINHOST_SYSLOG, set in the test's own environment.
bool syslog_capture_open(UdpCapture* capture);

// Collects datagrams until quiet_ms pass without one (or total_ms in all).
std::vector<std::string> udp_capture_collect(UdpCapture* capture, int quiet_ms = 300,
                                             int total_ms = 10000);

void udp_capture_close(UdpCapture* capture);

// The message part of a datagram: what follows the first ": " after the header.
std::string syslog_message_of(const std::string& datagram);
