// Behaviour of the JSON query reader: steps, walks, conversions, copies and failure shapes.
#include "json/json_query.h"
#include "json/json_string.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int ANY = -1; // offset not checked

// One query and the whole result it must give: type, count, the bytes start..start+length,
// the start offset, the error, and the offset of the returned position. Parameters, when
// given, are the query's parameter list.
struct QueryCase {
    std::string json;
    const char* query;
    int32_t type, count;
    std::string text;
    int start;
    int32_t error;
    int end = ANY;
    std::vector<int32_t> params = {};
};

QueryCase q(std::string json, const char* query, int32_t type, int32_t count, std::string text, int start,
            int32_t error, int end = ANY, std::vector<int32_t> params = {})
{
    return {std::move(json), query, type, count, std::move(text), start, error, end, std::move(params)};
}

// The text in a heap block of exactly its size plus the NUL, so that the address sanitizer
// reports any read past the NUL.
std::unique_ptr<char[]> exact(const std::string& text)
{
    std::unique_ptr<char[]> bytes(new char[text.size() + 1]);
    std::memcpy(bytes.get(), text.c_str(), text.size() + 1);
    return bytes;
}

// Holds for every result: a usable element lies inside the text, the position too.
void expect_inside(const char* json, const JsonElement& e, const char* position,
                   const std::string& what)
{
    const char* end = json + std::strlen(json);
    EXPECT_TRUE(position >= json && position <= end) << what;
    EXPECT_GE(e.length, 0) << what;
    EXPECT_GE(e.count, 0) << what;
    if (e.type != JSON_TYPE_ERROR) {
        EXPECT_TRUE(e.start >= json && e.start <= end) << what;
        EXPECT_LE(e.start + e.length, end) << what;
    }
}

void run_cases(const std::vector<QueryCase>& cases)
{
    for (const QueryCase& c : cases) {
        std::string what = "json '" + c.json.substr(0, 80) + "' query '" + c.query + "'";
        for (int32_t p : c.params)
            what += " param " + std::to_string(p);
        std::unique_ptr<char[]> text = exact(c.json);
        const char* json = text.get();
        JsonElement e;
        std::memset(&e, 0x5a, sizeof e);
        const char* position = json_query_params(json, c.query, &e, c.params.empty() ? nullptr : c.params.data());
        expect_inside(json, e, position, what);
        EXPECT_EQ(e.type, c.type) << what;
        EXPECT_EQ(e.count, c.count) << what;
        EXPECT_EQ(e.error, c.error) << what << " (" << json_error_message(e.error) << ")";
        if (e.length >= 0 && e.start >= json && e.start + e.length <= json + c.json.size()) {
            EXPECT_EQ(std::string(e.start, static_cast<size_t>(e.length)), c.text) << what;
        }
        if (c.start != ANY) {
            EXPECT_EQ(e.start - json, c.start) << what;
        }
        if (c.end != ANY) {
            EXPECT_EQ(position - json, c.end) << what;
        }
    }
}

constexpr int32_t T_ERR = JSON_TYPE_ERROR;
constexpr int32_t T_OBJ = JSON_TYPE_OBJECT;
constexpr int32_t T_ARR = JSON_TYPE_ARRAY;
constexpr int32_t T_STR = JSON_TYPE_STRING;
constexpr int32_t T_NUM = JSON_TYPE_NUMBER;
constexpr int32_t T_KEY = JSON_TYPE_OBJECT_KEY;

TEST(JsonQuery, KeySearchFindsTheFirstMemberWithTheRawKey)
{
    run_cases({
        q(R"({"body":"hello world"})", "{'body'", T_STR, 1, "hello world", 9, 0, 21),
        q(R"({"a":{"x":[1,2]},"body":5})", "{'body'", T_NUM, 1, "5", 24, 0),
        q(R"({"k":1,"k":2})", "{'k'", T_NUM, 1, "1", 5, 0),
        q(R"({"":1})", "{''", T_NUM, 1, "1", 4, 0),
        q(R"({"A":1})", "{'a'", T_ERR, 0, "", 6, JSON_ERROR_KEY_NOT_FOUND),
        q(R"({"a\"b":1})", R"({'a\"b')", T_NUM, 1, "1", 8, 0),
        q(R"({"a'b":1})", R"({'a\'b')", T_ERR, 0, "", 8, JSON_ERROR_KEY_NOT_FOUND),
        q(R"({"body":1})", R"({"body")", T_ERR, 0, "", 9, JSON_ERROR_KEY_NOT_FOUND),
        q(R"({"a":1})", "  {  'a'  ", T_NUM, 1, "1", 5, 0),
        q(R"({"a":{"b":[0,{"c":"deep"}]}})", "{'a'{'b'[1{'c'", T_STR, 1, "deep", 19, 0),
        q(R"({"a": ,"b":1})", "{'b'", T_NUM, 1, "1", 11, 0),
        q(R"({"a":"x,}]","b":true})", "{'b'", JSON_TYPE_BOOL, 1, "true", 16, 0),
        q(R"({"a":"q\"}","b":null})", "{'b'", JSON_TYPE_NULL, 1, "null", 16, 0),
    });
}

TEST(JsonQuery, KeySearchFailuresNameWhereTheObjectBroke)
{
    run_cases({
        q("{}", "{'body'", T_ERR, 0, "", 1, JSON_ERROR_EXPECTED_KEY),
        q(R"({"a":1 "body":2})", "{'body'", T_ERR, 0, "", 7, JSON_ERROR_EXPECTED_OBJECT_COMMA),
        q("[1]", "{'body'", T_ARR, 0, "", 0, JSON_ERROR_NO_MATCH),
        q(R"({'a':1})", "{'a'", T_ERR, 0, "", 1, JSON_ERROR_EXPECTED_KEY),
        q(R"({"a" 1})", "{'a'", T_ERR, 0, "", 5, JSON_ERROR_EXPECTED_COLON),
        q(R"({"a":1,})", "{'b'", T_ERR, 0, "", 7, JSON_ERROR_EXPECTED_KEY),
        q(R"({"a":[1 2],"b":3})", "{'b'", T_ERR, 0, "", 8, JSON_ERROR_EXPECTED_OBJECT_COMMA),
        q(R"({"a":7})", "{'a'[0", T_NUM, 0, "", 5, JSON_ERROR_NO_MATCH),
        q(R"({"a":7})", "{'a' 5", T_ERR, 0, "", 6, JSON_ERROR_TERMINAL_VALUE),
        q(R"({"a":)", "{'a'", T_ERR, 0, "", 5, JSON_ERROR_UNEXPECTED_CHARACTER),
        q(R"({"a":})", "{'a'", T_ERR, 0, "", 5, JSON_ERROR_UNEXPECTED_CHARACTER),
        q(R"({"a":@})", "{'a'", T_ERR, 0, "", 5, JSON_ERROR_READING_VALUE),
        q(" \t\r\n ", "{'a'", JSON_TYPE_EOL, 0, "", 5, JSON_ERROR_NO_MATCH),
        q(R"({"a":1})", "{]", T_OBJ, 0, "", 0, JSON_ERROR_BAD_OBJECT_KEY),
        q(R"({"a":1})", "{", T_OBJ, 0, "", 0, JSON_ERROR_BAD_OBJECT_KEY),
    });
}

TEST(JsonQuery, IndexAndParameterStepsSelectByPosition)
{
    const char* objects = R"([{"k":1},{"k":2},{"k":3}])";
    run_cases({
        q("[10,20,30]", "[0", T_NUM, 1, "10", 1, 0),
        q("[10,20,30]", "[1", T_NUM, 1, "20", 4, 0),
        q("[10,20,30]", "[ 2 ", T_NUM, 1, "30", 7, 0),
        q("[10,20,30]", "[3", T_ERR, 0, "", 9, JSON_ERROR_BAD_ARRAY_INDEX),
        q("[10 20]", "[1", T_ERR, 0, "", 4, JSON_ERROR_EXPECTED_ARRAY_COMMA),
        q("[]", "[0", T_ERR, 0, "", 1, JSON_ERROR_UNEXPECTED_CHARACTER),
        q("[10,20]", "[4294967297", T_ERR, 0, "", 6, JSON_ERROR_BAD_ARRAY_INDEX),
        q("[10,20]", "[-1", T_ERR, 0, "", 3, JSON_ERROR_TERMINAL_VALUE),
        q(R"([{"k":5}])", "[{'k'", T_NUM, 1, "5", 6, 0),
        q("[10,20,30]", "[*", T_NUM, 1, "30", 7, 0, ANY, {2}),
        q("[10,20,30]", "[*", T_NUM, 1, "10", 1, 0),
        q("[[1,2],[3,4]]", "[*[*", T_NUM, 1, "3", 8, 0, ANY, {1, 0}),
        q(objects, "[*{'k'", T_NUM, 1, "3", 22, 0, ANY, {2}),
        q(R"({"a":1,"b":2})", "{0", T_KEY, 1, "a", 2, 0),
        q(R"({"a":1,"b":2})", "{1", T_KEY, 1, "b", 8, 0),
        q(R"({"a":1,"b":2})", "{1{'x'", T_KEY, 1, "b", 8, 0),
        q(R"({"a":1,"b":2})", "{5", T_ERR, 2, "", 0, JSON_ERROR_BAD_OBJECT_INDEX),
        q(R"({"a":1,"b":2})", "{99999999999", T_ERR, 2, "", 0, JSON_ERROR_BAD_OBJECT_INDEX),
        q("{}", "{0", T_ERR, 0, "", 0, JSON_ERROR_BAD_OBJECT_INDEX),
        q(R"({"a":1,"b":2})", "{*", T_KEY, 1, "b", 8, 0, ANY, {1}),
        q(R"({"a":1,"b":2})", "{*", T_KEY, 1, "a", 2, 0),
        q(R"({"a":1,"b":2})", "{*", T_ERR, 2, "", 0, JSON_ERROR_BAD_OBJECT_INDEX, ANY, {-1}),
        q(R"([5,{"a":1,"b":2}])", "[*{*", T_KEY, 1, "b", 11, 0, ANY, {1, 1}),
    });
}

TEST(JsonQuery, WalksCoverTheWholeContainer)
{
    run_cases({
        q(R"(  [1, [2,3], {"k":4}] )", "", T_ARR, 3, R"([1, [2,3], {"k":4}])", 2, 0, 21),
        q("[1,]", "", T_ARR, 2, "[1,]", 0, 0),
        q("[ ]", "", T_ARR, 0, "[ ]", 0, 0),
        q(R"({"a":1,"b":[2,"]"]})", "", T_OBJ, 2, R"({"a":1,"b":[2,"]"]})", 0, 0),
        q("{ }", "", T_OBJ, 0, "{ }", 0, 0),
        q(R"({"a":{"x":[1,2]}})", "{'a'", T_OBJ, 1, R"({"x":[1,2]})", 5, 0),
        // Stopped walks keep their type and cover the text up to the stop.
        q(R"({"a":1 "b":2})", "", T_OBJ, 1, R"({"a":1 )", 0, JSON_ERROR_EXPECTED_OBJECT_COMMA),
        q(R"({"a" 1})", "", T_OBJ, 0, R"({"a" )", 0, JSON_ERROR_EXPECTED_COLON),
        q(R"({"a":1,})", "", T_OBJ, 1, R"({"a":1,)", 0, JSON_ERROR_EXPECTED_KEY),
        q(R"({"a":1)", "", T_OBJ, 1, R"({"a":1)", 0, JSON_ERROR_EXPECTED_OBJECT_COMMA),
        q("[1 2]", "", T_ARR, 1, "[1 ", 0, JSON_ERROR_EXPECTED_ARRAY_COMMA, 3),
        q("[1,2", "", T_ARR, 2, "[1,2", 0, JSON_ERROR_EXPECTED_ARRAY_COMMA, 4),
        q("", "", T_ERR, 0, "", 0, JSON_ERROR_UNEXPECTED_CHARACTER),
        q(" , ", "", T_ERR, 0, "", 1, JSON_ERROR_UNEXPECTED_CHARACTER),
    });
}

TEST(JsonQuery, TextsThatEndEarlyOrAtANulStopInsideTheText)
{
    run_cases({
        // Unterminated string values keep the bytes read, with type 0.
        q(R"({"a":"abc)", "{'a'", T_ERR, 1, "abc", 6, 0, 9),
        q(R"({"a":"abc\)", "{'a'", T_ERR, 1, R"(abc\)", 6, 0, 10),
        q(R"("abc)", "", T_ERR, 1, "abc", 1, 0, 4),
        q(R"("\)", "", T_ERR, 1, R"(\)", 1, 0, 2),
        q(R"("\")", "", T_ERR, 1, R"(\")", 1, 0, 3),
        q(R"('abc')", "", T_ERR, 1, "", 0, 0, 0),
        // Keys that end early.
        q(R"({"ab)", "{'ab'", T_ERR, 0, "", 4, JSON_ERROR_EXPECTED_KEY),
        q(R"({"a\)", "{'a'", T_ERR, 0, "", 4, JSON_ERROR_EXPECTED_KEY),
        q(R"({"ab")", "{'ab'", T_ERR, 0, "", 5, JSON_ERROR_EXPECTED_COLON),
        q(R"({"ab":1})", "{'ab", T_ERR, 0, "", 7, JSON_ERROR_KEY_NOT_FOUND),
        q(R"({"ab":1})", R"({'ab\)", T_ERR, 0, "", 7, JSON_ERROR_KEY_NOT_FOUND),
        // Numbers that end with the text are whole values.
        q(R"({"a":12)", "{'a'", T_NUM, 1, "12", 5, 0, 7),
        q(R"({"a":-)", "{'a'", T_NUM, 1, "-", 5, 0),
        q(R"({"a":1)", "{'b'", T_ERR, 0, "", 6, JSON_ERROR_EXPECTED_OBJECT_COMMA),
        q("[1,2", "[5", T_ERR, 0, "", 4, JSON_ERROR_EXPECTED_ARRAY_COMMA),
        // A NUL ends the text wherever it stands.
        q(std::string("{\"a\":1}\0{\"b\":2}", 15), "{'b'", T_ERR, 0, "", 6,
          JSON_ERROR_KEY_NOT_FOUND),
        q(std::string("{\"a\":\"ab\0cd\"}", 13), "{'a'", T_ERR, 1, "ab", 6, 0, 8),
        q(std::string("{\"a\":\"x\\\0\"}", 11), "{'a'", T_ERR, 1, "x\\", 6, 0, 8),
        q(std::string(R"({"a":")") + std::string(100, 'x') + std::string("\0\"}", 3), "{'a'", T_ERR,
          1, std::string(100, 'x'), 6, 0, 106),
        q(std::string("[1,\0 2]", 7), "", T_ARR, 2, "[1,", 0, JSON_ERROR_EXPECTED_ARRAY_COMMA),
    });
}

TEST(JsonQuery, HighBytesAreWhiteSpaceBetweenTokensAndEndUnquotedValues)
{
    run_cases({
        q("\x80{\xff\"a\"\xa0:\xfe"
          "1\x90}",
          "{'a'", T_NUM, 1, "1", 9, 0),
        q(R"({"a":1})", "\x80{\xff'a'\xc3", T_NUM, 1, "1", 5, 0),
        q("{\"a\":12\x80"
          "34,\"b\":1}",
          "{'b'", T_ERR, 0, "", 8, JSON_ERROR_EXPECTED_OBJECT_COMMA),
        q("{\"a\":tr\xffue}", "{'a'", JSON_TYPE_BOOL, 1, "tr", 5, 0),
        q("{\"a\":\"\xc3\xa9\xff\"}", "{'a'", T_STR, 1, "\xc3\xa9\xff", 6, 0),
        q("{\"\xc3\xa9\":1}", "{'\xc3\xa9'", T_NUM, 1, "1", 6, 0),
        q("[1\x80,\xff"
          "2]",
          "[1", T_NUM, 1, "2", 5, 0),
        q("\x7f", "", T_ERR, 0, "", 0, JSON_ERROR_READING_VALUE),
    });
}

std::string repeat(const char* step, int times)
{
    std::string text;
    for (int i = 0; i < times; ++i) {
        text += step;
    }
    return text;
}

std::string nested_arrays(int depth)
{
    return repeat("[", depth) + repeat("]", depth);
}

std::string nested_objects(int depth, const std::string& inner)
{
    return repeat("{\"a\":", depth) + inner + repeat("}", depth);
}

TEST(JsonQuery, NestingBeyondTheBoundEndsTheWholeQuery)
{
    const int bound = JSON_MAX_DEPTH;
    std::string deep_skip_ok = R"({"deep":)" + nested_arrays(bound - 1) + R"(,"b":1})";
    std::string deep_skip_bad = R"({"deep":)" + nested_arrays(bound) + R"(,"b":1})";
    std::string path_ok = repeat("{'a'", bound);
    std::string path_bad = repeat("{'a'", bound + 1);
    run_cases({
        q(nested_arrays(bound), "", T_ARR, 1, nested_arrays(bound), 0, 0),
        q(nested_arrays(bound + 1), "", T_ERR, 0, "", bound, JSON_ERROR_READING_VALUE, bound),
        q("[" + nested_arrays(bound) + "]", "[0", T_ERR, 0, "", bound, JSON_ERROR_READING_VALUE),
        q(deep_skip_ok, "{'b'", T_NUM, 1, "1", static_cast<int>(deep_skip_ok.size()) - 2, 0),
        q(deep_skip_bad, "{'b'", T_ERR, 0, "", 8 + bound - 1, JSON_ERROR_READING_VALUE),
        q(deep_skip_bad, "{0", T_KEY, 1, "deep", 2, 0),
        q(deep_skip_bad, "{1", T_ERR, 0, "", 8 + bound - 1, JSON_ERROR_READING_VALUE),
        q(nested_objects(bound, "7"), path_ok.c_str(), T_NUM, 1, "7", bound * 5, 0),
        q(nested_objects(bound + 1, "7"), path_bad.c_str(), T_ERR, 0, "", bound * 5,
          JSON_ERROR_READING_VALUE),
        q(nested_objects(bound + 1, "7"), "{'b'", T_ERR, 0, "", bound * 5,
          JSON_ERROR_READING_VALUE),
        q(std::string(100000, '['), "", T_ERR, 0, "", bound, JSON_ERROR_READING_VALUE),
        q(std::string(100000, '['), repeat("[", 100000).c_str(), T_ERR, 0, "", bound,
          JSON_ERROR_READING_VALUE),
    });
}

TEST(JsonQuery, StringScanStopsAtTheFirstUnescapedQuoteAtEveryOffset)
{
    // Long and short bodies with quotes, backslashes, NULs and high bytes at every kind of
    // offset, so that every vector lane and every tail length meets each of them.
    uint32_t seed = 12345;
    std::vector<std::string> bodies;
    for (size_t length = 0; length < 300 * 4; ++length) {
        std::string body(length / 4, 'A');
        for (char& c : body) {
            seed = seed * 1103515245u + 12345u;
            uint32_t r = (seed >> 16) % 97;
            c = r == 0 ? '"' : r == 1 ? '\\' : r == 2 ? '\xff' : r == 3 && length % 4 == 3 ? '\0' : 'A';
        }
        bodies.push_back(body);
    }
    // 80, 208, 464 and 8144 end exactly where a bounded length scan stops short of the NUL.
    for (size_t length : {17u, 64u, 65u, 80u, 127u, 128u, 208u, 464u, 8144u, 16384u, 40000u, 70000u}) {
        std::string plain(length, 'B');
        for (auto [cut, end] : {std::pair{0, ""}, {0, "\"tail"}, {1, "\\"}, {1, "\\\"\""}, {2, "\\\\\""}})
            bodies.push_back(plain.substr(static_cast<size_t>(cut)) + end);
    }
    for (const std::string& body : bodies) {
        std::unique_ptr<char[]> text = exact("\"" + body);
        const char* j = text.get();
        // The body read byte by byte: up to a NUL (open), or to a quote not after a backslash.
        size_t length = 0;
        while (j[1 + length] != '\0' && j[1 + length] != '"')
            length += j[1 + length] == '\\' && j[2 + length] != '\0' ? 2 : 1;
        bool closed = j[1 + length] == '"';
        JsonElement e;
        const char* position = json_query(j, "", &e);
        std::string what = "body of " + std::to_string(body.size()) + " bytes: '" + body.substr(0, 60) + "'";
        expect_inside(j, e, position, what);
        EXPECT_EQ(e.type, closed ? T_STR : T_ERR) << what;
        EXPECT_EQ(static_cast<size_t>(e.length), length) << what;
        EXPECT_EQ(e.start, j + 1) << what;
        EXPECT_EQ(position, j + 1 + length + (closed ? 1 : 0)) << what;
    }
}

TEST(JsonQuery, LongQueryKeysAreScannedToTheirSingleQuote)
{
    for (size_t length : {15u, 16u, 63u, 200u, 20000u}) {
        std::string key = std::string(length, 'k') + "\\\"" + std::string(length, 'm') + "\"x";
        std::string json =
            "{\"" + key.substr(0, key.size() - 2) + "\\\"x\":1,\"" + key.substr(0, 3) + "\":2}";
        std::string query = "{'" + key.substr(0, key.size() - 2) + "\\\"x'";
        std::unique_ptr<char[]> text = exact(json);
        JsonElement e;
        json_query(text.get(), exact(query).get(), &e);
        EXPECT_EQ(e.type, T_NUM) << "key of " << key.size() << " bytes";
        EXPECT_EQ(std::string(e.start, static_cast<size_t>(e.length)), "1")
            << "key of " << key.size() << " bytes";
    }
}

TEST(JsonQuery, IntegerConversionReadsLeadingDigitsWithWrapAround)
{
    const struct {
        const char* value; // of member "v"
        int32_t want;
    } cases[] = {
        {"-12x", -12}, {"true", 1}, {"tx", 1}, {"false", 0}, {"null", 0}, {R"("42")", 42}, {R"("abc")", 0},
        {"12.7", 12},  {"-", 0},    {R"({"a":1})", 0},        {R"("7)", 0}, // unterminated: no element
        {"2147483647", 2147483647}, {"2147483648", INT32_MIN}, {"-2147483648", INT32_MIN},
        {"99999999999999999999", static_cast<int32_t>(1661992959u)},
    };
    for (const auto& c : cases) {
        std::string json = std::string(R"({"v":)") + c.value + "}";
        EXPECT_EQ(json_query_int(exact(json).get(), "{'v'", nullptr), c.want) << json;
    }
    EXPECT_EQ(json_query_int(R"({"v":1})", "{'w'", nullptr), 0);
    EXPECT_EQ(json_query_int(R"({"12":1})", "{0", nullptr), 12);
    EXPECT_EQ(json_query_int("5", "{'a'", nullptr), 5) << "an error-1 result keeps its type and start";
    const int32_t params[] = {1};
    EXPECT_EQ(json_query_int("[5,6]", "[*", params), 6);
}

TEST(JsonQuery, StringCopyIsBoundedTerminatedAndReturnsTheFullLength)
{
    const struct {
        const char *json, *query;
        size_t dest_size;
        const char* want_text;
        int32_t want_return;
    } cases[] = {
        {R"({"body":"hello world"})", "{'body'", 64, "hello world", 11},
        {R"({"body":"0123456789"})", "{'body'", 11, "0123456789", 10},
        {R"({"body":"0123456789"})", "{'body'", 10, "012345678", 10},
        {R"({"body":"0123456789"})", "{'body'", 1, "", 10},
        {R"({"body":"x"})", "{'pwd'", 16, "", 0},
        {R"({"s":"a\"b"})", "{'s'", 16, R"(a\"b)", 4},
        {R"({"a":{"x":1}})", "{'a'", 16, R"({"x":1})", 7},
        {"[1]", "{'a'", 16, "", 0},          // error 1 keeps type 2 but has no text
        {"[1 2]", "", 16, "[1 ", 3},         // a stopped walk copies what it covered
        {R"({"a":"abc)", "{'a'", 16, "", 0}, // unterminated: no usable element
    };
    for (const auto& c : cases) {
        std::string what = std::string("json '") + c.json + "' query '" + c.query + "' size " +
                           std::to_string(c.dest_size);
        std::unique_ptr<char[]> text = exact(c.json);
        std::unique_ptr<char[]> dest(new char[c.dest_size]); // exact: overruns are reported
        std::memset(dest.get(), 'z', c.dest_size);
        int32_t got =
            json_query_string(text.get(), c.query, dest.get(), c.dest_size, nullptr);
        EXPECT_EQ(got, c.want_return) << what;
        EXPECT_STREQ(dest.get(), c.want_text) << what;
    }
    char untouched = 'z';
    EXPECT_EQ(json_query_string(R"({"a":"xyz"})", "{'a'", &untouched, 0, nullptr), 3);
    EXPECT_EQ(untouched, 'z') << "dest_size 0 must leave dest alone";
    const int32_t params[] = {2};
    char dest[8];
    EXPECT_EQ(json_query_string(R"(["a","bb","ccc"])", "[*", dest, sizeof dest, params), 3);
    EXPECT_STREQ(dest, "ccc");
}

TEST(JsonQuery, NullTextsReadAsEmpty)
{
    JsonElement e;
    json_query(nullptr, "{'a'", &e);
    EXPECT_EQ(e.type, JSON_TYPE_EOL);
    EXPECT_EQ(e.error, JSON_ERROR_NO_MATCH);
    EXPECT_EQ(json_query_int(R"({"a":1})", nullptr, nullptr), 0);
    json_query("[1]", nullptr, &e);
    EXPECT_EQ(e.type, T_ARR);
    EXPECT_EQ(e.count, 1);
}

// A string element's escapes decoded (in place too); anything it cannot turn into one ASCII
// byte, or output beyond the capacity, is -1.
TEST(JsonString, EscapesDecodeToTheBytesTheyNameOrFail)
{
    const struct {
        std::string text;
        long want; // bytes written, or -1
        std::string bytes;
        size_t capacity = 64;
    } cases[] = {
        {"plain", 5, "plain"},
        {R"(\"\\\/\b\f\n\r\t)", 8, "\"\\/\b\f\n\r\t"},
        {R"(a\u0041\u007f\u002F\u003d)", 5, "aA\x7f/="},
        {R"(\u0080)", -1, ""},  {R"(\u00g1)", -1, ""}, {R"(\u004)", -1, ""},
        {R"(\x)", -1, ""},      {"ab\\", -1, ""},    {"abc", -1, "", 2},
        {R"(ab\n)", -1, "", 2}, {R"(ab\n)", 3, "ab\n", 3},
    };
    for (const auto& c : cases) {
        std::string out(c.capacity, '\0');
        long n = json_decode_ascii_string(c.text.data(), c.text.size(), out.data(), c.capacity);
        EXPECT_EQ(n, c.want) << c.text;
        if (n >= 0) {
            EXPECT_EQ(out.substr(0, static_cast<size_t>(n)), c.bytes) << c.text;
        }
        std::string in_place = c.text; // out may be the text itself, with its length as capacity
        if (c.capacity >= c.text.size()) {
            long m = json_decode_ascii_string(in_place.data(), in_place.size(), in_place.data(), in_place.size());
            EXPECT_EQ(m, c.want) << "in place: " << c.text;
            EXPECT_EQ(in_place.substr(0, static_cast<size_t>(std::max(m, 0L))), c.bytes) << "in place: " << c.text;
        }
    }
}

// Both tables are read by code; codes outside them, on either side, are "Unknown".
TEST(JsonQuery, LookupTablesNameEveryCodeAndNothingElse)
{
    EXPECT_STREQ(json_type_name(JSON_TYPE_ERROR), "Error");
    EXPECT_STREQ(json_type_name(JSON_TYPE_PARAMETER), "* parameter");
    EXPECT_STREQ(json_error_message(JSON_OK), "Ok");
    EXPECT_STREQ(json_error_message(JSON_ERROR_END_OF_OBJECT), "End of object found");
    for (int32_t code : {-1, JSON_TYPE_COUNT, INT32_MAX})
        EXPECT_STREQ(json_type_name(code), "Unknown") << "type " << code;
    for (int32_t code : {-1, JSON_ERROR_COUNT, INT32_MIN})
        EXPECT_STREQ(json_error_message(code), "Unknown") << "error " << code;
}

} // namespace
