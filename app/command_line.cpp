// Command-line scans of start-up.
#include "app/command_line.h"

#include <cstdlib>
#include <cstring>

static bool is_only_argument(int argc, const char* const* argv, const char* word)
{
    return argc == 2 && strcmp(argv[1], word) == 0;
}

static bool scan_server_flag(int argc, const char* const* argv)
{
    bool server = false;
    for (int k = 0; k < argc; ++k) {
        if (strcmp(argv[k], "-s") != 0 || k + 1 >= argc)
            continue;
        if (strcmp(argv[k + 1], "server") == 0)
            server = true;
        ++k; // the value of "-s" is consumed whether or not it matched
    }
    return server;
}

HostMode choose_mode(int argc, const char* const* argv)
{
    if (is_only_argument(argc, argv, "--help") || is_only_argument(argc, argv, "-h"))
        return HostMode::Help;
    if (is_only_argument(argc, argv, "--version"))
        return HostMode::Version;
    if (is_only_argument(argc, argv, "fips"))
        return HostMode::FipsCheck;
    return scan_server_flag(argc, argv) ? HostMode::Server : HostMode::NativeMessaging;
}

int scan_port(int argc, const char* const* argv)
{
    int port = DEFAULT_SERVER_PORT;
    for (int k = 1; k < argc; k += 2) {
        if (k + 1 < argc && strncmp(argv[k], "-p", 2) == 0)
            port = atoi(argv[k + 1]);
    }
    return port;
}

const char* scan_bind_address(int argc, const char* const* argv)
{
    const char* address = nullptr;
    for (int k = 1; k + 1 < argc; ++k) {
        if (strcmp(argv[k], "-b") == 0)
            address = argv[++k];
    }
    return address;
}
