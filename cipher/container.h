// Salted container: "Salted__", salt, IV, AES-256 ciphertext and GCM tag, keyed by a password.
#pragma once

#include <cstdint>

#include "cipher/primitives.h"

// Both operations return 1 on success and 0 on failure. A reason meant for the client goes
// into the optional CipherError: one of the texts below, with code 0, or for a failed
// decryption key setup the library's error string. A failure without a reason leaves the
// text as the caller set it (empty) and prints the library's error queue to standard error.
// Nothing secret (password, plaintext) is ever printed or written into the error text.
//
// Password: NUL-terminated. When it begins with ".", its second byte is the algorithm id
// (see primitives.h) and the key is derived from the bytes after these two; otherwise the id
// is '2' and the whole string is the password. The id is not stored in the container.
//
// Layout, with S the id's salt length (8 for 'A', else 16), L its IV length (12 for '1',
// 16 for '2', '3', '5', 0 for 'A' and 'C'), E the ciphertext length, T 16 for '1' else 0:
//   [0, 8) "Salted__"  [8, 8+S) salt  [8+S, 8+S+L) IV  then E ciphertext bytes, then T tag.
// Salt, IV and CTR nonce bytes lie in 1..253; the 8 CTR filler bytes after the nonce are
// plain random and ignored when reading. 'A' is the format of "openssl enc -aes-256-cbc
// -md md5". E is the plaintext length, or for CBC ('3', 'A') rounded up to the next
// multiple of 16 (1 to 16 more).
//
// Operations are re-entrant; a record must not be shared between concurrent calls.

constexpr const char* CONTAINER_MAGIC = "Salted__";
constexpr uint32_t CONTAINER_MAGIC_LENGTH = 8;
// An allocated container buffer holds plaintext + header + this (IV and tag or padding).
constexpr uint32_t CONTAINER_ALLOCATION_EXTRA = CIPHER_IV_SIZE + CIPHER_TAG_LENGTH;
// Largest container and plaintext: every size computed from them fits a 32-bit signed int.
constexpr uint32_t CONTAINER_LENGTH_MAX = INT32_MAX;
constexpr uint32_t CONTAINER_PLAINTEXT_MAX =
    CONTAINER_LENGTH_MAX - (CONTAINER_MAGIC_LENGTH + CIPHER_SALT_SIZE + CONTAINER_ALLOCATION_EXTRA);
constexpr uint32_t CIPHER_ERROR_SIZE = CIPHER_ERROR_TEXT_SIZE;

// Client reasons (code 0); CIPHER_UNSUPPORTED_ID ("Unsupported algorithm id", primitives.h)
// is given for a prefix whose id is outside the table, "." alone included.
constexpr const char* CONTAINER_NO_RESULT = "No object was provided to store results";
constexpr const char* CONTAINER_BUFFER_TOO_SMALL = "The provided buffer is not large enough to hold result";
constexpr const char* CONTAINER_INVALID = "The encrypted data appears to be invalid";
constexpr const char* CONTAINER_TOO_LARGE = "The data is too large to process";
constexpr const char* CONTAINER_NO_PASSWORD = "No password was provided";
constexpr const char* CONTAINER_NO_DATA = "No data was provided";

// The caller's result record. Zero it before first use; release it with
// release_cipher_result in every case, success or failure.
struct CipherResult {
    unsigned char* data; // output buffer, owned by the record (malloc)
    uint32_t length;     // in: 0 to allocate, or the capacity of data; out: the result size
    void* extra;         // second owned buffer, released with the record; not filled here
};

// The caller's optional error record; zero text before the call.
struct CipherError {
    char text[CIPHER_ERROR_SIZE]; // NUL-terminated reason for the client
    int32_t code;                 // 0 when one of the texts above was written
};

// Makes a container of plaintext (length bytes) under password into result. With
// result->length 0 a zero-filled buffer of length + 8 + S + 32 bytes is allocated (one the
// record still owns is freed first, in decrypt_salted too);
// otherwise result->data must hold the whole container (8 + S + L + E + T bytes), else
// CONTAINER_BUFFER_TOO_SMALL. Encrypting again into the record of an earlier encryption of
// the same plaintext and id reuses its buffer in place (printing the room warning of
// encrypt_buffer). Salt and IV are fresh on every call. On success result->length is the
// container size. A plaintext beyond CONTAINER_PLAINTEXT_MAX gives CONTAINER_TOO_LARGE.
int encrypt_salted(const unsigned char* plaintext, uint32_t length, const char* password,
                   CipherResult* result, CipherError* error);

// Opens a container (length bytes) with password into result. With result->length 0 a
// zero-filled buffer of length + 8 + S bytes is allocated, so the plaintext is followed by
// at least 8 + S zero bytes; otherwise the capacity must be at least length. Input not
// beginning with "Salted__", or shorter than header + IV + tag (+ one block for CBC), gives
// CONTAINER_INVALID: the header alone is invalid for every id but 'C', whose empty
// container it is. On success result->length is the plaintext size. A wrong password
// fails only for '1' (tag) and usually '3' and 'A' (padding); CTR ids return garbage.
int decrypt_salted(const unsigned char* container, uint32_t length, const char* password,
                   CipherResult* result, CipherError* error);

// Opens a container (length bytes) in place, as decrypt_salted would into a buffer of its
// own: the same checks, reasons and results, but the plaintext overwrites the ciphertext.
// On success *plaintext_offset (header and IV: the ciphertext's start) and *plaintext_length
// say where it lies in container; on failure nothing of a plaintext is left there. Spares
// the output buffer of a large container. Null offsets get CONTAINER_NO_RESULT.
int decrypt_salted_in_place(unsigned char* container, uint32_t length, const char* password,
                            uint32_t* plaintext_offset, uint32_t* plaintext_length, CipherError* error);

// Frees data and extra where set and clears both pointers; length is left as it was, so
// zero the record before reusing it for an unrelated result. Null is allowed.
void release_cipher_result(CipherResult* result);
