// Server mode in a build without the HTTP server (Windows, until the server has its Windows
// branch): says so and ends.
#include "app/server_mode.h"

#include <cstdio>

#include "log/syslog.h"

int run_server_mode(int port, const char* address)
{
    (void)port;
    (void)address;
    log_message("The HTTP server is not part of this build");
    fputs("tavrinhost: the HTTP server is not part of this build\n", stderr);
    return 1;
}
