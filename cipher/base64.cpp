// Base64 transport encoding over the crypto library's block coder.
#include "cipher/base64.h"

#include <cstdlib>
#include <cstring>

#include <openssl/evp.h>

unsigned char* base64_decode_buffer(const char* text, int length, uint32_t* decoded_length)
{
    if (!text || length <= 0)
        return nullptr;

    // A text cut short of its padding is completed with "=" in a copy; the caller's text is
    // never modified. The padded length is computed wide so that it cannot overflow.
    size_t missing = (BASE64_GROUP_CHARS - static_cast<size_t>(length) % BASE64_GROUP_CHARS) %
                     BASE64_GROUP_CHARS;
    size_t padded_length = static_cast<size_t>(length) + missing;
    if (padded_length > INT32_MAX)
        return nullptr;
    const char* source = text;
    char* padded = nullptr;
    if (missing) {
        padded = static_cast<char*>(malloc(padded_length));
        if (!padded)
            return nullptr;
        memcpy(padded, text, static_cast<size_t>(length));
        memset(padded + length, '=', missing);
        source = padded;
    }

    size_t capacity = padded_length / BASE64_GROUP_CHARS * BASE64_GROUP_BYTES;
    unsigned char* out = static_cast<unsigned char*>(malloc(capacity));
    if (!out) {
        free(padded);
        return nullptr;
    }
    int decoded = EVP_DecodeBlock(out, reinterpret_cast<const unsigned char*>(source),
                                  static_cast<int>(padded_length));
    // The library counts 3 bytes for every group, padding included: each trailing "="
    // stands for one byte less. The two places are tested independently.
    if (decoded >= 0) {
        if (source[padded_length - 1] == '=')
            decoded--;
        if (padded_length >= 2 && source[padded_length - 2] == '=')
            decoded--;
    }
    free(padded);
    if (decoded < 0) {
        free(out);
        return nullptr;
    }
    if (decoded_length)
        *decoded_length = static_cast<uint32_t>(decoded);
    return out;
}

char* base64_encode_buffer(const unsigned char* bytes, int length, uint32_t* text_length)
{
    if (!bytes || length <= 0 || length > BASE64_ENCODE_MAX)
        return nullptr;
    int expected = (length + BASE64_GROUP_BYTES - 1) / BASE64_GROUP_BYTES * BASE64_GROUP_CHARS;
    char* text = static_cast<char*>(malloc(static_cast<size_t>(expected) + 1));
    if (!text)
        return nullptr;
    // One line, "=" padding, and the NUL after the last character.
    int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text), bytes, length);
    if (written != expected) {
        free(text);
        return nullptr;
    }
    if (text_length)
        *text_length = static_cast<uint32_t>(written);
    return text;
}
