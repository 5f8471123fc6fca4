// Salted container: layout, buffers and the error record around the cipher primitives.
#include "cipher/container.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

// Password without the algorithm prefix, and the id the prefix names ('2' without one).
struct PasswordParts {
    int id;
    const char* proper;
    size_t length;
};

// Everything the layout of one id needs, derived from the id and the plaintext length.
struct ContainerLayout {
    uint32_t header; // magic and salt
    uint32_t salt;   // S
    uint32_t iv;     // L
    uint32_t tag;    // T
};

static constexpr char PASSWORD_PREFIX = '.';
static constexpr int DEFAULT_ALGORITHM = '2';

static void set_error(CipherError* error, const char* text)
{
    if (!error)
        return;
    snprintf(error->text, sizeof error->text, "%s", text);
    error->code = 0;
}

static PasswordParts split_password(const char* password)
{
    size_t length = strlen(password);
    if (password[0] != PASSWORD_PREFIX)
        return {DEFAULT_ALGORITHM, password, length};
    // "." alone names no algorithm; the terminator is not an id to read past.
    if (length < 2)
        return {0, password + length, 0};
    return {static_cast<unsigned char>(password[1]), password + 2, length - 2};
}

static ContainerLayout layout_of(const CipherParams* params)
{
    ContainerLayout layout;
    layout.salt = params->salt_length;
    layout.header = CONTAINER_MAGIC_LENGTH + layout.salt;
    layout.iv = static_cast<uint32_t>(params->iv_length);
    layout.tag = params->algorithm == '1' ? CIPHER_TAG_LENGTH : 0;
    return layout;
}

static bool is_cbc(int id)
{
    return id == '3' || id == 'A';
}

// Common checks of both operations: the records, the password and its id. Fills parts and
// params, or writes the reason and returns false.
static bool read_password(const char* password, CipherResult* result, CipherError* error,
                          PasswordParts* parts, CipherParams* params)
{
    if (!result) {
        set_error(error, CONTAINER_NO_RESULT);
        return false;
    }
    if (!password) {
        set_error(error, CONTAINER_NO_PASSWORD);
        return false;
    }
    *parts = split_password(password);
    if (!select_cipher_params(parts->id, params)) {
        set_error(error, CIPHER_UNSUPPORTED_ID);
        return false;
    }
    if (parts->length > INT32_MAX) {
        set_error(error, CONTAINER_TOO_LARGE);
        return false;
    }
    return true;
}

// A record of length 0 gets a new zero-filled buffer of capacity bytes (a buffer it still
// owns is freed first); otherwise its buffer must hold needed bytes.
static bool prepare_output(CipherResult* result, uint32_t capacity, uint32_t needed, CipherError* error)
{
    if (result->length == 0) {
        free(result->data);
        result->data = static_cast<unsigned char*>(calloc(capacity, 1));
        if (!result->data)
            return false;
        result->length = capacity;
        return true;
    }
    if (!result->data || result->length < needed) {
        set_error(error, CONTAINER_BUFFER_TOO_SMALL);
        return false;
    }
    return true;
}

int encrypt_salted(const unsigned char* plaintext, uint32_t length, const char* password,
                   CipherResult* result, CipherError* error)
{
    PasswordParts parts;
    CipherParams params = {};
    if (!read_password(password, result, error, &parts, &params))
        return 0;
    if (!plaintext && length) {
        set_error(error, CONTAINER_NO_DATA);
        return 0;
    }
    if (length > CONTAINER_PLAINTEXT_MAX) {
        set_error(error, CONTAINER_TOO_LARGE);
        return 0;
    }
    const int id = parts.id;
    const ContainerLayout layout = layout_of(&params);
    const uint32_t ciphertext_length =
        is_cbc(id) ? (length / CIPHER_BLOCK_SIZE + 1) * CIPHER_BLOCK_SIZE : length;
    const uint32_t needed = layout.header + layout.iv + ciphertext_length + layout.tag;
    if (!prepare_output(result, length + layout.header + CONTAINER_ALLOCATION_EXTRA, needed, error))
        return 0;

    unsigned char salt[CIPHER_SALT_SIZE] = {};
    unsigned char iv[CIPHER_IV_SIZE] = {};
    int iv_length = 0;
    int ok = 0;
    uint32_t room = 0;
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    if (!ctx) {
        ERR_print_errors_fp(stderr);
        return 0;
    }
    if (!random_nonzero_bytes(salt, static_cast<int>(layout.salt))) {
        ERR_print_errors_fp(stderr);
        goto done;
    }
    if (setup_encrypt_key(parts.proper, id, static_cast<int>(parts.length), salt, iv, &iv_length, ctx) != 0)
        goto done;

    // The room is counted as if the IV field were always 16 bytes: an allocated buffer has
    // exactly plaintext + 16 of it; the buffer of an earlier container of the same plaintext
    // has less, which encrypt_buffer only warns about. needed was checked above, so the
    // ciphertext fits whatever the room says.
    room = result->length - layout.header - CIPHER_IV_SIZE;
    if (!encrypt_buffer(ctx, plaintext, length, result->data + layout.header + layout.iv, &room))
        goto done;
    if (room != ciphertext_length)
        goto done;

    memcpy(result->data, CONTAINER_MAGIC, CONTAINER_MAGIC_LENGTH);
    memcpy(result->data + CONTAINER_MAGIC_LENGTH, salt, layout.salt);
    if (layout.iv > 0) {
        // CTR: the 8 bytes after the nonce are filler, plain random and never read back.
        if ((id == '2' || id == '5') &&
            RAND_bytes(iv + CIPHER_CTR_NONCE_LENGTH, CIPHER_IV_SIZE - CIPHER_CTR_NONCE_LENGTH) != 1) {
            ERR_print_errors_fp(stderr);
            goto done;
        }
        memcpy(result->data + layout.header, iv, layout.iv);
    }
    result->length = layout.header + layout.iv + ciphertext_length;
    if (layout.tag) {
        if (EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, CIPHER_TAG_LENGTH,
                                result->data + result->length) != 1) {
            ERR_print_errors_fp(stderr);
            goto done;
        }
        result->length += layout.tag;
    }
    ok = 1;

done:
    EVP_CIPHER_CTX_free(ctx);
    OPENSSL_cleanse(iv, sizeof iv);
    OPENSSL_cleanse(&params, sizeof params);
    return ok;
}

// The checks both decryptions make before they key anything: the password's id, the length,
// the magic and the shortest container of the id. Fills parts and layout, or writes the
// reason and returns false.
static bool check_container(const unsigned char* container, uint32_t length, const char* password,
                            CipherResult* result, CipherError* error, PasswordParts* parts,
                            ContainerLayout* layout)
{
    CipherParams params = {};
    bool ok = read_password(password, result, error, parts, &params);
    if (ok && length > CONTAINER_LENGTH_MAX) {
        set_error(error, CONTAINER_TOO_LARGE);
        ok = false;
    }
    if (ok) {
        *layout = layout_of(&params);
        // Only input that begins with the magic has a salt and an IV where they are read. The
        // shortest container has an empty ciphertext, or one padding block for CBC: the header
        // alone is the empty container of 'C' and too short for every other id.
        const uint32_t shortest = layout->header + layout->iv + layout->tag +
                                  (is_cbc(parts->id) ? CIPHER_BLOCK_SIZE : 0);
        if (!container || length < shortest ||
            memcmp(container, CONTAINER_MAGIC, CONTAINER_MAGIC_LENGTH) != 0) {
            set_error(error, CONTAINER_INVALID);
            ok = false;
        }
    }
    OPENSSL_cleanse(&params, sizeof params);
    return ok;
}

// Keys a context from the container's salt and IV and decrypts its ciphertext into out (room
// bytes in, the plaintext length out); out may be the ciphertext itself. A failed tag or
// padding check wipes what was written, so no unauthenticated plaintext stays behind.
static int open_container(const unsigned char* container, uint32_t length, const PasswordParts* parts,
                          const ContainerLayout* layout, unsigned char* out, uint32_t* room,
                          CipherError* error)
{
    const unsigned char* ciphertext = container + layout->header + layout->iv;
    const int ciphertext_length = static_cast<int>(length - layout->header - layout->iv);
    int iv_length = 0;
    int ok = 0;
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    if (!ctx) {
        ERR_print_errors_fp(stderr);
        return 0;
    }
    if (setup_decrypt_key(parts->proper, parts->id, static_cast<int>(parts->length),
                          container + CONTAINER_MAGIC_LENGTH, container + layout->header, &iv_length,
                          ctx, error ? error->text : nullptr) == 0) {
        ok = decrypt_buffer(ctx, parts->id, ciphertext, ciphertext_length, out, room);
        if (!ok)
            OPENSSL_cleanse(out, static_cast<size_t>(ciphertext_length));
    }
    EVP_CIPHER_CTX_free(ctx);
    return ok;
}

int decrypt_salted(const unsigned char* container, uint32_t length, const char* password,
                   CipherResult* result, CipherError* error)
{
    PasswordParts parts;
    ContainerLayout layout = {};
    if (!check_container(container, length, password, result, error, &parts, &layout))
        return 0;
    if (!prepare_output(result, length + layout.header, length, error))
        return 0;
    uint32_t room = result->length;
    int ok = open_container(container, length, &parts, &layout, result->data, &room, error);
    if (ok)
        result->length = room;
    return ok;
}

int decrypt_salted_in_place(unsigned char* container, uint32_t length, const char* password,
                            uint32_t* plaintext_offset, uint32_t* plaintext_length, CipherError* error)
{
    // The null check of the result record stands for the two places the result goes.
    CipherResult placed = {};
    PasswordParts parts;
    ContainerLayout layout = {};
    if (!check_container(container, length, password,
                         plaintext_offset && plaintext_length ? &placed : nullptr, error, &parts,
                         &layout))
        return 0;
    uint32_t offset = layout.header + layout.iv;
    uint32_t room = length - offset;
    int ok = open_container(container, length, &parts, &layout, container + offset, &room, error);
    if (ok) {
        *plaintext_offset = offset;
        *plaintext_length = room;
    }
    return ok;
}

void release_cipher_result(CipherResult* result)
{
    if (!result)
        return;
    free(result->data);
    free(result->extra);
    result->data = nullptr;
    result->extra = nullptr;
}
