// Base64 transport encoding: standard alphabet, "=" padding, one line, whole buffers at once.
#pragma once

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

// Encodes length bytes into a new NUL-terminated text of ((length + 2) / 3) x 4 characters
// and stores that character count (without the NUL) into text_length when given. Null for
// null bytes, a length of 0 or less, a length whose text would not fit an int
// (BASE64_ENCODE_MAX), or a failed allocation.
char* base64_encode_buffer(const unsigned char* bytes, int length, uint32_t* text_length);
