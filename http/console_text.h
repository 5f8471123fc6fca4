// Request bytes made safe for the operator's console: escaped and cut to a bounded length.
#pragma once

#include <cstddef>

// Request bytes shown per message; longer texts are cut and end in "...".
constexpr size_t CONSOLE_TEXT_SHOWN_MAX = 256;
// Room for the shown bytes at their widest escape (\xHH, four characters each), "..." and NUL.
constexpr size_t CONSOLE_TEXT_SIZE = 4 * CONSOLE_TEXT_SHOWN_MAX + sizeof("...");

// Writes the first length bytes of text into out (capacity bytes, CONSOLE_TEXT_SIZE is enough
// for any text): printable ASCII as it stands, a backslash as "\\", every other byte (control
// bytes, ESC, NUL, bytes above 0x7E) as "\xHH". Stops after CONSOLE_TEXT_SHOWN_MAX bytes, or
// when out is full, and then ends the text with "...". Always NUL-terminates; returns out.
const char* consoleText(const char* text, size_t length, char* out, size_t capacity);

// consoleText of a NUL-terminated text.
const char* consoleTextOf(const char* text, char* out, size_t capacity);
