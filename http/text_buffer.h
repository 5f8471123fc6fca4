// Growable text buffer on the standard heap, used for request and response bodies.
#pragma once

#include <cstdint>

// Invariant once anything has been reserved: contents is a heap block of capacity bytes,
// length < capacity, and every byte from contents[length] up to contents[capacity - 1] is
// zero, so the text is always zero-terminated. The owner releases contents with free.
struct TextBuffer {
    char* contents;    // heap block, or null before the first reservation
    uint64_t length;   // bytes in use, the terminating zero not counted
    uint64_t capacity; // size of the block
};

constexpr uint64_t TEXT_BUFFER_FIRST_CAPACITY = 256;

// Makes capacity at least needed: the new capacity is 256 doubled until it is enough, and the
// bytes from length up to it are zeroed. Returns false (buffer unchanged) when the heap is
// exhausted or needed cannot be reached by doubling.
bool textBufferReserve(TextBuffer* buffer, uint64_t needed);

// Appends printf-style text and returns contents; returns null and leaves the buffer as it
// was when the room cannot be reserved or the format fails.
char* textBufferAppendFormat(TextBuffer* buffer, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
