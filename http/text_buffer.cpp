// Growable text buffer.
#include "http/text_buffer.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

bool textBufferReserve(TextBuffer* buffer, uint64_t needed)
{
    if (needed <= buffer->capacity)
        return true;
    uint64_t capacity = TEXT_BUFFER_FIRST_CAPACITY;
    while (capacity < needed) {
        if (capacity > UINT64_MAX / 2)
            return false;
        capacity *= 2;
    }
    if (capacity > SIZE_MAX)
        return false;
    char* grown = static_cast<char*>(realloc(buffer->contents, static_cast<size_t>(capacity)));
    if (grown == nullptr)
        return false;
    memset(grown + buffer->length, 0, static_cast<size_t>(capacity - buffer->length));
    buffer->contents = grown;
    buffer->capacity = capacity;
    return true;
}

char* textBufferAppendFormat(TextBuffer* buffer, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int measured = vsnprintf(nullptr, 0, format, args);
    va_end(args);
    char* result = nullptr;
    if (measured >= 0 && textBufferReserve(buffer, buffer->length + static_cast<uint64_t>(measured) + 1)) {
        vsnprintf(buffer->contents + buffer->length,
                  static_cast<size_t>(buffer->capacity - buffer->length), format, again);
        buffer->length += static_cast<uint64_t>(measured);
        buffer->contents[buffer->length] = '\0';
        result = buffer->contents;
    }
    va_end(again);
    return result;
}
