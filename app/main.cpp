// tavrinhost: a local encryption service in FIPS mode, as a browser native-messaging host
// (default), an HTTP server (-s server [-p PORT]) or a FIPS self-check (fips).
#include <cstdio>

#include "app/command_line.h"
#include "app/fips_check.h"
#include "app/native_messaging.h"
#include "app/provider_location.h"
#include "app/server_mode.h"
#include "log/console.h"
#include "log/syslog.h"

int main(int argc, char** argv)
{
    HostMode mode = choose_mode(argc, argv);
    if (mode == HostMode::Help || mode == HostMode::Version) {
        fputs(mode == HostMode::Help ? HOST_USAGE : "tavrinhost " TAVRINHOST_VERSION "\n", stdout);
        return 0;
    }
    use_provider_beside_program();
    syslog_init();
    set_user_print_out(log_message_v);
    set_user_print_err(log_message_v);
    if (mode == HostMode::FipsCheck)
        return run_fips_check();

    set_console_output(false);
    syslog_open("tavrinhost", 9, 8);
    syslog_set_mask(255);
    if (mode == HostMode::NativeMessaging) {
        // Browsers start the host with pipes; a person at a terminal learns what it waits for.
        if (console_input_is_terminal())
            fputs(HOST_TERMINAL_HINT, stderr);
        return native_messaging_exchange();
    }
    return run_server_mode(scan_port(argc, argv), scan_bind_address(argc, argv));
}
