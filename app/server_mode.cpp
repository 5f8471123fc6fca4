// Server mode: the main thread starts the listener and then only sleeps.
#include "app/server_mode.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "app/fips_check.h"
#include "app/frames.h"
#include "cipher/fips.h"
#include "http/net.h"
#include "http/server.h"
#include "log/syslog.h"

// What the server thread reads; it lives for the process.
static HttpListenOptions listen_options;

// Main-thread sleep step; the process runs until it is terminated.
static constexpr int SERVER_MODE_SLEEP_MS = 500000;

int run_server_mode(int port, const char* address)
{
    log_message("--- Starting the Tavrin Native Host Listener (HTTP Server) -----\n");
    if (enable_fips_mode(nullptr, nullptr, log_crypto_error_line) != 1) {
        log_message("FIPS Mode not supported with OpenSSL build");
        print_fips_failure();
        return 1;
    }
    log_message("FIPS mode enabled");
    // Standard output carries the server's messages; each one should be seen when it happens.
    set_message_standard_output();
    listen_options.port = port;
    snprintf(listen_options.address, sizeof listen_options.address, "%s", address ? address : "");
    int failed = netStartThread(httpServerThread, &listen_options, 0);
    if (failed != 0) {
        printf("Whoa! Failed to create a thread for routine %p\n",
               reinterpret_cast<void*>(httpServerThread));
        fprintf(stderr, "tavrinhost: the server thread could not be started\n");
        return 1;
    }
    if (!httpServerAwaitListening()) {
        fprintf(stderr, "tavrinhost: cannot listen on %s port %d (see the message above)\n",
                listen_options.address[0] ? listen_options.address : "all IPv4 interfaces",
                port & 0xFFFF);
        return 1;
    }
    for (;;)
        std::this_thread::sleep_for(std::chrono::milliseconds(SERVER_MODE_SLEEP_MS));
}
