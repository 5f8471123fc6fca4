// The fips self-check and the failure line shared with server mode.
#include "app/fips_check.h"

#include <cstdio>

#include <openssl/provider.h>

#include "cipher/fips.h"
#include "log/console.h"
#include "log/syslog.h"

void print_fips_failure()
{
    bool loaded = OSSL_PROVIDER_available(nullptr, "fips") == 1;
    fputs(loaded ? FIPS_REFUSED_LINE : FIPS_PROVIDER_MISSING_LINE, stderr);
}

int run_fips_check()
{
    set_console_output(true);
    if (enable_fips_mode(nullptr, nullptr, log_crypto_error_line) != 1) {
        print_out("Error: FIPS mode could not be enabled.\n");
        print_fips_failure();
        return 1;
    }
    print_out("FIPS mode enabled OK\n");
    fputs("FIPS mode enabled OK\n", stderr);
    return 0;
}
