// Cipher primitives: algorithm table, key setups over PBKDF2 or EVP_BytesToKey, AES runs.
#include "cipher/primitives.h"

#include <cstdio>
#include <cstring>

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>
#include <openssl/rand.h>

#include "log/console.h"

// Byte values random_nonzero_bytes maps onto: 1..253.
static constexpr int NONZERO_RANGE = 253;

enum class CipherMode { Gcm, Ctr, Cbc };
enum class KeySetup { Pbkdf2, BytesToKey };
enum class DigestKind { Sha256, Md5 };

struct AlgorithmEntry {
    char id;
    CipherMode mode;
    int iv_length;
    KeySetup setup;
    DigestKind digest;
    uint32_t iterations;
};

static constexpr AlgorithmEntry ALGORITHMS[] = {
    {'1', CipherMode::Gcm, CIPHER_GCM_IV_LENGTH, KeySetup::Pbkdf2, DigestKind::Sha256, 1024},
    {'2', CipherMode::Ctr, CIPHER_IV_SIZE, KeySetup::Pbkdf2, DigestKind::Sha256, 1024},
    {'3', CipherMode::Cbc, CIPHER_IV_SIZE, KeySetup::Pbkdf2, DigestKind::Sha256, 1024},
    {'5', CipherMode::Ctr, CIPHER_IV_SIZE, KeySetup::Pbkdf2, DigestKind::Sha256, 2048},
    {'A', CipherMode::Cbc, 0, KeySetup::BytesToKey, DigestKind::Md5, 1},
    {'C', CipherMode::Ctr, 0, KeySetup::BytesToKey, DigestKind::Sha256, 1024},
};

static const AlgorithmEntry* find_algorithm(int id)
{
    for (const AlgorithmEntry& entry : ALGORITHMS)
        if (entry.id == id)
            return &entry;
    return nullptr;
}

static const EVP_CIPHER* cipher_of(CipherMode mode)
{
    switch (mode) {
    case CipherMode::Gcm:
        return EVP_aes_256_gcm();
    case CipherMode::Ctr:
        return EVP_aes_256_ctr();
    case CipherMode::Cbc:
        return EVP_aes_256_cbc();
    }
    return nullptr;
}

int select_cipher_params(int id, CipherParams* params)
{
    if (!params)
        return 0;
    params->algorithm = id;
    params->salt_length = static_cast<uint16_t>(salt_length_for_id(id));
    const AlgorithmEntry* entry = find_algorithm(id);
    if (!entry)
        return 0;
    params->iv_length = entry->iv_length;
    params->cipher = cipher_of(entry->mode);
    params->digest = entry->digest == DigestKind::Md5 ? EVP_md5() : EVP_sha256();
    params->iterations = entry->iterations;
    if (entry->mode == CipherMode::Ctr)
        memset(params->iv + CIPHER_CTR_NONCE_LENGTH, 0, CIPHER_IV_SIZE - CIPHER_CTR_NONCE_LENGTH);
    return 1;
}

int salt_length_for_id(int id)
{
    return id == 'A' ? CIPHER_LEGACY_SALT_LENGTH : CIPHER_SALT_SIZE;
}

int random_nonzero_bytes(unsigned char* buffer, int count)
{
    if (!buffer || count < 0)
        return 0;
    if (RAND_bytes(buffer, count) != 1) {
        // Never hand out what a failed generator left behind.
        memset(buffer, 0, static_cast<size_t>(count));
        return 0;
    }
    for (int i = 0; i < count; i++)
        buffer[i] = static_cast<unsigned char>(buffer[i] % NONZERO_RANGE + 1);
    return 1;
}

int derive_pbkdf2(OSSL_LIB_CTX* libctx, const char* password, size_t password_length,
                  const unsigned char* salt, size_t salt_length, uint32_t iterations,
                  const char* digest_name, unsigned char* out, size_t out_length)
{
    if ((!password && password_length) || (!salt && salt_length) || !digest_name || !out)
        return -22;
    EVP_KDF* kdf = EVP_KDF_fetch(libctx, "pbkdf2", nullptr);
    if (!kdf)
        return -22;
    EVP_KDF_CTX* kctx = EVP_KDF_CTX_new(kdf);
    if (!kctx) {
        EVP_KDF_free(kdf);
        return -22;
    }
    // The library only reads these buffers; its parameter records are not const-qualified.
    static const char empty[1] = {0};
    unsigned int iter = iterations;
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_PASSWORD,
                                          const_cast<char*>(password ? password : empty),
                                          password_length),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT,
                                          const_cast<unsigned char*>(salt ? salt : reinterpret_cast<const unsigned char*>(empty)),
                                          salt_length),
        OSSL_PARAM_construct_uint(OSSL_KDF_PARAM_ITER, &iter),
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, const_cast<char*>(digest_name), 0),
        OSSL_PARAM_construct_end(),
    };
    int derived = EVP_KDF_derive(kctx, out, out_length, params);
    EVP_KDF_CTX_free(kctx);
    EVP_KDF_free(kdf);
    return derived == 1 ? 0 : -22;
}

// Key and IV from EVP_BytesToKey, which reads the first 8 salt bytes; 32 means success.
static bool bytes_to_key(const CipherParams* params, const unsigned char* salt, const char* password,
                         int password_length, unsigned char* key, unsigned char* iv)
{
    return EVP_BytesToKey(params->cipher, params->digest, salt,
                          reinterpret_cast<const unsigned char*>(password), password_length,
                          static_cast<int>(params->iterations), key, iv) == CIPHER_KEY_LENGTH;
}

static bool pbkdf2_key(const CipherParams* params, const unsigned char* salt, const char* password,
                       int password_length, unsigned char* key)
{
    return derive_pbkdf2(nullptr, password, static_cast<size_t>(password_length), salt,
                         params->salt_length, params->iterations, CIPHER_PBKDF2_DIGEST, key,
                         CIPHER_KEY_LENGTH) == 0;
}

static bool is_ctr(int id)
{
    return id == '2' || id == '5';
}

int setup_encrypt_key(const char* password, int id, int password_length, const unsigned char* salt,
                      unsigned char* iv_out, int* iv_length_out, EVP_CIPHER_CTX* ctx)
{
    unsigned char key[CIPHER_KEY_LENGTH] = {};
    CipherParams params = {};
    int rc = -1;
    if (!select_cipher_params(id, &params))
        return -1;
    if (iv_length_out)
        *iv_length_out = params.iv_length;
    if ((!password && password_length) || password_length < 0 || !salt || !ctx)
        goto done;

    if (params.iv_length == 0) {
        if (!bytes_to_key(&params, salt, password, password_length, key, params.iv))
            goto done;
    } else {
        // CTR: a random nonce, then the 8 zero bytes the counter starts from.
        int random_length = is_ctr(id) ? CIPHER_CTR_NONCE_LENGTH : params.iv_length;
        if (!random_nonzero_bytes(params.iv, random_length))
            goto done;
        if (iv_out)
            memcpy(iv_out, params.iv, static_cast<size_t>(params.iv_length));
        if (!pbkdf2_key(&params, salt, password, password_length, key))
            goto done;
    }

    EVP_CIPHER_CTX_reset(ctx);
    if (EVP_EncryptInit_ex(ctx, params.cipher, nullptr, key, params.iv) != 1)
        goto done;
    EVP_CIPHER_CTX_set_padding(ctx, CIPHER_BLOCK_SIZE);
    rc = 0;

done:
    if (rc != 0)
        ERR_print_errors_fp(stderr);
    OPENSSL_cleanse(key, sizeof key);
    OPENSSL_cleanse(&params, sizeof params);
    return rc;
}

// The first queued error of this thread as the caller's error text; the rest of the queue
// is dropped so that it cannot be mistaken for the reason of a later failure.
static void take_error_text(char* error_text, const char* fallback)
{
    unsigned long error = ERR_get_error();
    if (error)
        ERR_error_string_n(error, error_text, CIPHER_ERROR_TEXT_SIZE);
    else
        snprintf(error_text, CIPHER_ERROR_TEXT_SIZE, "%s", fallback);
    ERR_clear_error();
}

int setup_decrypt_key(const char* password, int id, int password_length, const unsigned char* salt,
                      const unsigned char* stored_iv, int* iv_length_out, EVP_CIPHER_CTX* ctx,
                      char* error_text)
{
    unsigned char key[CIPHER_KEY_LENGTH] = {};
    CipherParams params = {};
    bool derived = false;
    int rc = -1;
    if (!select_cipher_params(id, &params)) {
        if (error_text)
            snprintf(error_text, CIPHER_ERROR_TEXT_SIZE, "%s", CIPHER_UNSUPPORTED_ID);
        return -1;
    }
    if (iv_length_out)
        *iv_length_out = params.iv_length;
    if ((!password && password_length) || password_length < 0 || !salt || !ctx)
        goto done;
    ERR_clear_error();

    if (params.iv_length == 0) {
        derived = bytes_to_key(&params, salt, password, password_length, key, params.iv);
    } else {
        if (stored_iv && iv_length_out) {
            memcpy(params.iv, stored_iv, static_cast<size_t>(params.iv_length));
            // Only the nonce counts: the counter starts from the nonce and 8 zero bytes.
            if (is_ctr(id))
                memset(params.iv + CIPHER_CTR_NONCE_LENGTH, 0,
                       CIPHER_IV_SIZE - CIPHER_CTR_NONCE_LENGTH);
        }
        derived = pbkdf2_key(&params, salt, password, password_length, key);
    }
    if (!derived)
        goto done;

    EVP_CIPHER_CTX_reset(ctx);
    if (EVP_DecryptInit_ex(ctx, params.cipher, nullptr, key, params.iv) != 1)
        goto done;
    EVP_CIPHER_CTX_set_padding(ctx, 1);
    rc = 0;

done:
    if (rc != 0) {
        if (error_text) {
            take_error_text(error_text, "The key could not be derived");
        } else {
            if (!derived)
                print_err("An error occured.\n");
            ERR_print_errors_fp(stderr);
        }
    }
    OPENSSL_cleanse(key, sizeof key);
    OPENSSL_cleanse(&params, sizeof params);
    return rc;
}

int encrypt_buffer(EVP_CIPHER_CTX* ctx, const unsigned char* plaintext, uint32_t plaintext_length,
                   unsigned char* out, uint32_t* room)
{
    if (!ctx || (!plaintext && plaintext_length) || !out ||
        plaintext_length > static_cast<uint32_t>(INT32_MAX - CIPHER_BLOCK_SIZE))
        return 0;
    uint32_t expected = plaintext_length + CIPHER_BLOCK_SIZE;
    if (room && *room < expected)
        print_err(CIPHER_ROOM_WARNING, static_cast<int>(*room), static_cast<int>(expected));

    int written = 0;
    int final_written = 0;
    if (EVP_EncryptInit_ex(ctx, nullptr, nullptr, nullptr, nullptr) != 1 ||
        EVP_EncryptUpdate(ctx, out, &written, plaintext, static_cast<int>(plaintext_length)) != 1 ||
        EVP_EncryptFinal_ex(ctx, out + written, &final_written) != 1) {
        ERR_print_errors_fp(stderr);
        return 0;
    }
    if (room)
        *room = static_cast<uint32_t>(written + final_written);
    return 1;
}

int decrypt_buffer(EVP_CIPHER_CTX* ctx, int id, const unsigned char* ciphertext, int ciphertext_length,
                   unsigned char* out, uint32_t* room)
{
    if (!ctx || ciphertext_length < 0 || (!ciphertext && ciphertext_length) || !out)
        return 0;
    if (room && *room < static_cast<uint32_t>(ciphertext_length)) {
        print_err(CIPHER_ROOM_WARNING, static_cast<int>(*room), ciphertext_length);
        return 0;
    }
    bool gcm = id == '1';
    if (gcm && ciphertext_length < CIPHER_TAG_LENGTH)
        return 0;

    int body_length = gcm ? ciphertext_length - CIPHER_TAG_LENGTH : ciphertext_length;
    unsigned char tag[CIPHER_TAG_LENGTH];
    int written = 0;
    int final_written = 0;
    bool ok = EVP_DecryptInit_ex(ctx, nullptr, nullptr, nullptr, nullptr) == 1 &&
              EVP_DecryptUpdate(ctx, out, &written, ciphertext, body_length) == 1;
    if (ok && gcm) {
        memcpy(tag, ciphertext + body_length, sizeof tag);
        ok = EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, CIPHER_TAG_LENGTH, tag) == 1;
    }
    ok = ok && EVP_DecryptFinal_ex(ctx, out + written, &final_written) == 1;
    if (!ok) {
        ERR_print_errors_fp(stderr);
        return 0;
    }
    if (room)
        *room = static_cast<uint32_t>(written + final_written);
    return 1;
}
