// FIPS mode: loads the "fips" provider into the default library context and makes FIPS
// implementations the default for every later fetch.
#pragma once

#include <cstddef>
#include <openssl/types.h>

// Optional caller-owned record: fips receives the loaded provider; unload_first, when set,
// names a provider that is unloaded (and the field cleared) before "fips" is loaded.
struct FipsProviderState {
    OSSL_PROVIDER* fips;
    OSSL_PROVIDER* unload_first;
};

// Failure callback, shaped like the crypto library's error-listing callback.
using FipsReport = int (*)(const char* text, size_t length, void* user);

constexpr const char* FIPS_CONFIG_FAILED = "Failed to load FIPS configuration.\n";
constexpr const char* FIPS_PROVIDER_FAILED = "Failed to load FIPS provider.\n";
constexpr const char* FIPS_PROPERTY_FAILED = "Failed to set default FIPS property.\n";

// Returns 1 when the "fips" provider is available (at once when it already was), or 0 after
// passing the failure message (length with its NUL) and then the library's queued error
// lines to report. With a null report a failure prints the queued errors on stderr, the
// message through print_err, and exits the process with status 1. Runs before any other
// thread of the process exists; nothing is undone on failure.
int enable_fips_mode(FipsProviderState* state, const char* config_path, FipsReport report);
