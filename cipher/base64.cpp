// Base64 transport encoding over the crypto library's block coder.
#include "cipher/base64.h"

#include <cstdlib>
#include <cstring>
#include <string_view>

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

uint32_t base64_encode_into(const unsigned char* bytes, int length, char* text, uint64_t capacity)
{
    if (!bytes || !text || length <= 0 || length > BASE64_ENCODE_MAX)
        return 0;
    uint64_t expected = base64_text_length(static_cast<uint64_t>(length));
    if (capacity < expected + 1)
        return 0;
    // One line, "=" padding, and the NUL after the last character.
    int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text), bytes, length);
    return static_cast<uint64_t>(written) == expected ? static_cast<uint32_t>(written) : 0;
}

char* base64_encode_buffer(const unsigned char* bytes, int length, uint32_t* text_length)
{
    if (!bytes || length <= 0 || length > BASE64_ENCODE_MAX)
        return nullptr;
    uint64_t size = base64_text_length(static_cast<uint64_t>(length)) + 1;
    char* text = static_cast<char*>(malloc(static_cast<size_t>(size)));
    if (!text)
        return nullptr;
    uint32_t written = base64_encode_into(bytes, length, text, size);
    if (written == 0) {
        free(text);
        return nullptr;
    }
    if (text_length)
        *text_length = written;
    return text;
}

bool base64_text_contains(const unsigned char* bytes, uint64_t length, const char* needle)
{
    size_t needle_length = needle ? strlen(needle) : 0;
    if (!bytes || needle_length == 0 || needle_length > BASE64_NEEDLE_MAX)
        return false;
    // Pieces of whole 3-byte groups encode exactly as their part of the whole text; the last
    // needle_length - 1 characters of a piece are kept in front of the next one, so that a
    // match across the seam is found too.
    constexpr size_t PIECE_BYTES = 3 * 4096;
    constexpr size_t PIECE_CHARS = PIECE_BYTES / BASE64_GROUP_BYTES * BASE64_GROUP_CHARS;
    char text[BASE64_NEEDLE_MAX + PIECE_CHARS + 1];
    std::string_view wanted(needle, needle_length);
    size_t kept = 0;
    for (uint64_t at = 0; at < length; at += PIECE_BYTES) {
        size_t piece = length - at < PIECE_BYTES ? static_cast<size_t>(length - at) : PIECE_BYTES;
        int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text + kept), bytes + at,
                                      static_cast<int>(piece));
        size_t total = kept + static_cast<size_t>(written);
        if (std::string_view(text, total).find(wanted) != std::string_view::npos)
            return true;
        kept = total < needle_length - 1 ? total : needle_length - 1;
        memmove(text, text + total - kept, kept);
    }
    return false;
}
