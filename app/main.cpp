// tavrinhost: a local encryption service in FIPS mode, as a browser native-messaging host
// (default), an HTTP server (-s server [-p PORT]) or a FIPS self-check (fips).
#include <chrono>
#include <thread>

#include "app/command_line.h"
#include "app/native_messaging.h"
#include "app/server_mode.h"
#include "cipher/fips.h"
#include "log/console.h"
#include "log/syslog.h"

static int run_fips_check()
{
    set_console_output(true);
    int fips = enable_fips_mode(nullptr, nullptr, log_crypto_error_line);
    print_out(fips == 1 ? "FIPS mode enabled OK\n" : "Error: FIPS mode could not be enabled.\n");
    return 0;
}

int main(int argc, char** argv)
{
    syslog_init();
    set_user_print_out(log_message_v);
    set_user_print_err(log_message_v);
    HostMode mode = choose_mode(argc, argv);
    if (mode == HostMode::FipsCheck)
        return run_fips_check();

    set_console_output(false);
    syslog_open("tavrinhost", 9, 8);
    syslog_set_mask(255);
    if (mode == HostMode::NativeMessaging)
        return native_messaging_exchange();
    return run_server_mode(scan_port(argc, argv), scan_bind_address(argc, argv));
}
