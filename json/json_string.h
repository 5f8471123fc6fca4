// JSON string escapes: the text of a string element decoded into the bytes it stands for.
#pragma once

#include <cstddef>

// Decodes the escapes of a string element's text (the bytes between its quotes, as
// json_query returns them): \" \\ \/ \b \f \n \r \t and \uXXXX for XXXX below 0x80 become the
// byte they name; every other byte is copied as it stands. Writes at most capacity bytes to
// out (length bytes always suffice: no escape decodes longer than itself) and returns the
// bytes written, or -1 when an escape is malformed, names a character above 0x7F, or the
// output does not fit. out may be text itself: decoding never overtakes its input.
long json_decode_ascii_string(const char* text, size_t length, char* out, size_t capacity);
