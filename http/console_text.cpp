// Request bytes made safe for the operator's console.
#include "http/console_text.h"

#include <cstring>

const char* consoleText(const char* text, size_t length, char* out, size_t capacity)
{
    static constexpr char HEX[] = "0123456789abcdef";
    static constexpr char CUT[] = "...";
    if (capacity == 0)
        return out;
    size_t n = 0;
    size_t room = capacity > sizeof CUT ? capacity - sizeof CUT : 0; // keeps room for the cut mark
    size_t i = 0;
    for (; i < length && i < CONSOLE_TEXT_SHOWN_MAX; ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        char escaped[4];
        size_t size = 1;
        if (c == '\\') {
            escaped[0] = '\\';
            escaped[1] = '\\';
            size = 2;
        } else if (c >= 0x20 && c < 0x7F) {
            escaped[0] = static_cast<char>(c);
        } else {
            escaped[0] = '\\';
            escaped[1] = 'x';
            escaped[2] = HEX[c >> 4];
            escaped[3] = HEX[c & 15];
            size = 4;
        }
        if (n + size > room)
            break;
        memcpy(out + n, escaped, size);
        n += size;
    }
    if (i < length && capacity >= sizeof CUT) {
        memcpy(out + n, CUT, sizeof CUT);
    } else {
        out[n < capacity ? n : capacity - 1] = '\0';
    }
    return out;
}

const char* consoleTextOf(const char* text, char* out, size_t capacity)
{
    return consoleText(text, strlen(text), out, capacity);
}
