// FIPS mode activation in the default library context.
#include "cipher/fips.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include "log/console.h"

// The provider stays loaded for the life of the process; the process keeps its handle.
static OSSL_PROVIDER* process_fips_provider = nullptr;

static int fail(const char* message, FipsReport report)
{
    if (report) {
        report(message, strlen(message) + 1, nullptr);
        ERR_print_errors_cb(report, nullptr);
        return 0;
    }
    ERR_print_errors_fp(stderr);
    print_err("%s", message);
    exit(1);
}

int enable_fips_mode(FipsProviderState* state, const char* config_path, FipsReport report)
{
    if (OSSL_PROVIDER_available(nullptr, "fips") == 1)
        return 1;
    if (config_path && !OSSL_LIB_CTX_load_config(nullptr, config_path))
        return fail(FIPS_CONFIG_FAILED, report);
    if (state && state->unload_first) {
        OSSL_PROVIDER_unload(state->unload_first);
        state->unload_first = nullptr;
    }
    OSSL_PROVIDER* fips = OSSL_PROVIDER_load(nullptr, "fips");
    if (!fips)
        return fail(FIPS_PROVIDER_FAILED, report);
    process_fips_provider = fips;
    if (!EVP_default_properties_enable_fips(nullptr, 1))
        return fail(FIPS_PROPERTY_FAILED, report);
    if (state)
        state->fips = fips;
    return 1;
}
