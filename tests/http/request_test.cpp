// HTTP request parser: fields, limits, warnings' flags, and the same record for every split.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "http/request.h"
#include "tests/support/alloc_fail.h"

namespace {

struct RequestDeleter {
    void operator()(HttpRequest* r) const
    {
        free(r->body.contents);
        free(r);
    }
};
using Request = std::unique_ptr<HttpRequest, RequestDeleter>;

// The record fed with bytes cut into pieces of at most piece bytes (0: all at once).
Request parse(const std::string& bytes, size_t piece = 0)
{
    Request r(static_cast<HttpRequest*>(calloc(1, sizeof(HttpRequest))));
    piece = piece ? piece : bytes.size();
    for (size_t at = 0; at < bytes.size(); at += piece)
        parseRequestBytes(r.get(), bytes.data() + at, std::min(piece, bytes.size() - at));
    return r;
}

// Every invariant the header promises.
void expect_invariants(const HttpRequest* r, const std::string& label)
{
    EXPECT_EQ(strlen(r->method), r->methodLength) << label;
    EXPECT_EQ(strlen(r->version), r->versionLength) << label;
    EXPECT_EQ(strnlen(r->path, REQUEST_PATH_SIZE), r->pathLength) << label;
    EXPECT_LT(r->decodedPathLength, REQUEST_PATH_SIZE) << label;
    EXPECT_EQ(r->decodedPath[r->decodedPathLength], '\0') << label;
    EXPECT_LE(r->headerPoolUsed, REQUEST_HEADER_POOL_LIMIT) << label;
    EXPECT_LE(r->headerCount, REQUEST_MAX_HEADERS) << label;
    for (const HttpHeader& h : r->headers) {
        for (auto [text, length] : {std::pair{h.name, h.nameLength}, std::pair{h.value, h.valueLength}}) {
            if (!text)
                continue;
            ASSERT_GE(text, r->headerPool) << label;
            ASSERT_LT(text + length, r->headerPool + REQUEST_HEADERS_MAX_MEMORY) << label;
            EXPECT_EQ(strlen(text), length) << label;
        }
    }
    EXPECT_LE(r->body.length, r->body.capacity) << label;
    if (r->body.contents) {
        EXPECT_EQ(r->body.contents[r->body.capacity], '\0') << label;
    }
}

const char* const STATES[] = {"ReadMethod", "ReadPath",    "ReadVersion", "ReadHeaderName",
                              "ReadHeaderValue", "LineEndCR", "LineEnd",   "BlankLineCR",
                              "ReadBody",   "SkipHeaderLine", "Complete"};

// The fields a reader sees, as one comparable text:
// method|path|version|decoded path|headers|state|body capacity/length/contents|flags, the
// flags in the order pool exhausted, too many headers, method, version, path and body cut,
// body too large, allocation failed, refused.
std::string summary(const HttpRequest* r)
{
    std::string s = std::string(r->method) + "|" + r->path + "|" + r->version + "|" +
                    std::string(r->decodedPath, r->decodedPathLength) + "|";
    for (uint64_t i = 0; i < r->headerCount; ++i)
        s += std::string(r->headers[i].name) + "=" + r->headers[i].value + ";";
    s += std::string("|") + STATES[r->parseState] + "|" + std::to_string(r->body.capacity) + "/" +
         std::to_string(r->body.length) + "/" +
         (r->body.contents ? std::string(r->body.contents, r->body.length) : "-") + "|";
    for (bool flag : {r->headerPoolExhausted, r->tooManyHeaders, r->methodTruncated, r->versionTruncated,
                      r->pathTruncated, r->bodyTruncated, r->bodyTooLarge, r->bodyAllocationFailed,
                      r->bodyRefused})
        s += flag ? '1' : '0';
    return s;
}

std::string post(const std::string& headers, const std::string& rest = "")
{
    return "POST / HTTP/1.1\r\n" + headers + "\r\n" + rest;
}

// Each request gives its record whole, byte by byte and cut anywhere into two pieces.
TEST(RequestParser, FieldsHeadersAndBodyForEverySplit)
{
    const std::string none = "|Complete|0/0/-|000000000";
    const struct {
        std::string bytes, want;
    } cases[] = {
        {"GET /index.html HTTP/1.1\r\nHost: example\r\n\r\n",
         "GET|/index.html|HTTP/1.1|/index.html|Host=example;" + none},
        {"POST /x HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello",
         "POST|/x|HTTP/1.1|/x|Content-Length=5;|Complete|5/5/hello|000000000"},
        // Leading spaces of a value are dropped, later ones kept; tabs are not skipped.
        {"GET / HTTP/1.1\r\nX:  a b \r\nT:\tv\r\n\r\n", "GET|/|HTTP/1.1|/|X=a b ;T=\tv;" + none},
        // A line that made no header leaves its slot to be filled on.
        {"GET /a%20b+c%41 HTTP/1.0\r\nFoo\r\nHost: x\r\n\r\n", "GET|/a%20b+c%41|HTTP/1.0|/a b cA|FooHost=x;" + none},
        {"PUT /p HTTP/1.1\r\n:v\r\nName: w\r\nNext: n\r\n\r\n", "PUT|/p|HTTP/1.1|/p|Name=v w;Next=n;" + none},
        // Bytes after a complete request are ignored; they flag the body only when there is one.
        {"GET / HTTP/1.1\r\n\r\nGET /second HTTP/1.1\r\n\r\n", "GET|/|HTTP/1.1|/|" + none},
        {post("Content-Length: 2\r\n", "okGET / HTTP/1.1\r\n\r\n"),
         "POST|/|HTTP/1.1|/|Content-Length=2;|Complete|2/2/ok|000001000"},
        // Without a space after the path the request line never ends.
        {"GET /nospace\r\n\r\n", "GET|/nospace\r\n\r\n|||" + std::string("|ReadPath|0/0/-|000000000")},
        // Content-Length: first header of that name in any case; a number scanned as %ld.
        {post("content-length: 4\r\n"), "POST|/|HTTP/1.1|/|content-length=4;|ReadBody|4/0/|000000000"},
        {post("CONTENT-LENGTH:4\r\n"), "POST|/|HTTP/1.1|/|CONTENT-LENGTH=4;|ReadBody|4/0/|000000000"},
        {post("Content-Length : 4\r\n"), "POST|/|HTTP/1.1|/|Content-Length =4;" + none},
        {post("Content-Length: x4\r\n"), "POST|/|HTTP/1.1|/|Content-Length=x4;" + none},
        {post("Content-Length: 0\r\n"), "POST|/|HTTP/1.1|/|Content-Length=0;" + none},
        {post("Content-Length: -7\r\n"), "POST|/|HTTP/1.1|/|Content-Length=-7;" + none},
        {post("Content-Length: 3\r\nContent-Length: 9\r\n", "abc"),
         "POST|/|HTTP/1.1|/|Content-Length=3;Content-Length=9;|Complete|3/3/abc|000000000"},
        {post("Content-Length:  +12abc\r\n"), "POST|/|HTTP/1.1|/|Content-Length=+12abc;|ReadBody|12/0/|000000000"},
        {post("Content-Length: 134217728\r\n"), "POST|/|HTTP/1.1|/|Content-Length=134217728;|ReadBody|134217728/0/|000000000"},
        // Beyond the limit: complete at the blank line, nothing allocated, flagged.
        {post("Content-Length: 134217729\r\n"), "POST|/|HTTP/1.1|/|Content-Length=134217729;|Complete|0/0/-|000000100"},
        {post("Content-Length: 2147483648\r\n"), "POST|/|HTTP/1.1|/|Content-Length=2147483648;|Complete|0/0/-|000000100"},
        {post("Content-Length: 99999999999999999999999\r\n"),
         "POST|/|HTTP/1.1|/|Content-Length=99999999999999999999999;|Complete|0/0/-|000000100"},
        {post("Content-Length: -99999999999999999999999\r\n"),
         "POST|/|HTTP/1.1|/|Content-Length=-99999999999999999999999;" + none},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        Request whole = parse(c.bytes);
        expect_invariants(whole.get(), c.bytes);
        EXPECT_EQ(summary(whole.get()), c.want);
        EXPECT_EQ(summary(parse(c.bytes, 1).get()), c.want) << "byte by byte";
        for (size_t a = 1; a < c.bytes.size(); ++a) {
            Request two(static_cast<HttpRequest*>(calloc(1, sizeof(HttpRequest))));
            parseRequestBytes(two.get(), c.bytes.data(), a);
            parseRequestBytes(two.get(), c.bytes.data() + a, c.bytes.size() - a);
            ASSERT_EQ(summary(two.get()), c.want) << "split at " << a;
        }
    }
}

TEST(RequestParser, LimitsCutAndFlagWithoutBreakingTheRecord)
{
    // 64 headers are kept; the 65th line and later ones are skipped, the blank line completes.
    std::string many = "GET / HTTP/1.1\r\n";
    for (int i = 0; i < 66; ++i)
        many += "H" + std::to_string(i) + ": v\r\n";
    Request r = parse(many + "\r\n");
    EXPECT_EQ(r->headerCount, 64u);
    EXPECT_STREQ(r->headers[63].name, "H63");
    EXPECT_TRUE(r->tooManyHeaders);
    EXPECT_EQ(r->parseState, Complete);
    expect_invariants(r.get(), "66 headers");
    // An exhausted pool skips the later lines: Content-Length is not seen.
    r = parse("GET / HTTP/1.1\r\nBig: " + std::string(9000, 'v') + "\r\nContent-Length: 2\r\n\r\nok");
    EXPECT_TRUE(r->headerPoolExhausted);
    EXPECT_EQ(r->headerPoolUsed, REQUEST_HEADER_POOL_LIMIT);
    EXPECT_EQ(r->headerCount, 1u);
    EXPECT_EQ(r->parseState, Complete);
    EXPECT_EQ(r->body.contents, nullptr);
    expect_invariants(r.get(), "exhausted pool");
    // Method, path and version keep 63, 1023 and 15 characters; the decoded path its 1023.
    r = parse(std::string(70, 'M') + " /" + std::string(2000, 'p') + " " + std::string(20, 'V') + "\r\n\r\n");
    EXPECT_EQ(summary(r.get()).substr(summary(r.get()).size() - 9), "001110000");
    EXPECT_EQ(r->methodLength, 63u);
    EXPECT_EQ(r->pathLength, 1023u);
    EXPECT_EQ(r->decodedPathLength, 1023u);
    EXPECT_EQ(r->versionLength, 15u);
    expect_invariants(r.get(), "long fields");
    // The largest body completes after its last byte; one more flags it.
    r = parse(post("Content-Length: 134217728\r\n"));
    std::string chunk(16384, 'b');
    for (uint64_t sent = 0; sent < r->body.capacity; sent += chunk.size())
        parseRequestBytes(r.get(), chunk.data(), chunk.size());
    EXPECT_EQ(r->parseState, Complete);
    EXPECT_EQ(r->body.length, r->body.capacity);
    EXPECT_FALSE(r->bodyTruncated);
    parseRequestBytes(r.get(), "x", 1);
    EXPECT_TRUE(r->bodyTruncated);
}

TEST(RequestParser, BodyAdmissionAllocationAndContinueExpectation)
{
    // The admission check sees the declared length before anything is allocated.
    static uint64_t asked = 0;
    Request refused(static_cast<HttpRequest*>(calloc(1, sizeof(HttpRequest))));
    refused->admitBody = [](void*, uint64_t length) {
        asked = length;
        return false;
    };
    std::string bytes = post("Content-Length: 70\r\n", "body bytes");
    parseRequestBytes(refused.get(), bytes.data(), bytes.size());
    EXPECT_EQ(asked, 70u);
    EXPECT_EQ(summary(refused.get()), "POST|/|HTTP/1.1|/|Content-Length=70;|Complete|0/0/-|000000001");
    // A body block that cannot be allocated (the parser's only allocation) is flagged.
    for (long n : {1, 2}) {
        Request r(static_cast<HttpRequest*>(calloc(1, sizeof(HttpRequest))));
        alloc_fail_arm(n);
        parseRequestBytes(r.get(), bytes.data(), bytes.size());
        EXPECT_EQ(alloc_fail_disarm(), n == 1) << "allocation " << n;
        EXPECT_EQ(summary(r.get()), n == 1 ? "POST|/|HTTP/1.1|/|Content-Length=70;|Complete|0/0/-|000000010"
                                           : "POST|/|HTTP/1.1|/|Content-Length=70;|ReadBody|70/10/body bytes|000000000");
    }

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

TEST(UrlDecoding, EscapesPlusWarningsAndTheCut)
{
    // Four undecodable escapes are shown, each with the rest of the path; one line counts the rest.
    const std::string many = "%zz%zz%zz%zz%zzA";
    std::string shown;
    for (size_t at = 2; at < 12; at += 3)
        shown += "Warning: Unable to decode hex string 0xzz from " + many.substr(at);
    shown += "\nWarning: 1 further undecodable escapes in the path were not shown\n";
    const struct {
        std::string source, decoded, warning;
        bool whole;
    } cases[] = {
        {"/a%20b+c%zz", "/a b c", "Warning: Unable to decode hex string 0xzz from z", true},
        {"%4g", "\x04", "", true},
        {"a%00b", std::string("a\0b", 3), "", true},
        {"%2", "", "", true},
        {"q?x=1+2", "q?x=1 2", "", true},
        {"%%41", "1", "Warning: Unable to decode hex string 0x%4 from 41", true},
        {many, "A", shown, true},
        {std::string(1500, 'x'), std::string(1023, 'x'), "", false},
        {std::string(1023, 'y'), std::string(1023, 'y'), "", true},
    };
    for (const auto& c : cases) {
        char out[REQUEST_PATH_SIZE];
        uint64_t length = 0;
        testing::internal::CaptureStdout();
        bool whole = decodeUrlText(c.source.c_str(), out, &length);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.warning) << c.source;
        EXPECT_EQ(std::string(out, length), c.decoded) << c.source;
        EXPECT_EQ(whole, c.whole) << c.source;
    }
}

} // namespace
