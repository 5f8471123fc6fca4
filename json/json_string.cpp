// JSON string escapes decoded into ASCII bytes.
#include "json/json_string.h"

#include <cstring>

static int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The byte a one-character escape names, or -1.
static int simple_escape(char c)
{
    switch (c) {
    case '"':
        return '"';
    case '\\':
        return '\\';
    case '/':
        return '/';
    case 'b':
        return '\b';
    case 'f':
        return '\f';
    case 'n':
        return '\n';
    case 'r':
        return '\r';
    case 't':
        return '\t';
    default:
        return -1;
    }
}

long json_decode_ascii_string(const char* text, size_t length, char* out, size_t capacity)
{
    // Escape-free runs are copied whole; an escape is at least two bytes and decodes to one.
    size_t n = 0;
    size_t i = 0;
    while (i < length) {
        const void* backslash = memchr(text + i, '\\', length - i);
        size_t run = backslash ? static_cast<size_t>(static_cast<const char*>(backslash) - text) : length;
        size_t count = run - i;
        if (count > capacity - n)
            return -1;
        memmove(out + n, text + i, count); // out may be text, behind i
        n += count;
        i = run;
        if (i == length)
            break;
        if (i + 1 >= length || n >= capacity)
            return -1;
        int value = simple_escape(text[i + 1]);
        size_t used = 2;
        if (text[i + 1] == 'u') {
            if (i + 6 > length)
                return -1;
            value = 0;
            for (size_t k = 2; k < 6; ++k) {
                int digit = hex_value(text[i + k]);
                if (digit < 0)
                    return -1;
                value = value * 16 + digit;
            }
            if (value > 0x7F)
                return -1;
            used = 6;
        }
        if (value < 0)
            return -1;
        out[n++] = static_cast<char>(value);
        i += used;
    }
    return static_cast<long>(n);
}
