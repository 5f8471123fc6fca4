// JSON query reader: one forward pass per query step over the caller's text, no allocation.
#include "json/json_query.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define JSON_SCAN_AVX2 1
#endif

namespace {

// Walk-wide state of one query: set once a container lies deeper than JSON_MAX_DEPTH.
struct JsonWalk {
    const char* too_deep; // the bracket past the bound, or null
};

constexpr const char* TYPE_NAMES[JSON_TYPE_COUNT] = {
    "Error",      "Object", "Array", "String", "Number", "Bool", "null",
    "Object key", "colon",  "eol",   "comma",  "}",      "]",    "* parameter"};

constexpr const char* ERROR_MESSAGES[JSON_ERROR_COUNT] = {
    "Ok",
    "JSON does not match Query",
    "Error reading JSON value",
    "Expected \"key\"",
    "Expected ':'",
    "Object key not found",
    "Expected ',' in object",
    "Terminal value found before end of query",
    "Unexpected character",
    "Expected ',' in array",
    "Array element not found (bad index)",
    "Object key not found (bad index)",
    "Bad object key",
    "End of array found",
    "End of object found"};

// Bytes a string scan steps over one at a time before it switches to bounded vector scans;
// most keys are shorter, and they then cost no look-ahead at all.
constexpr size_t STRING_SCAN_BYTEWISE = 16;
// Look-ahead of one bounding step (strnlen) of a long string: starts small so that a short
// string does not read far ahead, doubles up to a block that stays in the first-level cache.
constexpr size_t STRING_BOUND_FIRST = 64;
constexpr size_t STRING_BOUND_MAX = 4096;

} // namespace

static bool is_space(char c)
{
    return c != '\0' && static_cast<signed char>(c) <= 32;
}

static int32_t token_class(char c)
{
    switch (c) {
    case '{':
        return JSON_TYPE_OBJECT;
    case '[':
        return JSON_TYPE_ARRAY;
    case '"':
    case '\'':
        return JSON_TYPE_STRING;
    case '-':
    case '0':
    case '1':
    case '2':
    case '3':
    case '4':
    case '5':
    case '6':
    case '7':
    case '8':
    case '9':
        return JSON_TYPE_NUMBER;
    case 't':
    case 'f':
        return JSON_TYPE_BOOL;
    case 'n':
        return JSON_TYPE_NULL;
    case ':':
        return JSON_TYPE_COLON;
    case '\0':
        return JSON_TYPE_EOL;
    case ',':
        return JSON_TYPE_COMMA;
    case '}':
        return JSON_TYPE_OBJECT_END;
    case ']':
        return JSON_TYPE_ARRAY_END;
    case '*':
        return JSON_TYPE_PARAMETER;
    default:
        return JSON_TYPE_ERROR;
    }
}

static bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

static int32_t distance(const char* from, const char* to)
{
    return static_cast<int32_t>(to - from);
}

// Skips white space, stores the class of the byte found and returns its position.
static const char* json_next_token(const char* text, int32_t* cls)
{
    while (is_space(*text)) {
        ++text;
    }
    *cls = token_class(*text);
    return text;
}

// First byte in [p, p + n) that is quote or a backslash, or null. Reads only those n bytes.
static const char* find_quote_or_backslash(const char* p, size_t n, char quote)
{
#if defined(__SSE2__)
    const __m128i quotes = _mm_set1_epi8(quote);
    const __m128i backslashes = _mm_set1_epi8('\\');
    while (n >= 64) {
        const __m128i* v = reinterpret_cast<const __m128i*>(p);
        __m128i a = _mm_loadu_si128(v);
        __m128i b = _mm_loadu_si128(v + 1);
        __m128i c = _mm_loadu_si128(v + 2);
        __m128i d = _mm_loadu_si128(v + 3);
        __m128i ha = _mm_or_si128(_mm_cmpeq_epi8(a, quotes), _mm_cmpeq_epi8(a, backslashes));
        __m128i hb = _mm_or_si128(_mm_cmpeq_epi8(b, quotes), _mm_cmpeq_epi8(b, backslashes));
        __m128i hc = _mm_or_si128(_mm_cmpeq_epi8(c, quotes), _mm_cmpeq_epi8(c, backslashes));
        __m128i hd = _mm_or_si128(_mm_cmpeq_epi8(d, quotes), _mm_cmpeq_epi8(d, backslashes));
        __m128i any = _mm_or_si128(_mm_or_si128(ha, hb), _mm_or_si128(hc, hd));
        if (_mm_movemask_epi8(any) != 0) {
            break; // the 16-byte loop below finds the exact byte
        }
        p += 64;
        n -= 64;
    }
    while (n >= 16) {
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        __m128i hit = _mm_or_si128(_mm_cmpeq_epi8(a, quotes), _mm_cmpeq_epi8(a, backslashes));
        unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hit));
        if (mask != 0) {
            return p + __builtin_ctz(mask);
        }
        p += 16;
        n -= 16;
    }
#else
    // Eight bytes at a time: a byte of x is zero exactly where the word matched.
    constexpr uint64_t ones = 0x0101010101010101ull;
    constexpr uint64_t highs = 0x8080808080808080ull;
    const uint64_t quotes = ones * static_cast<unsigned char>(quote);
    const uint64_t backslashes = ones * static_cast<unsigned char>('\\');
    while (n >= 8) {
        uint64_t w;
        std::memcpy(&w, p, sizeof w);
        uint64_t x = w ^ quotes;
        uint64_t y = w ^ backslashes;
        if ((((x - ones) & ~x) | ((y - ones) & ~y)) & highs) {
            break; // the byte loop below finds the exact byte
        }
        p += 8;
        n -= 8;
    }
#endif
    for (; n > 0; ++p, --n) {
        if (*p == quote || *p == '\\') {
            return p;
        }
    }
    return nullptr;
}

#if defined(JSON_SCAN_AVX2)
// As find_quote_or_backslash, 32 bytes per compare, on processors that have AVX2 (chosen at
// run time; the build itself targets the x86-64 baseline).
__attribute__((target("avx2"))) static const char*
find_quote_or_backslash_avx2(const char* p, size_t n, char quote)
{
    const __m256i quotes = _mm256_set1_epi8(quote);
    const __m256i backslashes = _mm256_set1_epi8('\\');
    while (n >= 64) {
        const __m256i* v = reinterpret_cast<const __m256i*>(p);
        __m256i a = _mm256_loadu_si256(v);
        __m256i b = _mm256_loadu_si256(v + 1);
        __m256i ha =
            _mm256_or_si256(_mm256_cmpeq_epi8(a, quotes), _mm256_cmpeq_epi8(a, backslashes));
        __m256i hb =
            _mm256_or_si256(_mm256_cmpeq_epi8(b, quotes), _mm256_cmpeq_epi8(b, backslashes));
        if (!_mm256_testz_si256(_mm256_or_si256(ha, hb), _mm256_or_si256(ha, hb))) {
            break; // the 32-byte loop below finds the exact byte
        }
        p += 64;
        n -= 64;
    }
    while (n >= 32) {
        __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        __m256i hit =
            _mm256_or_si256(_mm256_cmpeq_epi8(a, quotes), _mm256_cmpeq_epi8(a, backslashes));
        unsigned mask = static_cast<unsigned>(_mm256_movemask_epi8(hit));
        if (mask != 0) {
            return p + __builtin_ctz(mask);
        }
        p += 32;
        n -= 32;
    }
    return find_quote_or_backslash(p, n, quote);
}
#endif

// The fastest scan this processor runs.
static const char* find_quote_or_backslash_fast(const char* p, size_t n, char quote)
{
#if defined(JSON_SCAN_AVX2)
    if (n >= 64 && __builtin_cpu_supports("avx2")) {
        return find_quote_or_backslash_avx2(p, n, quote);
    }
#endif
    return find_quote_or_backslash(p, n, quote);
}

// Scans a string body from p (the byte after the opening quote) and returns the position of
// its closing quote, or of the NUL that ends the text first. A backslash makes the byte
// after it ordinary. Vector loads only cover bytes already known to lie before the NUL.
static const char* scan_string_body(const char* p, char quote)
{
    for (size_t i = 0; i < STRING_SCAN_BYTEWISE; ++i, ++p) {
        char c = *p;
        if (c == quote || c == '\0') {
            return p;
        }
        if (c == '\\') {
            if (p[1] == '\0') {
                return p + 1;
            }
            ++p;
            ++i;
        }
    }
    const char* limit = p; // every byte in [p, limit) is known not to be NUL
    bool at_end = false;   // true once *limit is known to be the NUL
    size_t bound = STRING_BOUND_FIRST;
    for (;;) {
        if (p >= limit) {
            if (at_end) {
                return limit;
            }
            size_t n = strnlen(p, bound);
            limit = p + n;
            at_end = n < bound;
            if (bound < STRING_BOUND_MAX) {
                bound *= 2;
            }
        }
        const char* hit = find_quote_or_backslash_fast(p, static_cast<size_t>(limit - p), quote);
        if (hit == nullptr) {
            p = limit;
            continue;
        }
        if (*hit == quote) {
            return hit;
        }
        // A backslash: the byte after it is ordinary unless it is the NUL.
        if (hit + 1 == limit && (at_end || hit[1] == '\0')) {
            return hit + 1;
        }
        p = hit + 2;
    }
}

// Reads a string delimited by quote after white space: type 3 when closed (returns the
// position after the closing quote), type 0 otherwise (returns where reading stopped).
static const char* json_read_string(const char* text, JsonElement* element, char quote)
{
    element->type = JSON_TYPE_ERROR;
    element->count = 1;
    element->length = 0;
    while (is_space(*text)) {
        ++text;
    }
    if (*text != quote) {
        return text;
    }
    const char* body = text + 1;
    element->start = body;
    const char* end = scan_string_body(body, quote);
    element->length = distance(body, end);
    if (*end == '\0') {
        return end;
    }
    element->type = JSON_TYPE_STRING;
    return end + 1;
}

// Longest run of decimal digits at p (none: 0); saturates, since no text has that many
// members or elements and a wrapped index would alias a small one.
static int32_t parse_index(const char* p, const char** after)
{
    int64_t index = 0;
    for (; is_digit(*p); ++p) {
        index = index * 10 + (*p - '0');
        if (index > INT32_MAX) {
            index = INT32_MAX;
        }
    }
    *after = p;
    return static_cast<int32_t>(index);
}

static const char* evaluate(JsonWalk* walk, int32_t depth, const char* json, const char* query,
                            JsonElement* result, const int32_t* params);

// Skips one value (the empty query) at depth into a scratch element; its outcome is not
// examined, the separator test that follows decides.
static const char* skip_value(JsonWalk* walk, int32_t depth, const char* text)
{
    JsonElement scratch;
    return evaluate(walk, depth, text, "", &scratch, nullptr);
}

// Last step of an evaluation: success when no error is set and the query is at its end,
// otherwise error 7 (query left over) or the error set; errors empty the result.
static const char* finish(JsonElement* result, const char* position, const char* query)
{
    if (result->error == JSON_OK) {
        int32_t cls;
        json_next_token(query, &cls);
        if (cls == JSON_TYPE_EOL) {
            return position;
        }
        result->error = JSON_ERROR_TERMINAL_VALUE;
    }
    result->type = JSON_TYPE_ERROR;
    result->count = 0;
    result->length = 0;
    result->start = position;
    return position;
}

// text points at '{' of a container at depth. whole: walks the object and returns it as
// type 1; otherwise returns the key of member key_index (type 7) or error 11.
static const char* json_read_object(JsonWalk* walk, int32_t depth, const char* text,
                                    JsonElement* result, bool whole, int32_t key_index)
{
    result->type = JSON_TYPE_OBJECT;
    result->count = 0;
    result->length = 0;
    result->error = JSON_OK;
    result->start = text;
    int32_t cls;
    const char* position = json_next_token(text + 1, &cls);
    if (cls == JSON_TYPE_OBJECT_END) {
        ++position;
    } else {
        position = text + 1;
        for (;;) {
            JsonElement key;
            const char* after_key = json_read_string(position, &key, '"');
            if (key.type != JSON_TYPE_STRING) {
                result->error = JSON_ERROR_EXPECTED_KEY;
                position = after_key;
                break;
            }
            if (!whole && result->count == key_index) {
                result->type = JSON_TYPE_OBJECT_KEY;
                result->count = 1;
                result->length = key.length;
                result->start = key.start;
                result->error = JSON_OK;
                return after_key;
            }
            position = json_next_token(after_key, &cls);
            if (cls != JSON_TYPE_COLON) {
                result->error = JSON_ERROR_EXPECTED_COLON;
                break;
            }
            position = skip_value(walk, depth + 1, position + 1);
            if (walk->too_deep != nullptr) {
                return position;
            }
            position = json_next_token(position, &cls);
            ++result->count;
            if (cls == JSON_TYPE_OBJECT_END) {
                ++position;
                break;
            }
            if (cls != JSON_TYPE_COMMA) {
                result->error = JSON_ERROR_EXPECTED_OBJECT_COMMA;
                break;
            }
            ++position;
        }
    }
    if (whole) {
        result->length = distance(text, position);
        return position;
    }
    result->type = JSON_TYPE_ERROR;
    result->error = JSON_ERROR_BAD_OBJECT_INDEX;
    result->length = 0;
    result->start = text;
    return position;
}

// Key search: query_key points at the query key token (after '{'); object at the '{'.
static const char* search_key(JsonWalk* walk, int32_t depth, const char* object,
                              const char* query_key, JsonElement* result, const int32_t* params)
{
    JsonElement wanted;
    const char* rest = json_read_string(query_key, &wanted, '\'');
    const char* position = object + 1;
    for (;;) {
        JsonElement key;
        const char* after_key = json_read_string(position, &key, '"');
        if (key.type != JSON_TYPE_STRING) {
            result->error = JSON_ERROR_EXPECTED_KEY;
            return finish(result, after_key, rest);
        }
        int32_t cls;
        position = json_next_token(after_key, &cls);
        if (cls != JSON_TYPE_COLON) {
            result->error = JSON_ERROR_EXPECTED_COLON;
            return finish(result, position, rest);
        }
        ++position;
        if (wanted.type == JSON_TYPE_STRING && wanted.length == key.length &&
            std::memcmp(wanted.start, key.start, static_cast<size_t>(key.length)) == 0) {
            return evaluate(walk, depth + 1, position, rest, result, params);
        }
        position = evaluate(walk, depth + 1, position, "", result, nullptr);
        if (walk->too_deep != nullptr) {
            return position;
        }
        position = json_next_token(position, &cls);
        if (cls == JSON_TYPE_COMMA) {
            ++position;
            continue;
        }
        result->error = cls == JSON_TYPE_OBJECT_END ? JSON_ERROR_KEY_NOT_FOUND
                                                    : JSON_ERROR_EXPECTED_OBJECT_COMMA;
        return finish(result, position, rest);
    }
}

// Whole-array walk: array points at '['; result already has type 2 and start there.
static const char* walk_array(JsonWalk* walk, int32_t depth, const char* array, JsonElement* result)
{
    int32_t cls;
    const char* position = json_next_token(array + 1, &cls);
    if (cls != JSON_TYPE_ARRAY_END) {
        position = array + 1;
        for (;;) {
            position = skip_value(walk, depth + 1, position);
            if (walk->too_deep != nullptr) {
                return position;
            }
            position = json_next_token(position, &cls);
            ++result->count;
            if (cls == JSON_TYPE_ARRAY_END) {
                break;
            }
            if (cls != JSON_TYPE_COMMA) {
                result->error = JSON_ERROR_EXPECTED_ARRAY_COMMA;
                result->length = distance(array, position);
                return position;
            }
            ++position;
        }
    }
    ++position; // past the ']'
    result->length = distance(array, position);
    return position;
}

// Element walk: the rest of the query applies to element index of the array at '['.
static const char* walk_to_element(JsonWalk* walk, int32_t depth, const char* array, int32_t index,
                                   const char* rest, JsonElement* result, const int32_t* params)
{
    const char* position = array + 1;
    if (index == 0) {
        return evaluate(walk, depth + 1, position, rest, result, params);
    }
    for (int32_t skipped = 1;; ++skipped) {
        position = skip_value(walk, depth + 1, position);
        if (walk->too_deep != nullptr) {
            return position;
        }
        int32_t cls;
        position = json_next_token(position, &cls);
        if (cls == JSON_TYPE_COMMA) {
            ++position;
            if (skipped == index) {
                return evaluate(walk, depth + 1, position, rest, result, params);
            }
            continue;
        }
        result->error = cls == JSON_TYPE_ARRAY_END ? JSON_ERROR_BAD_ARRAY_INDEX
                                                   : JSON_ERROR_EXPECTED_ARRAY_COMMA;
        return finish(result, position, rest);
    }
}

// Evaluates query against the value at json; depth is the number of containers around it.
static const char* evaluate(JsonWalk* walk, int32_t depth, const char* json, const char* query,
                            JsonElement* result, const int32_t* params)
{
    int32_t json_class;
    int32_t query_class;
    const char* position = json_next_token(json, &json_class);
    query = json_next_token(query, &query_class);
    result->type = json_class;
    result->count = 0;
    result->length = 0;
    result->start = position;
    result->error = JSON_OK;
    if (query_class != JSON_TYPE_EOL && query_class != json_class) {
        result->error = JSON_ERROR_NO_MATCH;
        return position;
    }
    if ((json_class == JSON_TYPE_OBJECT || json_class == JSON_TYPE_ARRAY) &&
        depth >= JSON_MAX_DEPTH) {
        walk->too_deep = position;
        return position;
    }
    switch (json_class) {
    case JSON_TYPE_ERROR:
        result->error = JSON_ERROR_READING_VALUE;
        return finish(result, position, query);
    case JSON_TYPE_OBJECT: {
        if (query_class == JSON_TYPE_EOL) {
            return json_read_object(walk, depth, position, result, true, 0);
        }
        int32_t step_class;
        const char* step = json_next_token(query + 1, &step_class);
        if (step_class == JSON_TYPE_STRING) {
            return search_key(walk, depth, position, step, result, params);
        }
        if (step_class == JSON_TYPE_NUMBER || step_class == JSON_TYPE_PARAMETER) {
            const char* after;
            int32_t index = step_class == JSON_TYPE_NUMBER ? parse_index(step, &after)
                            : params != nullptr            ? params[0]
                                                           : 0;
            // A negative parameter names no member (and must not select the whole-object walk).
            return json_read_object(walk, depth, position, result, false,
                                    index < 0 ? INT32_MAX : index);
        }
        result->error = JSON_ERROR_BAD_OBJECT_KEY;
        return position;
    }
    case JSON_TYPE_ARRAY: {
        if (query_class == JSON_TYPE_EOL) {
            return walk_array(walk, depth, position, result);
        }
        int32_t step_class;
        const char* rest = json_next_token(query + 1, &step_class);
        int32_t index = 0;
        if (step_class == JSON_TYPE_NUMBER) {
            index = parse_index(rest, &rest);
        } else if (step_class == JSON_TYPE_PARAMETER) {
            ++rest;
            if (params != nullptr) {
                index = *params++;
            }
        }
        return walk_to_element(walk, depth, position, index, rest, result, params);
    }
    case JSON_TYPE_STRING:
        position = json_read_string(position, result, '"');
        return finish(result, position, query);
    case JSON_TYPE_NUMBER:
    case JSON_TYPE_BOOL:
    case JSON_TYPE_NULL: {
        const char* end = position;
        while (*end != '\0' && !is_space(*end) && *end != ',' && *end != ']' && *end != '}') {
            ++end;
        }
        result->count = 1;
        result->length = distance(position, end);
        return finish(result, end, query);
    }
    default: // a separator or the end of the text where a value should be
        result->error = JSON_ERROR_UNEXPECTED_CHARACTER;
        return finish(result, position, query);
    }
}

const char* json_query_params(const char* json, const char* query, JsonElement* result,
                              const int32_t* params)
{
    if (json == nullptr) {
        json = "";
    }
    if (query == nullptr) {
        query = "";
    }
    JsonWalk walk = {nullptr};
    const char* position = evaluate(&walk, 0, json, query, result, params);
    if (walk.too_deep != nullptr) {
        result->type = JSON_TYPE_ERROR;
        result->count = 0;
        result->length = 0;
        result->start = walk.too_deep;
        result->error = JSON_ERROR_READING_VALUE;
        return walk.too_deep;
    }
    return position;
}

const char* json_query(const char* json, const char* query, JsonElement* result)
{
    return json_query_params(json, query, result, nullptr);
}

int32_t json_query_int(const char* json, const char* query, const int32_t* params)
{
    JsonElement element;
    json_query_params(json, query, &element, params);
    if (element.type == JSON_TYPE_ERROR || element.type == JSON_TYPE_NULL) {
        return 0;
    }
    const char* p = element.start;
    if (element.type == JSON_TYPE_BOOL) {
        return *p == 't' ? 1 : 0;
    }
    bool negative = *p == '-';
    if (negative) {
        ++p;
    }
    uint32_t value = 0; // wraps modulo 2^32 like 32-bit two's complement
    for (; is_digit(*p); ++p) {
        value = value * 10u + static_cast<uint32_t>(*p - '0');
    }
    if (negative) {
        value = 0u - value;
    }
    return static_cast<int32_t>(value);
}

int32_t json_query_string(const char* json, const char* query, char* dest, size_t dest_size,
                          const int32_t* params)
{
    if (dest_size > 0) {
        dest[0] = '\0';
    }
    JsonElement element;
    json_query_params(json, query, &element, params);
    if (element.type == JSON_TYPE_ERROR) {
        return 0;
    }
    if (dest_size > 0) {
        size_t n = static_cast<size_t>(element.length);
        if (n > dest_size - 1) {
            n = dest_size - 1;
        }
        std::memcpy(dest, element.start, n);
        dest[n] = '\0';
    }
    return element.length;
}

const char* json_type_name(int32_t type)
{
    return type >= 0 && type < JSON_TYPE_COUNT ? TYPE_NAMES[type] : "Unknown";
}

const char* json_error_message(int32_t error)
{
    return error >= 0 && error < JSON_ERROR_COUNT ? ERROR_MESSAGES[error] : "Unknown";
}
