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

size_t base64_encode_into(const unsigned char* bytes, size_t length, char* text, size_t capacity)
{
    if (!bytes || !text || length == 0 || length > static_cast<size_t>(BASE64_ENCODE_MAX))
        return 0;
    size_t expected = base64_text_length(length);
    if (capacity < expected + 1)
        return 0;
    // One line, "=" padding, and the NUL after the last character.
    int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text), bytes, static_cast<int>(length));
    return static_cast<size_t>(written) == expected ? expected : 0;
}

char* base64_encode_buffer(const unsigned char* bytes, int length, uint32_t* text_length)
{
    if (!bytes || length <= 0 || length > BASE64_ENCODE_MAX)
        return nullptr;
    size_t size = base64_text_length(static_cast<size_t>(length)) + 1;
    char* text = static_cast<char*>(malloc(size));
    if (!text)
        return nullptr;
    size_t written = base64_encode_into(bytes, static_cast<size_t>(length), text, size);
    if (written == 0) {
        free(text);
        return nullptr;
    }
    if (text_length)
        *text_length = static_cast<uint32_t>(written);
    return text;
}

// ---- pieces of a stream --------------------------------------------------------------------

// 0x80 in every byte of x that is zero, 0 in the others.
static uint64_t zero_byte_marks(uint64_t x)
{
    constexpr uint64_t low7 = 0x7F7F7F7F7F7F7F7Full;
    return ~(((x & low7) + low7) | x | low7);
}

// Whether "AAAA" lies in the text of the groups around the zero byte pair at pair: any run
// of four "A" covering the pair starts in the group before the pair's group or in that
// group, and ends at the latest in the group after it. The groups are encoded as they stand
// in the whole text (the last one with its padding, when the window reaches the end).
static bool aaaa_around(const unsigned char* bytes, size_t length, size_t pair)
{
    size_t group_start = pair / BASE64_GROUP_BYTES * BASE64_GROUP_BYTES;
    size_t from = group_start >= BASE64_GROUP_BYTES ? group_start - BASE64_GROUP_BYTES : 0;
    size_t to = group_start + 2 * BASE64_GROUP_BYTES;
    if (to > length)
        to = length;
    char text[base64_text_length(3 * BASE64_GROUP_BYTES) + 1];
    size_t n = base64_encode_into(bytes + from, to - from, text, sizeof text);
    for (size_t i = 0; i + 4 <= n; ++i)
        if (text[i] == 'A' && text[i + 1] == 'A' && text[i + 2] == 'A' && text[i + 3] == 'A')
            return true;
    return false;
}

bool base64_text_has_aaaa(const unsigned char* bytes, size_t length)
{
    // Four "A" are 24 zero bits starting on a 6-bit boundary. Wherever they start, they cover
    // two whole bytes; in the last group up to 4 of the bits may be fill, which still leaves
    // two whole zero bytes of the data. So only pairs of zero bytes need a closer look. Words
    // of 8 bytes are read 7 bytes apart, so that every pair lies inside one of them.
    constexpr size_t word = sizeof(uint64_t);
    size_t i = 0;
    for (; i + word <= length; i += word - 1) {
        uint64_t x;
        memcpy(&x, bytes + i, word);
        uint64_t zeros = zero_byte_marks(x);
        // Byte k and byte k + 1 zero: in native byte order the mark of byte k + 1 shifted
        // onto byte k; on a big-endian machine the other way round.
        uint64_t pairs = zeros & (zeros >> 8);
        uint64_t pairs_be = zeros & (zeros << 8);
        if ((pairs | pairs_be) == 0)
            continue;
        for (size_t k = 0; k + 1 < word; ++k)
            if (bytes[i + k] == 0 && bytes[i + k + 1] == 0 && aaaa_around(bytes, length, i + k))
                return true;
    }
    for (; i + 1 < length; ++i)
        if (bytes[i] == 0 && bytes[i + 1] == 0 && aaaa_around(bytes, length, i))
            return true;
    return false;
}

void base64_decoder_start(Base64Decoder* decoder, unsigned char* out, size_t capacity)
{
    *decoder = {};
    decoder->out = out;
    decoder->capacity = capacity;
}

// Appends text to the kept rest, growing it by doubling.
static bool keep_text(Base64Decoder* decoder, const char* text, size_t length)
{
    size_t needed = decoder->rest_length + length + BASE64_GROUP_CHARS; // room to pad later
    if (needed > decoder->rest_capacity) {
        size_t capacity = decoder->rest_capacity ? decoder->rest_capacity : 4096;
        while (capacity < needed)
            capacity *= 2;
        char* grown = static_cast<char*>(realloc(decoder->rest, capacity));
        if (!grown) {
            decoder->broken = true;
            return false;
        }
        decoder->rest = grown;
        decoder->rest_capacity = capacity;
    }
    memcpy(decoder->rest + decoder->rest_length, text, length);
    decoder->rest_length += length;
    return true;
}

// Decodes whole groups (length a multiple of 4) behind the bytes decoded so far. The
// library's count is 3 per group only when every character is in the alphabet: leading
// white space and trailing line ends are trimmed (fewer groups, or an odd length that it
// refuses), anything else is refused.
static bool decode_clean_groups(Base64Decoder* decoder, const char* text, size_t length)
{
    if (length == 0)
        return true;
    int n = EVP_DecodeBlock(decoder->out + decoder->decoded,
                            reinterpret_cast<const unsigned char*>(text), static_cast<int>(length));
    if (n < 0 || static_cast<size_t>(n) != length / BASE64_GROUP_CHARS * BASE64_GROUP_BYTES)
        return false;
    decoder->decoded += static_cast<size_t>(n);
    return true;
}

bool base64_decoder_feed(Base64Decoder* decoder, const char* text, size_t length)
{
    if (decoder->broken)
        return false;
    if (length == 0)
        return true;
    if (decoder->text_length + length >
        decoder->capacity / BASE64_GROUP_BYTES * BASE64_GROUP_CHARS) {
        decoder->broken = true;
        return false;
    }
    decoder->text_length += length;
    if (length >= 2) {
        decoder->last[0] = text[length - 2];
    } else {
        decoder->last[0] = decoder->last[1];
    }
    decoder->last[1] = text[length - 1];
    if (decoder->keeping)
        return keep_text(decoder, text, length);

    // Complete a group begun by an earlier piece.
    while (decoder->grouped > 0 && decoder->grouped < BASE64_GROUP_CHARS && length > 0) {
        decoder->group[decoder->grouped++] = *text++;
        --length;
    }
    if (decoder->grouped == BASE64_GROUP_CHARS) {
        decoder->grouped = 0;
        if (!decode_clean_groups(decoder, decoder->group, BASE64_GROUP_CHARS)) {
            decoder->keeping = true;
            return keep_text(decoder, decoder->group, BASE64_GROUP_CHARS) &&
                   keep_text(decoder, text, length);
        }
    }
    size_t whole = length / BASE64_GROUP_CHARS * BASE64_GROUP_CHARS;
    if (!decode_clean_groups(decoder, text, whole)) {
        decoder->keeping = true;
        return keep_text(decoder, text, length);
    }
    memcpy(decoder->group + decoder->grouped, text + whole, length - whole);
    decoder->grouped += length - whole;
    return true;
}

// The end of a text whose first decoded bytes came from clean groups and whose rest (from a
// group boundary on) is kept: as base64_decode_buffer would treat the whole text.
static bool finish_kept_text(Base64Decoder* decoder, uint32_t* decoded_length)
{
    if (decoder->decoded == 0) {
        // Nothing decoded yet: the kept text is the whole text.
        uint32_t n = 0;
        unsigned char* bytes =
            base64_decode_buffer(decoder->rest, static_cast<int>(decoder->rest_length), &n);
        if (!bytes)
            return false;
        memcpy(decoder->out, bytes, n);
        free(bytes);
        *decoded_length = n;
        return true;
    }
    // Clean groups before: no leading white space to trim, and the trailing trim may eat the
    // whole rest. The padding "=" are appended first (keep_text left room for them).
    char* text = decoder->rest;
    size_t length = decoder->rest_length;
    while (length % BASE64_GROUP_CHARS)
        text[length++] = '=';
    const size_t padded = length;
    while (length > 0) {
        unsigned char c = static_cast<unsigned char>(text[length - 1]);
        // The characters the library trims from the end: white space, line ends, "-".
        if (c != ' ' && c != '\t' && c != '\n' && c != '\r' && c != '-')
            break;
        --length;
    }
    if (length % BASE64_GROUP_CHARS || !decode_clean_groups(decoder, text, length))
        return false;
    size_t n = decoder->decoded;
    n -= text[padded - 1] == '=';
    n -= text[padded - 2] == '=';
    *decoded_length = static_cast<uint32_t>(n);
    return true;
}

bool base64_decoder_finish(Base64Decoder* decoder, uint32_t* decoded_length)
{
    bool ok = false;
    uint32_t n = 0;
    if (decoder->broken || decoder->text_length == 0 || decoder->text_length > INT32_MAX) {
        ok = false;
    } else if (decoder->keeping) {
        ok = finish_kept_text(decoder, &n);
    } else {
        // Clean up to here: the last group is completed with "=", so nothing is trimmed.
        char last[2] = {decoder->last[0], decoder->last[1]};
        if (decoder->grouped > 0) {
            memset(decoder->group + decoder->grouped, '=', BASE64_GROUP_CHARS - decoder->grouped);
            last[1] = '=';
            last[0] = decoder->group[BASE64_GROUP_CHARS - 2];
            // Ending in "=", the group has nothing to trim at its end, and white space at its
            // start leaves fewer than 4 characters, which the library refuses as a whole
            // text would be refused.
            ok = decode_clean_groups(decoder, decoder->group, BASE64_GROUP_CHARS);
        } else {
            ok = true;
        }
        if (ok) {
            size_t count = decoder->decoded;
            count -= last[1] == '=';
            count -= last[0] == '=';
            n = static_cast<uint32_t>(count);
        }
    }
    base64_decoder_release(decoder);
    if (ok)
        *decoded_length = n;
    return ok;
}

void base64_decoder_release(Base64Decoder* decoder)
{
    free(decoder->rest);
    decoder->rest = nullptr;
    decoder->rest_length = 0;
    decoder->rest_capacity = 0;
}
