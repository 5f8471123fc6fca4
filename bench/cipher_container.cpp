// Throughput of encrypt_salted and decrypt_salted on 64 MiB with the CTR ids '2' and '5',
// against a bare EVP AES-256-CTR run over the same bytes plus one PBKDF2 derivation, both
// into a freshly allocated output. Prints ratios (>= 0.9 is the target); best of several runs.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>

#include "cipher/container.h"
#include "cipher/fips.h"

static constexpr size_t PAYLOAD = 64u << 20;
static constexpr int RUNS = 7;

static double now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

static int quiet(const char*, size_t, void*)
{
    return 0;
}

// The baseline: PBKDF2-HMAC-SHA-256 for the key, then one AES-256-CTR run into new memory.
static bool bare_ctr(const unsigned char* in, size_t length, unsigned iterations)
{
    unsigned char salt[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    unsigned char iv[16] = {9, 9, 9, 9, 9, 9, 9, 9};
    unsigned char key[32];
    char password[] = "benchmark password";
    EVP_KDF* kdf = EVP_KDF_fetch(nullptr, "pbkdf2", nullptr);
    EVP_KDF_CTX* kctx = EVP_KDF_CTX_new(kdf);
    char digest[] = "SHA256";
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_PASSWORD, password, strlen(password)),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, salt, sizeof salt),
        OSSL_PARAM_construct_uint(OSSL_KDF_PARAM_ITER, &iterations),
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_end(),
    };
    bool ok = EVP_KDF_derive(kctx, key, sizeof key, params) == 1;
    EVP_KDF_CTX_free(kctx);
    EVP_KDF_free(kdf);
    unsigned char* out = static_cast<unsigned char*>(calloc(length + 56, 1));
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int n = 0, f = 0;
    ok = ok && out && EVP_EncryptInit_ex(ctx, EVP_aes_256_ctr(), nullptr, key, iv) == 1 &&
         EVP_EncryptUpdate(ctx, out, &n, in, static_cast<int>(length)) == 1 &&
         EVP_EncryptFinal_ex(ctx, out + n, &f) == 1;
    EVP_CIPHER_CTX_free(ctx);
    free(out);
    return ok;
}

int main()
{
    bool fips = enable_fips_mode(nullptr, nullptr, quiet) == 1;
    printf("provider: %s\n", fips ? "fips" : "default (FIPS provider not configured)");
    unsigned char* payload = static_cast<unsigned char*>(malloc(PAYLOAD));
    for (size_t i = 0; i < PAYLOAD; i++)
        payload[i] = static_cast<unsigned char>(i * 131 + (i >> 13));

    bool all_ok = true;
    for (const char* password : {".2benchmark password", ".5benchmark password"}) {
        unsigned iterations = password[1] == '5' ? 2048 : 1024;
        CipherResult sealed = {};
        if (!encrypt_salted(payload, PAYLOAD, password, &sealed, nullptr)) {
            printf("encrypt_salted failed\n");
            return 1;
        }
        double best_base = 1e9, best_enc = 1e9, best_dec = 1e9;
        for (int run = 0; run < RUNS; run++) {
            double t0 = now();
            all_ok &= bare_ctr(payload, PAYLOAD, iterations);
            double t1 = now();
            CipherResult r = {};
            all_ok &= encrypt_salted(payload, PAYLOAD, password, &r, nullptr) == 1;
            release_cipher_result(&r);
            double t2 = now();
            CipherResult d = {};
            all_ok &= decrypt_salted(sealed.data, sealed.length, password, &d, nullptr) == 1 && d.length == PAYLOAD;
            release_cipher_result(&d);
            double t3 = now();
            best_base = t1 - t0 < best_base ? t1 - t0 : best_base;
            best_enc = t2 - t1 < best_enc ? t2 - t1 : best_enc;
            best_dec = t3 - t2 < best_dec ? t3 - t2 : best_dec;
        }
        double mib = PAYLOAD / 1048576.0;
        printf("id '%c' 64 MiB: bare CTR+PBKDF2 %.0f MiB/s, encrypt_salted %.0f MiB/s (ratio %.2f), "
               "decrypt_salted %.0f MiB/s (ratio %.2f)\n",
               password[1], mib / best_base, mib / best_enc, best_base / best_enc, mib / best_dec,
               best_base / best_dec);
        release_cipher_result(&sealed);
    }
    free(payload);
    if (!all_ok)
        printf("a run failed\n");
    return all_ok ? 0 : 1;
}
