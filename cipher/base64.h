// Base64 transport encoding: standard alphabet, "=" padding, one line, whole buffers at once.
#pragma once

#include <cstddef>
#include <cstdint>

// Both operations are re-entrant, print nothing, and report failure only by returning null
// (the out-parameter is then left untouched). Every buffer they return is allocated with
// malloc and freed by the caller with free.

constexpr int BASE64_GROUP_BYTES = 3;  // bytes coded by one group of characters
constexpr int BASE64_GROUP_CHARS = 4;  // characters of one group

// Decodes length characters of text (need not be NUL-terminated; never modified). A length
// that is not a multiple of 4 is completed with "=" in a temporary copy first. Returns a
// new buffer of (padded length / 4) x 3 bytes, not NUL-terminated and possibly holding zero
// bytes, and stores the number of decoded bytes (the group bytes minus one per trailing "=")
// into decoded_length when given. Null for a null text, a length of 0 or less, a character
// outside the alphabet (line breaks included) or a failed allocation.
unsigned char* base64_decode_buffer(const char* text, int length, uint32_t* decoded_length);

constexpr int BASE64_ENCODE_MAX = (INT32_MAX / BASE64_GROUP_CHARS - 1) * BASE64_GROUP_BYTES;

// Characters of the Base64 text of count bytes: 4 for every started group of 3.
constexpr uint64_t base64_text_length(uint64_t count)
{
    return (count + BASE64_GROUP_BYTES - 1) / BASE64_GROUP_BYTES * BASE64_GROUP_CHARS;
}

// Encodes length bytes into text, a caller buffer of capacity bytes, which must hold
// base64_text_length(length) + 1: one line, "=" padding, a NUL after the last character.
// Returns the characters written, 0 for null bytes, a length of 0 or less or beyond
// BASE64_ENCODE_MAX, or a buffer that is too small (text is then untouched).
uint32_t base64_encode_into(const unsigned char* bytes, int length, char* text, uint64_t capacity);

// Whether the Base64 text of length bytes (as base64_encode_buffer would make it) contains
// needle, a text of 1 to BASE64_NEEDLE_MAX characters. The text is made piece by piece on
// the stack, never whole, so this costs no allocation whatever the length.
constexpr size_t BASE64_NEEDLE_MAX = 16;
bool base64_text_contains(const unsigned char* bytes, uint64_t length, const char* needle);

// Encodes length bytes into a new NUL-terminated text of ((length + 2) / 3) x 4 characters
// and stores that character count (without the NUL) into text_length when given. Null for
// null bytes, a length of 0 or less, a length whose text would not fit an int
// (BASE64_ENCODE_MAX), or a failed allocation.
char* base64_encode_buffer(const unsigned char* bytes, int length, uint32_t* text_length);
