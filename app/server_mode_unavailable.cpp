// Server mode in a build without the HTTP server (Windows, until the server has its Windows
// branch): FIPS first as in every build, then it says that there is no server and ends.
#include "app/server_mode.h"

#include <cstdio>

#include "app/fips_check.h"
#include "cipher/fips.h"
#include "log/syslog.h"

int run_server_mode(int port, const char* address)
{
    (void)port;
    (void)address;
    log_message("--- Starting the Tavrin Native Host Listener (HTTP Server) -----\n");
    if (enable_fips_mode(nullptr, nullptr, log_crypto_error_line) != 1) {
        log_message("FIPS Mode not supported with OpenSSL build");
        print_fips_failure();
        return 1;
    }
    log_message("FIPS mode enabled");
    log_message("The HTTP server is not part of this build");
    fputs("tavrinhost: the HTTP server is not part of this build\n", stderr);
    return 1;
}
