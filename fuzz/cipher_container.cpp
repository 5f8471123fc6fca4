// Fuzz target of container decryption under a fixed set of passwords, every id.
// Input: [selector][bytes]. Selector bits 0-3 pick the password, bit 4 gives the operation a
// caller buffer of exactly the container's length instead of letting it allocate, bit 5
// first seals the bytes under that password and then flips the byte at the offset given by
// the first byte of the rest, so that well-formed containers with one change are opened
// too. The container sits in a heap block of exactly its size. Checks: a success fits the
// layout, an allocated buffer leaves zero bytes after the plaintext, the error text is
// terminated, a sealed container opens to its plaintext when nothing was changed, and
// opening in place agrees with opening into a buffer.
#include "cipher/container.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

static const char* const PASSWORDS[] = {"",     "pw",   ".1pw", ".2pw", ".3pw", ".5pw",
                                        ".Apw", ".Cpw", ".4pw", ".",    ".1",   ".Cx"};
static constexpr size_t PASSWORD_COUNT = sizeof PASSWORDS / sizeof *PASSWORDS;

static void check_error(const CipherError& error)
{
    if (!memchr(error.text, 0, sizeof error.text))
        abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1 || size > (1u << 16))
        return 0;
    const uint8_t selector = data[0];
    const char* password = PASSWORDS[(selector & 15) % PASSWORD_COUNT];
    const bool caller_buffer = selector & 16;
    const bool seal_first = selector & 32;
    data++;
    size--;

    unsigned char* container = nullptr;
    uint32_t length = 0;
    bool changed = false;
    CipherResult sealed = {};
    CipherError error = {};
    if (seal_first) {
        if (!encrypt_salted(data, static_cast<uint32_t>(size), password, &sealed, &error)) {
            check_error(error);
            release_cipher_result(&sealed);
            return 0;
        }
        length = sealed.length;
        container = static_cast<unsigned char*>(malloc(length));
        memcpy(container, sealed.data, length);
        if (size > 0 && data[0] < length && (selector & 64)) {
            container[data[0]] ^= static_cast<unsigned char>(selector | 1);
            changed = true;
        }
    } else {
        length = static_cast<uint32_t>(size);
        container = static_cast<unsigned char*>(malloc(size ? size : 1));
        memcpy(container, data, size);
    }

    CipherResult opened = {};
    if (caller_buffer && length > 0) {
        opened.data = static_cast<unsigned char*>(malloc(length));
        opened.length = length;
    }
    const uint32_t capacity = opened.length;
    memset(&error, 0, sizeof error);
    int rc = decrypt_salted(container, length, password, &opened, &error);
    check_error(error);
    if (rc) {
        if (opened.length > length)
            abort();
        if (!caller_buffer) {
            // The allocated buffer is length + 8 + S bytes; S is 8 at least.
            for (uint32_t i = opened.length; i < opened.length + 16; i++)
                if (opened.data[i] != 0)
                    abort();
        }
        if (seal_first && !changed &&
            (opened.length != size || (size && memcmp(opened.data, data, size) != 0)))
            abort();
    } else if (seal_first && !changed && (!caller_buffer || capacity >= length)) {
        abort(); // a container just made must open
    }
    if (!caller_buffer) {
        uint32_t offset = 0, plain_length = 0;
        CipherError in_place_error = {};
        int in_place = decrypt_salted_in_place(container, length, password, &offset, &plain_length,
                                               &in_place_error);
        check_error(in_place_error);
        if (in_place != rc || (rc && (plain_length != opened.length || offset + plain_length > length ||
                                      memcmp(container + offset, opened.data, plain_length) != 0)))
            abort();
    }
    release_cipher_result(&opened);
    release_cipher_result(&sealed);
    free(container);
    return 0;
}
