// Runs FIPS activation in a fresh process and prints what happened, one fact a line, so
// that tests can vary the provider environment per run.
//   fips_probe report       activation with a recording callback, twice, then fetch checks
//   fips_probe null-report  activation without a callback (exits 1 when it fails)
#include <cstdio>
#include <cstring>

#include <openssl/evp.h>

#include "cipher/fips.h"

static int record(const char* text, size_t length, void*)
{
    size_t shown = strlen(text);
    while (shown > 0 && text[shown - 1] == '\n')
        --shown;
    printf("report %zu %.*s\n", length, static_cast<int>(shown), text);
    return 0;
}

static void print_fetch_checks()
{
    EVP_MD* md5 = EVP_MD_fetch(nullptr, "MD5", nullptr);
    printf("md5-fetch %s\n", md5 ? "ok" : "failed");
    EVP_MD_free(md5);

    unsigned char key[32], iv[16];
    const unsigned char salt[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const unsigned char pass[] = "password";
    printf("bytestokey-md5 %d\n",
           EVP_BytesToKey(EVP_aes_256_cbc(), EVP_md5(), salt, pass, 8, 1, key, iv));
    printf("bytestokey-sha256 %d\n",
           EVP_BytesToKey(EVP_aes_256_cbc(), EVP_sha256(), salt, pass, 8, 1, key, iv));
    printf("fips-property %d\n", EVP_default_properties_is_fips_enabled(nullptr));
}

int main(int argc, char** argv)
{
    if (argc == 2 && strcmp(argv[1], "null-report") == 0) {
        int result = enable_fips_mode(nullptr, nullptr, nullptr);
        printf("result %d\n", result);
        return 0;
    }
    FipsProviderState state = {nullptr, nullptr};
    printf("result %d\n", enable_fips_mode(&state, nullptr, record));
    printf("handle %s\n", state.fips ? "set" : "unset");
    printf("again %d\n", enable_fips_mode(nullptr, nullptr, record));
    print_fetch_checks();
    return 0;
}
