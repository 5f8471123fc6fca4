// Command line of tavrinhost: which mode runs, and the server's port.
#pragma once

enum class HostMode { FipsCheck, NativeMessaging, Server };

constexpr int DEFAULT_SERVER_PORT = 7777;

// FipsCheck when the only argument is exactly "fips"; otherwise Server when an element
// "-s" (the program name included) is followed by exactly "server", the value of "-s"
// being consumed either way; otherwise NativeMessaging.
HostMode choose_mode(int argc, const char* const* argv);

// Port of server mode: 7777, or the atoi value of the element that follows an element
// starting with "-p" at an odd position (1, 3, 5, ...); the last match wins.
int scan_port(int argc, const char* const* argv);

// Listening address of server mode: the element after the last element "-b" (at any
// position; "-b" as the last element is ignored), or null for all IPv4 interfaces.
const char* scan_bind_address(int argc, const char* const* argv);
