// Cipher primitives: the algorithm table, password-based key setups and one-shot AES runs.
#pragma once

#include <cstddef>
#include <cstdint>

#include <openssl/types.h>

// Every algorithm is fetched from the default library context with its default properties,
// so once FIPS mode is on every cipher, digest and KDF comes from the FIPS provider. All
// operations are re-entrant: each call works on the caller's cipher context and on its own
// key and IV buffers, which are wiped with OPENSSL_cleanse before it returns. Library errors
// go to standard error, never to standard output.
//
// Algorithm ids (one ASCII byte):
//   '1' AES-256-GCM, 16-byte salt, 12-byte IV, PBKDF2-HMAC-SHA-256 x 1024, 16-byte tag
//   '2' AES-256-CTR, 16-byte salt, 8-byte nonce + 8 filler bytes, PBKDF2-HMAC-SHA-256 x 1024
//   '3' AES-256-CBC, 16-byte salt, 16-byte IV, PBKDF2-HMAC-SHA-256 x 1024
//   '5' AES-256-CTR like '2' with 2048 iterations
//   'A' AES-256-CBC, 8-byte salt, key and IV from EVP_BytesToKey(MD5, count 1)
//   'C' AES-256-CTR, 16-byte salt, key and IV from EVP_BytesToKey(SHA-256, count 1024)
// Any other byte is not an algorithm: its salt length is 16 and every key setup fails.
// For CTR the counter block is the nonce followed by 8 zero bytes.

constexpr int CIPHER_KEY_LENGTH = 32;
constexpr int CIPHER_IV_SIZE = 16;           // IV area; GCM uses the first 12 bytes
constexpr int CIPHER_GCM_IV_LENGTH = 12;
constexpr int CIPHER_CTR_NONCE_LENGTH = 8;   // bytes 8..15 of a CTR IV are the filler
constexpr int CIPHER_TAG_LENGTH = 16;        // GCM tag
constexpr int CIPHER_BLOCK_SIZE = 16;        // AES block: CBC padding adds 1 to 16 bytes
constexpr int CIPHER_SALT_SIZE = 16;
constexpr int CIPHER_LEGACY_SALT_LENGTH = 8; // salt of 'A', as the openssl enc command has it
constexpr int CIPHER_ERROR_TEXT_SIZE = 512;  // error text of setup_decrypt_key, with its NUL
constexpr const char* CIPHER_PBKDF2_DIGEST = "SHA256";

// Error text of a key setup (and of the container operations) for an id outside the table.
constexpr const char* CIPHER_UNSUPPORTED_ID = "Unsupported algorithm id";
// Warning of encrypt_buffer and failure of decrypt_buffer when the room is too small.
constexpr const char* CIPHER_ROOM_WARNING = "Length of ciphertext %i is less than expected %i\n ";

// Settings of one algorithm id, filled by select_cipher_params; lives on a key setup's stack.
struct CipherParams {
    unsigned char salt[CIPHER_SALT_SIZE]; // salt area
    unsigned char iv[CIPHER_IV_SIZE];     // IV area; bytes 8..15 cleared for '2' and '5'
    int32_t iv_length;                    // IV bytes stored in the container: 12, 16 or 0
    EVP_CIPHER_CTX* context;              // a prepared cipher context; unused here
    const EVP_CIPHER* cipher;             // EVP_aes_256_gcm, _ctr or _cbc
    const EVP_MD* digest;                 // EVP_sha256 or EVP_md5, for EVP_BytesToKey only
    uint32_t iterations;                  // PBKDF2 or EVP_BytesToKey count
    uint16_t salt_length;                 // 8 for 'A', 16 for every other byte
    int32_t algorithm;                    // the id byte
};

// Stores the id and its salt length for every id; for the six ids also the IV length,
// cipher, digest and count (and clears iv bytes 8..15 for '2' and '5') and returns 1.
// Returns 0 for any other byte and for null params (then nothing is touched).
int select_cipher_params(int id, CipherParams* params);

// 8 for 'A', 16 for any other byte.
int salt_length_for_id(int id);

// Fills count bytes from RAND_bytes, each mapped to (b mod 253) + 1, so 1..253. Returns 1,
// or 0 when the generator fails (the buffer is then zeroed and must not be used).
int random_nonzero_bytes(unsigned char* buffer, int count);

// PBKDF2 through EVP_KDF "pbkdf2" of libctx (null: the default context) with "pass", "salt",
// "iter" (4-byte unsigned) and "digest" (the system passes "SHA256"); fills out_length bytes.
// Returns 0 on success, -22 on any failure. Under FIPS the provider refuses salts below 16
// bytes, fewer than 1000 iterations and keys below 14 bytes.
int derive_pbkdf2(OSSL_LIB_CTX* libctx, const char* password, size_t password_length,
                  const unsigned char* salt, size_t salt_length, uint32_t iterations,
                  const char* digest_name, unsigned char* out, size_t out_length);

// Keys ctx for encryption with the id's cipher, a key from password (password_length bytes,
// no algorithm prefix, need not be NUL-terminated) and salt (the id's salt length), and for
// the PBKDF2 ids a fresh random IV. Copies the IV's iv_length bytes into iv_out (16 bytes,
// may be null; for CTR nonce and 8 zeros) and stores iv_length (0 for 'A' and 'C') into
// iv_length_out (may be null). Returns 0, or -1 (error queue printed to standard error) for
// an unknown id (ctx untouched), a failed generator, derivation or cipher initialisation.
int setup_encrypt_key(const char* password, int id, int password_length, const unsigned char* salt,
                      unsigned char* iv_out, int* iv_length_out, EVP_CIPHER_CTX* ctx);

// Keys ctx for decryption like setup_encrypt_key, taking the PBKDF2 ids' IV from stored_iv
// (the container's IV field; only used when iv_length_out is given too; for CTR only the 8
// nonce bytes matter). Returns 0 or -1. On failure with error_text (CIPHER_ERROR_TEXT_SIZE
// bytes, may be null) it receives the library's first queued error string, or
// CIPHER_UNSUPPORTED_ID; without it the error queue goes to standard error.
int setup_decrypt_key(const char* password, int id, int password_length, const unsigned char* salt,
                      const unsigned char* stored_iv, int* iv_length_out, EVP_CIPHER_CTX* ctx,
                      char* error_text);

// Encrypts plaintext in one run into out (CTR and GCM: plaintext_length bytes; CBC: rounded
// up to the next multiple of 16, always 1 to 16 more). room, when given, holds the bytes out
// can take; below plaintext_length + 16 the CIPHER_ROOM_WARNING is printed through
// print_err and the run goes on, so the caller must make sure the output fits. On success
// room holds the bytes written. Returns 1, or 0 on a library failure.
int encrypt_buffer(EVP_CIPHER_CTX* ctx, const unsigned char* plaintext, uint32_t plaintext_length,
                   unsigned char* out, uint32_t* room);

// Decrypts ciphertext in one run into out (at most ciphertext_length bytes); for id '1' its
// last 16 bytes are the tag, which must match. Fails before touching ctx when room is below
// ciphertext_length (printing CIPHER_ROOM_WARNING) or, for '1', the ciphertext is shorter
// than the tag or a negative length. On success room holds the plaintext length. Returns 1
// or 0 (tag mismatch, bad CBC padding, library failure).
int decrypt_buffer(EVP_CIPHER_CTX* ctx, int id, const unsigned char* ciphertext, int ciphertext_length,
                   unsigned char* out, uint32_t* room);
