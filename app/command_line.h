// Command line of tavrinhost: which mode runs, the server's port and address, usage texts.
#pragma once

enum class HostMode { FipsCheck, NativeMessaging, Server, Help, Version };

constexpr int DEFAULT_SERVER_PORT = 7777;

// Printed on standard output for --help or -h; the version line is "tavrinhost " followed by
// TAVRINHOST_VERSION (the project version, given by the build) for --version.
constexpr const char* HOST_USAGE =
    "usage: tavrinhost                     native-messaging host: a browser starts it and\n"
    "                                      sends framed JSON messages on standard input\n"
    "       tavrinhost -s server [-p PORT] [-b ADDRESS]\n"
    "                                      HTTP server, port 7777 on all IPv4 interfaces\n"
    "       tavrinhost fips                check that FIPS mode can be switched on\n"
    "       tavrinhost --help | --version\n"
    "The FIPS provider is found through OPENSSL_MODULES and OPENSSL_CONF (the launcher sets\n"
    "them), or else in the program's own folder. Diagnostics go to the syslog over UDP:\n"
    "localhost port 514, or the HOST[:PORT] in TAVRINHOST_SYSLOG.\n";

// Printed on standard error when native-messaging mode starts with a terminal on standard
// input (browsers start it with pipes).
constexpr const char* HOST_TERMINAL_HINT =
#if defined(_WIN32)
    "tavrinhost: waiting for native-messaging frames from a browser on standard input (Ctrl-Z "
    "and Enter end); see tavrinhost --help for the other modes\n";
#else
    "tavrinhost: waiting for native-messaging frames from a browser on standard input (Ctrl-D "
    "ends); see tavrinhost --help for the other modes\n";
#endif

// Help when the only argument is exactly "--help" or "-h", Version when it is "--version";
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
