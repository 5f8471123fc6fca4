// The fips self-check, and the console line of every mode that cannot switch FIPS mode on.
#pragma once

// The line when the "fips" provider was not found or did not load.
constexpr const char* FIPS_PROVIDER_MISSING_LINE =
    "tavrinhost: FIPS mode could not be switched on: the FIPS provider was not found or did not "
    "load. Start the program through its launcher, keep the provider (fips.so; fips.dll on "
    "Windows) and openssl.cnf in the program's folder, or set OPENSSL_MODULES to the provider's "
    "folder and OPENSSL_CONF to its configuration.\n";
// The line when the provider loaded but FIPS mode still could not be made the default.
constexpr const char* FIPS_REFUSED_LINE =
    "tavrinhost: FIPS mode could not be switched on although the FIPS provider loaded (the "
    "syslog has the library's reason).\n";

// Switches FIPS mode on and reports the outcome to the syslog ("FIPS mode enabled OK" or
// "Error: FIPS mode could not be enabled.", after the library's reason) and as one line on
// standard error ("FIPS mode enabled OK" or the line of print_fips_failure); standard output
// stays empty. Returns the exit status: 0, or 1 when FIPS mode is off.
int run_fips_check();

// After enable_fips_mode failed: writes FIPS_PROVIDER_MISSING_LINE or FIPS_REFUSED_LINE,
// whichever applies, on standard error.
void print_fips_failure();
