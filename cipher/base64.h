// Base64 transport encoding: standard alphabet, "=" padding, one line; whole buffers, or
// pieces of a stream that give exactly what the whole buffer gives.
#pragma once

#include <cstddef>
#include <cstdint>

// Both operations are re-entrant, print nothing, and report failure only by returning null
// (the out-parameter is then left untouched). Every buffer they return is allocated with
// malloc and freed by the caller with free.

constexpr int BASE64_GROUP_BYTES = 3; // bytes coded by one group of characters
constexpr int BASE64_GROUP_CHARS = 4; // characters of one group

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

// ---- pieces of a stream --------------------------------------------------------------------
// The text of a buffer is the concatenation of the texts of its pieces when every piece but
// the last is a multiple of 3 bytes; decoding 4-character groups is likewise piecewise.

// Text length of length bytes: ((length + 2) / 3) x 4.
constexpr size_t base64_text_length(size_t length)
{
    return (length + BASE64_GROUP_BYTES - 1) / BASE64_GROUP_BYTES * BASE64_GROUP_CHARS;
}

// Encodes length bytes into text, a caller buffer of capacity bytes, which must hold
// base64_text_length(length) + 1: one line, "=" padding, a NUL after the last character.
// Returns the characters written; 0 for null bytes, a length of 0 or beyond
// BASE64_ENCODE_MAX, or a buffer that is too small (text is then untouched).
size_t base64_encode_into(const unsigned char* bytes, size_t length, char* text, size_t capacity);

// Whether the text of length bytes contains "AAAA" anywhere, decided without making the
// text: four "A" are 24 zero bits, which always cover two zero bytes in a row, so only the
// groups around such pairs are encoded and searched.
bool base64_text_has_aaaa(const unsigned char* bytes, size_t length);

// Decodes a text that arrives in pieces of any size into the caller's buffer, with the same
// result as base64_decode_buffer over the whole text: whole 4-character groups are decoded
// as they arrive; from the first group that does not decode cleanly on (white space, a
// character outside the alphabet) the rest of the text is kept and judged at the end.
struct Base64Decoder {
    unsigned char* out;             // decoded bytes (caller's buffer), capacity bytes
    size_t capacity;                // room for the text of at most capacity / 3 x 4 characters
    size_t decoded;                 // bytes of the groups decoded so far
    size_t text_length;             // characters fed in all
    char group[BASE64_GROUP_CHARS]; // characters of a group not yet complete
    size_t grouped;                 // how many of them (0 to 3)
    char* rest;                     // the text from the first unclean group on (malloc), or null
    size_t rest_length;             // characters in rest
    size_t rest_capacity;
    bool keeping; // a group failed: every later character goes to rest
    bool broken;  // rest could not grow, or more text than capacity allows
    char last[2]; // the last two characters fed, last[1] the very last
};

// Starts a decoder writing into out (capacity bytes; a text of n characters needs
// (n + 3) / 4 x 3).
void base64_decoder_start(Base64Decoder* decoder, unsigned char* out, size_t capacity);

// Feeds the next length characters. Returns false when the decoder is broken (the text
// kept from an unclean group cannot grow, or the text outgrows the capacity).
bool base64_decoder_feed(Base64Decoder* decoder, const char* text, size_t length);

// Ends the text. Returns true and stores the decoded length (as base64_decode_buffer would)
// when the whole text decodes; false when base64_decode_buffer would give null, or the
// decoder is broken. Releases the kept text either way; out stays the caller's.
bool base64_decoder_finish(Base64Decoder* decoder, uint32_t* decoded_length);

// Releases the kept text of a decoder that is not finished. Harmless after finish.
void base64_decoder_release(Base64Decoder* decoder);
