// Fuzz target of the JSON query reader.
// Input: [flags][size][query bytes] 0x00 [JSON text bytes]. Flag bit 0: pass a parameter list (its
// values are taken from the text's bytes); size is the copy buffer's size in bytes. The
// JSON text may hold further NULs, which end it. Text, query, parameters and the copy buffer
// sit in heap blocks of exactly their size, so the sanitizer reports any read or write
// beyond them.
#include "json/json_query.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

static void check_element(const char* json, size_t json_length, const JsonElement& e,
                          const char* position)
{
    const char* end = json + json_length;
    if (position < json || position > end) {
        abort();
    }
    if (e.length < 0 || e.count < 0 || e.error < 0 || e.error >= JSON_ERROR_COUNT || e.type < 0 ||
        e.type >= JSON_TYPE_COUNT) {
        abort();
    }
    if (e.type != JSON_TYPE_ERROR &&
        (e.start < json || e.start > end || e.length > end - e.start)) {
        abort();
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2) {
        return 0;
    }
    const bool with_params = (data[0] & 1) != 0;
    const size_t dest_size = data[1];
    data += 2;
    size -= 2;
    const uint8_t* separator = static_cast<const uint8_t*>(memchr(data, 0, size));
    const size_t query_size = separator != nullptr ? static_cast<size_t>(separator - data) : size;
    const uint8_t* json_bytes = separator != nullptr ? separator + 1 : data + size;
    const size_t json_size = static_cast<size_t>(data + size - json_bytes);

    char* query = static_cast<char*>(malloc(query_size + 1));
    char* json = static_cast<char*>(malloc(json_size + 1));
    memcpy(query, data, query_size);
    query[query_size] = '\0';
    if (json_size > 0) {
        memcpy(json, json_bytes, json_size);
    }
    json[json_size] = '\0';
    const size_t json_length = strlen(json);

    // Each '*' step reads at most one parameter, so one per query byte is always enough.
    std::vector<int32_t> params(query_size + 1);
    for (size_t i = 0; i < params.size(); ++i) {
        int32_t v = json_size > 0 ? static_cast<int8_t>(json_bytes[i % json_size]) : 0;
        params[i] = (i & 1) != 0 ? v : v & 7;
    }
    const int32_t* list = with_params ? params.data() : nullptr;

    JsonElement e;
    const char* position = json_query_params(json, query, &e, list);
    check_element(json, json_length, e, position);

    JsonElement again;
    const char* position_again = json_query_params(json, query, &again, list);
    if (position_again != position || again.type != e.type || again.count != e.count ||
        again.length != e.length || again.start != e.start || again.error != e.error) {
        abort(); // the reader keeps no state: the same query gives the same result
    }

    json_query_int(json, query, list);

    char* dest = static_cast<char*>(malloc(dest_size > 0 ? dest_size : 1));
    int32_t copied = json_query_string(json, query, dest, dest_size, list);
    if (e.type == JSON_TYPE_ERROR ? copied != 0 : copied != e.length) {
        abort();
    }
    if (dest_size > 0) {
        // Exactly the element's first bytes, as many as fit, then the NUL.
        size_t want = e.type == JSON_TYPE_ERROR ? 0 : static_cast<size_t>(e.length);
        if (want > dest_size - 1) {
            want = dest_size - 1;
        }
        if (strnlen(dest, dest_size) != want || (want > 0 && memcmp(dest, e.start, want) != 0)) {
            abort();
        }
    }

    // The empty query on the same text must hold the invariant too.
    position = json_query(json, "", &e);
    check_element(json, json_length, e, position);

    free(dest);
    free(json);
    free(query);
    return 0;
}
