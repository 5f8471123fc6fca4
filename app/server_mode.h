// Server mode of start-up: FIPS first, then the HTTP server thread, then sleep for ever.
#pragma once

// Returns 1, after one line on standard error, when FIPS mode cannot be switched on or the
// server cannot listen on address (an IPv4 or IPv6 literal, null or "" for all IPv4
// interfaces) at port; otherwise never returns.
int run_server_mode(int port, const char* address);
