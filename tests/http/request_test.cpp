// HTTP request parser: fields, limits, warnings' flags, and the same record for every split.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <unistd.h>
#include <vector>

#include "http/request.h"

namespace {

struct RequestDeleter {
    void operator()(HttpRequest* r) const
    {
        free(r->body.contents);
        free(r);
    }
};
using Request = std::unique_ptr<HttpRequest, RequestDeleter>;

Request fresh()
{
    return Request(static_cast<HttpRequest*>(calloc(1, sizeof(HttpRequest))));
}

Request parse(const std::string& bytes)
{
    Request r = fresh();
    parseRequestBytes(r.get(), bytes.data(), bytes.size());
    return r;
}

// Every invariant the header promises.
void expect_invariants(const HttpRequest* r, const std::string& label)
{
    EXPECT_LT(r->methodLength, REQUEST_METHOD_SIZE) << label;
    EXPECT_EQ(strlen(r->method), r->methodLength) << label;
    EXPECT_EQ(strlen(r->version), r->versionLength) << label;
    EXPECT_EQ(strnlen(r->path, REQUEST_PATH_SIZE), r->pathLength) << label;
    EXPECT_LT(r->decodedPathLength, REQUEST_PATH_SIZE) << label;
    EXPECT_EQ(r->decodedPath[r->decodedPathLength], '\0') << label;
    EXPECT_LE(r->headerPoolUsed, REQUEST_HEADER_POOL_LIMIT) << label;
    EXPECT_LE(r->headerCount, REQUEST_MAX_HEADERS) << label;
    for (size_t i = 0; i < REQUEST_MAX_HEADERS; ++i) {
        const HttpHeader& h = r->headers[i];
        for (auto [text, length] : {std::pair{h.name, h.nameLength}, std::pair{h.value, h.valueLength}}) {
            if (!text)
                continue;
            ASSERT_GE(text, r->headerPool) << label;
            ASSERT_LT(text + length, r->headerPool + REQUEST_HEADERS_MAX_MEMORY) << label;
            EXPECT_EQ(text[length], '\0') << label << " header " << i;
            EXPECT_EQ(strlen(text), length) << label << " header " << i;
        }
    }
    EXPECT_LE(r->body.length, r->body.capacity) << label;
    if (r->body.contents) {
        EXPECT_EQ(r->body.contents[r->body.capacity], '\0') << label;
    }
}

// The fields a reader sees, as one comparable text.
std::string summary(const HttpRequest* r)
{
    std::string s = std::string(r->method) + "|" + r->path + "|" + r->version + "|" +
                    std::string(r->decodedPath, r->decodedPathLength) + "|";
    for (uint64_t i = 0; i < r->headerCount; ++i)
        s += std::string(r->headers[i].name) + "=" + r->headers[i].value + ";";
    s += "|" + std::to_string(r->parseState) + "|" + std::to_string(r->body.capacity) + "|" +
         std::to_string(r->body.length) + "|" +
         (r->body.contents ? std::string(r->body.contents, r->body.length) : "<none>");
    s += std::string("|") + char('0' + r->headerPoolExhausted) + char('0' + r->tooManyHeaders) +
         char('0' + r->methodTruncated) + char('0' + r->versionTruncated) +
         char('0' + r->pathTruncated) + char('0' + r->bodyTruncated);
    return s;
}

const std::vector<std::string> SAMPLES = {
    "GET /index.html HTTP/1.1\r\nHost: example\r\n\r\n",
    "POST /x HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello",
    "POST /encrypt HTTP/1.1\r\nHost: localhost:7777\r\ncontent-length: 3\r\nX:  a b \r\n\r\nabcEXTRA",
    "GET /a%20b+c%41 HTTP/1.0\r\nFoo\r\nHost: x\r\n\r\n",
    "PUT /p HTTP/1.1\r\n:v\r\nName: w\r\n\r\n",
};

TEST(RequestParser, SameRecordForEverySplit)
{
    for (const std::string& sample : SAMPLES) {
        Request whole = parse(sample);
        std::string expected = summary(whole.get());
        expect_invariants(whole.get(), sample);
        // Byte by byte.
        Request bytewise = fresh();
        for (char c : sample)
            parseRequestBytes(bytewise.get(), &c, 1);
        EXPECT_EQ(summary(bytewise.get()), expected) << "byte by byte: " << sample;
        // Every split into two and three pieces.
        for (size_t a = 0; a <= sample.size(); ++a) {
            Request two = fresh();
            parseRequestBytes(two.get(), sample.data(), a);
            parseRequestBytes(two.get(), sample.data() + a, sample.size() - a);
            ASSERT_EQ(summary(two.get()), expected) << "split at " << a << ": " << sample;
            for (size_t b = a; b <= sample.size(); b += 3) {
                Request three = fresh();
                parseRequestBytes(three.get(), sample.data(), a);
                parseRequestBytes(three.get(), sample.data() + a, b - a);
                parseRequestBytes(three.get(), sample.data() + b, sample.size() - b);
                ASSERT_EQ(summary(three.get()), expected) << "split at " << a << "," << b;
            }
        }
    }
}

TEST(RequestParser, RequestLineHeadersAndBody)
{
    Request r = parse(SAMPLES[0]);
    EXPECT_STREQ(r->method, "GET");
    EXPECT_STREQ(r->path, "/index.html");
    EXPECT_STREQ(r->version, "HTTP/1.1");
    ASSERT_EQ(r->headerCount, 1u);
    EXPECT_STREQ(r->headers[0].name, "Host");
    EXPECT_STREQ(r->headers[0].value, "example");
    EXPECT_EQ(r->parseState, Complete);
    EXPECT_EQ(r->body.contents, nullptr);

    r = parse(SAMPLES[1]);
    EXPECT_EQ(r->parseState, Complete);
    ASSERT_NE(r->body.contents, nullptr);
    EXPECT_EQ(std::string(r->body.contents), "hello");
    EXPECT_EQ(r->body.length, 5u);
    EXPECT_EQ(r->body.contents[5], '\0');
}

TEST(RequestParser, ContentLengthRules)
{
    const struct {
        const char* headers;
        int state;
        uint64_t capacity;
        bool body;
        bool too_large;
    } cases[] = {
        {"content-length: 4\r\n", ReadBody, 4, true, false},
        {"CONTENT-LENGTH:4\r\n", ReadBody, 4, true, false},
        {"Content-Length : 4\r\n", Complete, 0, false, false},  // the space belongs to the name
        {"Content-Length: x4\r\n", Complete, 0, false, false},
        {"Content-Length: 0\r\n", Complete, 0, false, false},
        {"Content-Length: -7\r\n", Complete, 0, false, false},
        {"Content-Length: 3\r\nContent-Length: 9\r\n", ReadBody, 3, true, false}, // first one counts
        {"Content-Length:  +12abc\r\n", ReadBody, 12, true, false},
        {"Content-Length: 134217728\r\n", ReadBody, 134217728, true, false},
        // Beyond the limit: complete at the blank line, nothing allocated, flagged.
        {"Content-Length: 134217729\r\n", Complete, 0, false, true},
        {"Content-Length: 4294967296\r\n", Complete, 0, false, true},
        {"Content-Length: 99999999999999999999999999\r\n", Complete, 0, false, true},
        {"Content-Length: -99999999999999999999999999\r\n", Complete, 0, false, false},
        {"Content-Length: 2147483648\r\n", Complete, 0, false, true},
    };
    for (const auto& c : cases) {
        Request r = parse(std::string("POST / HTTP/1.1\r\n") + c.headers + "\r\n");
        EXPECT_EQ(r->parseState, c.state) << c.headers;
        EXPECT_EQ(r->body.capacity, c.capacity) << c.headers;
        EXPECT_EQ(r->body.contents != nullptr, c.body) << c.headers;
        EXPECT_EQ(r->bodyTooLarge, c.too_large) << c.headers;
        EXPECT_FALSE(r->bodyAllocationFailed) << c.headers;
    }
}

TEST(RequestParser, BodyAdmissionAndContinueExpectation)
{
    // The admission check sees the declared length before anything is allocated.
    static uint64_t asked = 0;
    auto refuse = [](void*, uint64_t length) { asked = length; return false; };
    Request refused = fresh();
    refused->admitBody = refuse;
    std::string bytes = "POST / HTTP/1.1\r\nContent-Length: 70\r\n\r\nbody bytes";
    parseRequestBytes(refused.get(), bytes.data(), bytes.size());
    EXPECT_EQ(asked, 70u);
    EXPECT_EQ(refused->parseState, Complete);
    EXPECT_TRUE(refused->bodyRefused);
    EXPECT_EQ(refused->body.contents, nullptr);

    const struct {
        const char* bytes;
        bool awaits;
    } cases[] = {
        {"POST / HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 5\r\n\r\n", true},
        {"POST / HTTP/1.1\r\nexpect: 100-Continue\r\nContent-Length: 5\r\n\r\n", true},
        {"POST / HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 5\r\n\r\nab", false},
        {"POST / HTTP/1.1\r\nExpect: 100-continue\r\n\r\n", false}, // no body to wait for
        {"POST / HTTP/1.1\r\nContent-Length: 5\r\n\r\n", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(requestAwaitsContinue(parse(c.bytes).get()), c.awaits) << c.bytes;
}

TEST(RequestParser, LargestBodyCompletesAndFlagsTheRest)
{
    Request r = parse("POST / HTTP/1.1\r\nContent-Length: 134217728\r\n\r\n");
    ASSERT_EQ(r->body.capacity, static_cast<uint64_t>(REQUEST_BODY_MAX_BYTES));
    std::string chunk(16384, 'b');
    for (uint64_t sent = 0; sent < r->body.capacity; sent += chunk.size())
        parseRequestBytes(r.get(), chunk.data(), chunk.size());
    EXPECT_EQ(r->parseState, Complete);
    EXPECT_EQ(r->body.length, r->body.capacity);
    EXPECT_FALSE(r->bodyTruncated);
    parseRequestBytes(r.get(), "x", 1);
    EXPECT_TRUE(r->bodyTruncated);
}

TEST(RequestParser, BytesAfterACompleteRequest)
{
    Request without = parse("GET / HTTP/1.1\r\n\r\nGET /second HTTP/1.1\r\n\r\n");
    EXPECT_STREQ(without->path, "/");
    EXPECT_FALSE(without->bodyTruncated);
    Request with = parse("POST / HTTP/1.1\r\nContent-Length: 2\r\n\r\nokGET / HTTP/1.1\r\n\r\n");
    EXPECT_EQ(std::string(with->body.contents), "ok");
    EXPECT_TRUE(with->bodyTruncated);
}

TEST(RequestParser, HeaderSlotsAndPool)
{
    Request r = parse("GET / HTTP/1.1\r\nX:  a b \r\n\r\n");
    ASSERT_EQ(r->headerCount, 1u);
    EXPECT_STREQ(r->headers[0].value, "a b ");

    r = parse("GET / HTTP/1.1\r\nFoo\r\nHost: x\r\n\r\n");
    ASSERT_EQ(r->headerCount, 1u);
    EXPECT_STREQ(r->headers[0].name, "FooHost");
    EXPECT_STREQ(r->headers[0].value, "x");

    // An uncounted slot whose value was stored goes on filling; nothing is overwritten.
    r = parse("GET / HTTP/1.1\r\n:v\r\nName: w\r\nNext: n\r\n\r\n");
    expect_invariants(r.get(), "uncounted value");
    ASSERT_EQ(r->headerCount, 2u);
    EXPECT_STREQ(r->headers[0].name, "Name");
    EXPECT_STREQ(r->headers[0].value, "v w"); // the space is no longer leading
    EXPECT_STREQ(r->headers[1].name, "Next");

    // Tabs are not skipped.
    r = parse("GET / HTTP/1.1\r\nT:\tv\r\n\r\n");
    EXPECT_STREQ(r->headers[0].value, "\tv");
}

TEST(RequestParser, SixtyFiveHeadersKeepSixtyFour)
{
    std::string request = "GET / HTTP/1.1\r\n";
    for (int i = 0; i < 66; ++i)
        request += "H" + std::to_string(i) + ": v\r\n";
    Request r = parse(request + "\r\n");
    EXPECT_EQ(r->headerCount, 64u);
    EXPECT_STREQ(r->headers[63].name, "H63");
    EXPECT_TRUE(r->tooManyHeaders);
    EXPECT_EQ(r->parseState, Complete);
    expect_invariants(r.get(), "66 headers");
}

TEST(RequestParser, ExhaustedPoolSkipsLaterLines)
{
    std::string request = "GET / HTTP/1.1\r\n";
    request += "Big: " + std::string(9000, 'v') + "\r\nContent-Length: 2\r\n\r\nok";
    Request r = parse(request);
    EXPECT_TRUE(r->headerPoolExhausted);
    EXPECT_EQ(r->headerPoolUsed, REQUEST_HEADER_POOL_LIMIT);
    EXPECT_EQ(r->headerCount, 1u);
    EXPECT_EQ(r->parseState, Complete); // Content-Length was skipped: no body
    EXPECT_EQ(r->body.contents, nullptr);
    expect_invariants(r.get(), "exhausted pool");
}

TEST(RequestParser, LongFieldsAreCutAndFlagged)
{
    Request r = parse(std::string(70, 'M') + " /" + std::string(2000, 'p') + " " +
                      std::string(20, 'V') + "\r\n\r\n");
    EXPECT_EQ(r->methodLength, 63u);
    EXPECT_TRUE(r->methodTruncated);
    EXPECT_EQ(r->pathLength, 1023u);
    EXPECT_TRUE(r->pathTruncated);
    EXPECT_EQ(r->decodedPathLength, 1023u);
    EXPECT_EQ(r->versionLength, 15u);
    EXPECT_TRUE(r->versionTruncated);
    expect_invariants(r.get(), "long fields");
}

TEST(RequestParser, RequestLineWithoutVersionNeverCompletes)
{
    Request r = parse("GET /nospace\r\n\r\n");
    EXPECT_EQ(r->parseState, ReadPath);
    EXPECT_EQ(std::string(r->path), "/nospace\r\n\r\n");
}

// decodeUrlText prints its warning on standard output: capture it.
std::string decode(const char* source, std::string* decoded, bool* whole)
{
    fflush(stdout);
    char name[] = "/tmp/decode-XXXXXX";
    int fd = mkstemp(name);
    int saved = dup(1);
    dup2(fd, 1);
    char out[REQUEST_PATH_SIZE];
    uint64_t length = 0;
    *whole = decodeUrlText(source, out, &length);
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    *decoded = std::string(out, length);
    std::string printed(4096, '\0');
    printed.resize(static_cast<size_t>(pread(fd, printed.data(), printed.size(), 0)));
    close(fd);
    unlink(name);
    return printed;
}

TEST(UrlDecoding, EscapesPlusAndWarnings)
{
    const struct {
        const char* source;
        std::string decoded;
        const char* warning;
    } cases[] = {
        {"/a%20b+c%zz", "/a b c", "Warning: Unable to decode hex string 0xzz from z"},
        {"%4g", "\x04", ""},
        {"a%00b", std::string("a\0b", 3), ""},
        {"%2", "", ""},
        {"q?x=1+2", "q?x=1 2", ""},
        {"%%41", "1", "Warning: Unable to decode hex string 0x%4 from 41"},
    };
    for (const auto& c : cases) {
        std::string decoded;
        bool whole = false;
        std::string printed = decode(c.source, &decoded, &whole);
        EXPECT_EQ(decoded, c.decoded) << c.source;
        EXPECT_EQ(printed, c.warning) << c.source;
        EXPECT_TRUE(whole) << c.source;
    }
}

TEST(UrlDecoding, OutputIsCutAt1023Bytes)
{
    std::string source(1500, 'x');
    std::string decoded;
    bool whole = true;
    decode(source.c_str(), &decoded, &whole);
    EXPECT_EQ(decoded.size(), 1023u);
    EXPECT_FALSE(whole);
    decode(std::string(1023, 'y').c_str(), &decoded, &whole);
    EXPECT_TRUE(whole);
}

} // namespace
