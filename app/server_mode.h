// Server mode of start-up: FIPS first, then the HTTP server thread, then sleep for ever.
#pragma once

// Returns 0 only when FIPS mode cannot be switched on; otherwise never returns. port is
// kept alive for the life of the process and read by the server thread.
int run_server_mode(int port);
