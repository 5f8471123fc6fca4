// JSON query reader: reads one value out of a JSON text by a path query, in place, no allocation.
#pragma once

#include <cstddef>
#include <cstdint>

// The JSON text and the query are NUL-terminated byte strings owned by the caller; a NUL ends
// either wherever it stands. The reader never writes to the text, never reads past its NUL,
// allocates nothing, keeps no state and logs nothing, so any number of threads may query at
// once. Texts must be shorter than 2^31 bytes (lengths are 32-bit counts).
//
// White space between tokens is every non-NUL byte that is at most 32 as a signed char:
// 0x01-0x20 and 0x80-0xFF. The same test ends an unquoted value (number, bool, null).
//
// A query is a sequence of steps with no closing brackets, read with the same white-space rule:
//   {'key'   the value of the first member with that key (keys compared raw, case-sensitive)
//   {N       the key (type JSON_TYPE_OBJECT_KEY) of member N; ends the query
//   {*       as {N with N the first query parameter (0 without a parameter list)
//   [N       element N; the rest of the query applies to it
//   [*       as [N with N the next query parameter, which is consumed (0 without a list)
//   end      the element at this point, whole
// Query keys are written in single quotes, JSON keys in double quotes.

// Token classes of the next byte, and element types of a result: one numbering.
constexpr int32_t JSON_TYPE_ERROR = 0;       // any other byte; as a type: no usable element
constexpr int32_t JSON_TYPE_OBJECT = 1;      // {
constexpr int32_t JSON_TYPE_ARRAY = 2;       // [
constexpr int32_t JSON_TYPE_STRING = 3;      // " or '
constexpr int32_t JSON_TYPE_NUMBER = 4;      // - or 0-9
constexpr int32_t JSON_TYPE_BOOL = 5;        // t or f
constexpr int32_t JSON_TYPE_NULL = 6;        // n
constexpr int32_t JSON_TYPE_OBJECT_KEY = 7;  // never a token; the key returned by {N
constexpr int32_t JSON_TYPE_COLON = 8;       // :
constexpr int32_t JSON_TYPE_EOL = 9;         // NUL, the end of the text
constexpr int32_t JSON_TYPE_COMMA = 10;      // ,
constexpr int32_t JSON_TYPE_OBJECT_END = 11; // }
constexpr int32_t JSON_TYPE_ARRAY_END = 12;  // ]
constexpr int32_t JSON_TYPE_PARAMETER = 13;  // *
constexpr int32_t JSON_TYPE_COUNT = 14;

// Error codes of a result.
constexpr int32_t JSON_OK = 0;                          // "Ok"
constexpr int32_t JSON_ERROR_NO_MATCH = 1;              // "JSON does not match Query"
constexpr int32_t JSON_ERROR_READING_VALUE = 2;         // "Error reading JSON value"
constexpr int32_t JSON_ERROR_EXPECTED_KEY = 3;          // "Expected \"key\""
constexpr int32_t JSON_ERROR_EXPECTED_COLON = 4;        // "Expected ':'"
constexpr int32_t JSON_ERROR_KEY_NOT_FOUND = 5;         // "Object key not found"
constexpr int32_t JSON_ERROR_EXPECTED_OBJECT_COMMA = 6; // "Expected ',' in object"
constexpr int32_t JSON_ERROR_TERMINAL_VALUE = 7;       // "Terminal value found before end of query"
constexpr int32_t JSON_ERROR_UNEXPECTED_CHARACTER = 8; // "Unexpected character"
constexpr int32_t JSON_ERROR_EXPECTED_ARRAY_COMMA = 9; // "Expected ',' in array"
constexpr int32_t JSON_ERROR_BAD_ARRAY_INDEX = 10;     // "Array element not found (bad index)"
constexpr int32_t JSON_ERROR_BAD_OBJECT_INDEX = 11;    // "Object key not found (bad index)"
constexpr int32_t JSON_ERROR_BAD_OBJECT_KEY = 12;      // "Bad object key"
constexpr int32_t JSON_ERROR_END_OF_ARRAY = 13;        // "End of array found" (never set)
constexpr int32_t JSON_ERROR_END_OF_OBJECT = 14;       // "End of object found" (never set)
constexpr int32_t JSON_ERROR_COUNT = 15;

// Deepest nesting of objects and arrays the reader walks or skips; each level is one level
// of recursion, and the bound keeps a hostile text of brackets from exhausting the stack.
// A container that would be level JSON_MAX_DEPTH + 1 ends the whole query, wherever it lies
// (on the query's path or inside a value being skipped): the result is type
// JSON_TYPE_ERROR, count 0, length 0, start at that bracket, error JSON_ERROR_READING_VALUE
// ("Error reading JSON value": the value there cannot be read; the code tables stay as they
// are, and callers test type, which is 0).
constexpr int32_t JSON_MAX_DEPTH = 512;

// The result of a query. Invariant: when type is not 0, start and start + length lie inside
// the caller's JSON text (start + length at most at its NUL). What start/length cover:
// Object/Array: the brackets and everything between; String/Object key: the bytes between
// the quotes, escapes counted raw; Number/Bool/null: the bytes up to white space, NUL, ',',
// ']' or '}'. count: members of an Object, elements of an Array, 1 for the others.
// Callers test type (0: no usable element) or length, never error alone.
struct JsonElement {
    int32_t type;      // JSON_TYPE_*
    int32_t count;     // members, elements, or 1
    int32_t length;    // bytes of the element's text
    const char* start; // first byte of the element's text, inside the JSON text
    int32_t error;     // JSON_OK or JSON_ERROR_*
};

// Evaluates query against json and fills *result. Returns the position in json just after
// the element read, or where evaluation stopped on an error (never past the NUL).
const char* json_query(const char* json, const char* query, JsonElement* result);

// As json_query; params points at the first query parameter read by the '*' steps, or is
// null (every '*' reads 0). The caller keeps the list long enough for its '*' steps.
const char* json_query_params(const char* json, const char* query, JsonElement* result,
                              const int32_t* params);

// The queried element as an integer: null and no usable element give 0, a Bool 1 for true,
// anything else an optional '-' and the leading decimal digits from start, accumulated in
// 32-bit two's complement without an overflow test (0 without digits). params may be null.
int32_t json_query_int(const char* json, const char* query, const int32_t* params);

// Copies the queried element's text (strings without quotes, escapes raw) into dest, at most
// dest_size - 1 bytes, and NUL-terminates it (nothing is written when dest_size is 0).
// Returns the element's full length (compare with dest_size to detect truncation), 0 when
// the query yields no usable element (dest is then ""). params may be null.
int32_t json_query_string(const char* json, const char* query, char* dest, size_t dest_size,
                          const int32_t* params);

// Display name of a type code ("Object", "eol", ...) and message of an error code ("Ok",
// "Expected ':'", ...); static texts; codes outside the tables give "Unknown".
const char* json_type_name(int32_t type);
const char* json_error_message(int32_t error);
