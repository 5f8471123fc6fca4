// Server mode: the main thread starts the listener and then only sleeps.
#include "app/server_mode.h"

#include <chrono>
#include <cstdio>
#include <pthread.h>
#include <thread>

#include "cipher/fips.h"
#include "http/server.h"
#include "log/syslog.h"

// The port the server thread reads; it lives for the process.
static int server_port;

// Main-thread sleep step; the process runs until it is terminated.
static constexpr int SERVER_MODE_SLEEP_MS = 500000;

// Starts routine(argument) on a detached thread with the default stack size.
static bool start_thread(void* (*routine)(void*), void* argument)
{
    pthread_t thread;
    if (pthread_create(&thread, nullptr, routine, argument) != 0)
        return false;
    pthread_detach(thread);
    return true;
}

int run_server_mode(int port)
{
    log_message("--- Starting the Tavrin Native Host Listener (HTTP Server) -----\n");
    if (enable_fips_mode(nullptr, nullptr, log_crypto_error_line) != 1) {
        log_message("FIPS Mode not supported with OpenSSL build");
        return 0;
    }
    log_message("FIPS mode enabled");
    // Standard output carries the server's messages; each one should be seen when it happens.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    server_port = port;
    if (!start_thread(httpServerThread, &server_port)) {
        printf("Whoa! Failed to create a thread for routine %p\n",
               reinterpret_cast<void*>(httpServerThread));
        fflush(stdout);
    }
    for (;;)
        std::this_thread::sleep_for(std::chrono::milliseconds(SERVER_MODE_SLEEP_MS));
}
