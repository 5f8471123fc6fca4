// The cipher routes in process: replies and their log lines, what reaches the container, the
// release of every buffer, the reply when memory runs out, and concurrent callers.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "cipher/base64.h"
#include "cipher/container.h"
#include "cipher/fips.h"
#include "http/routes.h"
#include "log/syslog.h"
#include "tests/cipher/cipher_test_util.h"
#include "tests/http/reply_table.h"
#include "tests/support/alloc_fail.h"
#include "tests/support/udp_capture.h"

namespace {

class FipsEnvironment : public ::testing::Environment {
public:
    void SetUp() override { ASSERT_EQ(enable_fips_mode(nullptr, nullptr, log_crypto_error_line), 1); }
};
const auto* fips = ::testing::AddGlobalTestEnvironment(new FipsEnvironment);

// A request record as the connection thread holds it: zero-filled, fed by the parser.
HttpRequest* parse(const std::string& bytes)
{
    auto* request = static_cast<HttpRequest*>(calloc(1, sizeof(HttpRequest)));
    parseRequestBytes(request, bytes.data(), bytes.size());
    return request;
}

void release(HttpRequest* request)
{
    free(request->body.contents);
    free(request);
}

// The handler's reply to the request bytes: its fields, or status -1 for null. (The replies'
// bytes on the wire are the server test's.)
struct Reply {
    int status;
    std::string reason, body;
};

Reply call(const std::string& bytes, HttpRequest* request = nullptr)
{
    request = request ? request : parse(bytes);
    EXPECT_EQ(request->parseState, Complete) << bytes.substr(0, 120);
    HttpResponse* response = handle_request(request);
    release(request);
    if (response == nullptr)
        return {-1, "", ""};
    Reply r = {response->statusCode, response->reasonPhrase ? response->reasonPhrase : "(null)",
               std::string(response->body.contents, response->body.length)};
    EXPECT_EQ(response->filenameToSend, nullptr);
    releaseResponse(response);
    return r;
}

// Opens a Base64 container with the password exactly as given; "" when it fails.
std::string open_container(const std::string& base64, const std::string& password)
{
    Bytes plain = open(bytes_of(from_base64(base64)), password).bytes;
    return std::string(plain.begin(), plain.end());
}

class RoutesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(udp_capture_open(&syslog, 0));
        syslog_init();
        syslog_set_destination("127.0.0.1", syslog.port);
    }
    void TearDown() override { udp_capture_close(&syslog); }

    std::vector<std::string> messages()
    {
        std::vector<std::string> out;
        for (const std::string& d : udp_capture_collect(&syslog, 20))
            out.push_back(syslog_message_of(d));
        return out;
    }

    UdpCapture syslog = {-1, 0};
};

TEST_F(RoutesTest, EveryFixedReplyHasItsLogLine)
{
    for (const ReplyCase& c : fixed_reply_cases()) {
        EXPECT_EQ(call(c.request).status, c.status) << c.name;
        std::vector<std::string> logged = messages();
        EXPECT_EQ(logged.empty() ? "" : logged[0], c.logged) << c.name;
    }
}

TEST_F(RoutesTest, PasswordReachesTheContainerWithTheDefaultPrefixOrUnchanged)
{
    const struct {
        std::string json_pwd;  // as written in the JSON text
        std::string container; // as the container must receive it
    } cases[] = {
        {"\"secret\"", ".5secret"},
        {"\".1gcm\"", ".1gcm"},
        {"\"a\"", ".5a"},
        {"12345", ".512345"},       // a number is taken as its digits
        {"\"a\\\"b\"", ".5a\\\"b"}, // escapes stay as they stand
        {"\"" + std::string(511, 'z') + "\"", ".5" + std::string(511, 'z')},
        {"\".1" + std::string(509, 'z') + "\"", ".1" + std::string(509, 'z')},
    };
    for (const auto& c : cases) {
        std::string json = "{\"pwd\":" + c.json_pwd + ",\"body\":\"" + to_base64("prefix") + "\"}";
        Reply r = call(make_request("POST", "/encrypt", json));
        ASSERT_EQ(r.status, 200) << c.json_pwd << ": " << r.body;
        EXPECT_EQ(open_container(r.body, c.container), "prefix") << c.json_pwd;
    }
}

// JSON encoders that escape "/" (PHP) or "=" (Gson) write the same Base64 text.
TEST_F(RoutesTest, EscapedBase64PayloadsAreTheSameText)
{
    const std::string plain = "\xfb\xff\xbe?>"; // Base64 "+/++Pz4=": every character that gets escaped
    const struct {
        char character;
        const char* escape;
    } escapes[] = {{'/', "\\/"}, {'/', "\\u002f"}, {'=', "\\u003d"}, {'+', "\\u002b"}, {'+', "\\u002B"}};
    auto escaped = [](std::string text, char character, const std::string& escape) {
        for (size_t at = text.find(character); at != std::string::npos; at = text.find(character, at + escape.size()))
            text.replace(at, 1, escape);
        return text;
    };
    for (const auto& e : escapes) {
        Reply made = call(make_request("POST", "/encrypt", json_body(".1pw", escaped(to_base64(plain), e.character, e.escape))));
        ASSERT_EQ(made.status, 200) << e.escape << ": " << made.body;
        EXPECT_EQ(open_container(made.body, ".1pw"), plain) << e.escape;
        Reply back = call(make_request("POST", "/decrypt", json_body(".1pw", escaped(made.body, e.character, e.escape))));
        EXPECT_EQ(from_base64(back.body), plain) << e.escape;
    }
}

// Encrypt logs the container's text, decrypt only lengths: neither logs the plaintext.
TEST_F(RoutesTest, EncryptAndDecryptLogTheirStepsButNotThePlaintext)
{
    const std::string plain(400, 'q');
    Reply made = call(make_request("POST", "/encrypt", json_body("pw", to_base64(plain))));
    ASSERT_EQ(made.status, 200);
    std::vector<std::string> logged = messages();
    ASSERT_GE(logged.size(), 4u);
    EXPECT_EQ(logged.front(), "Encrypting client content...");
    EXPECT_EQ(logged[logged.size() - 3], "AES encryption succeeded");
    EXPECT_EQ(logged[logged.size() - 2], "Re-encode succeeded: " + std::to_string(made.body.size()) +
                                             " bytes encoded (" + std::to_string(8 + 16 + 16 + 400) + " raw bytes)");
    EXPECT_EQ(logged.back(), "Data Preview (256 bytes): " + made.body.substr(0, 255));

    Reply r = call(make_request("POST", "/decrypt", json_body("pw", made.body)));
    ASSERT_EQ(r.status, 200);
    EXPECT_EQ(from_base64(r.body), plain);
    logged = messages();
    ASSERT_GE(logged.size(), 3u);
    EXPECT_EQ(logged.front(), "Decrypting client content...");
    EXPECT_EQ(logged[logged.size() - 2], "Re-encode succeeded: " + std::to_string(r.body.size()) +
                                             " bytes encoded (400 raw bytes)");
    EXPECT_EQ(logged.back(), "Subsection 255: [" + std::to_string(r.body.size()) + " bytes]");
    for (const std::string& line : logged)
        EXPECT_EQ(line.find("qqqq"), std::string::npos) << line;
}

// Every allocation of a request's handling, failed in turn, still ends in a sound reply (or in
// null when the reply itself could not be made) and leaks nothing (the sanitizer build checks).
// A body the parser could not store is a server error of its own.
TEST_F(RoutesTest, AllocationFailuresEndInAReplyAndReleaseEverything)
{
    Reply made = call(make_request("POST", "/encrypt", json_body("pw", to_base64("alloc"))));
    ASSERT_EQ(made.status, 200);
    const std::vector<std::pair<std::string, std::string>> requests = {
        {"encrypt", make_request("POST", "/encrypt", json_body("pw", to_base64("alloc")))},
        {"decrypt", make_request("POST", "/decrypt", json_body("pw", made.body))},
        {"status", make_request("GET", "/status", "", false)},
        {"missing pwd", make_request("POST", "/encrypt", "{\"body\":\"aGk=\"}")},
    };
    for (const auto& [name, bytes] : requests) {
        for (long n = 1;; ++n) {
            HttpRequest* request = parse(bytes);
            alloc_fail_arm(n);
            HttpResponse* response = handle_request(request);
            bool fired = alloc_fail_disarm();
            release(request);
            if (response != nullptr) {
                EXPECT_TRUE(response->statusCode == 200 || response->statusCode >= 400) << name << ", allocation " << n;
                if (response->statusCode == 200 && name == "decrypt") {
                    EXPECT_EQ(from_base64(std::string(response->body.contents, response->body.length)), "alloc")
                        << "allocation " << n;
                }
            }
            releaseResponse(response);
            if (!fired)
                break;
            ASSERT_LT(n, 5000) << name;
        }
    }
    messages();
    std::string bytes = make_request("POST", "/encrypt", json_body("pw", to_base64("lost")));
    auto* request = static_cast<HttpRequest*>(calloc(1, sizeof(HttpRequest)));
    alloc_fail_arm(1); // the parser's only allocation: the body block
    parseRequestBytes(request, bytes.data(), bytes.size());
    ASSERT_TRUE(alloc_fail_disarm());
    Reply r = call(bytes, request);
    EXPECT_EQ(r.status, 500);
    EXPECT_EQ(r.reason, "Internal Server Error");
    EXPECT_EQ(r.body, "The request body could not be stored: the server is out of memory");
    std::vector<std::string> logged = messages();
    EXPECT_EQ(logged.empty() ? "" : logged[0], "Error: no memory for the request body.");
}

// The JSON reader, Base64 and the container keep no shared state: threads encrypt and decrypt
// with every usable id at once, and a refused decryption leaves no reason to another call.
TEST_F(RoutesTest, ConcurrentCallersGetTheirOwnReplies)
{
    const int threads = 8, rounds = 12;
    std::vector<std::string> failures(threads);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([t, &failures] {
            std::string& failure = failures[static_cast<size_t>(t)];
            for (int round = 0; round < rounds && failure.empty(); ++round) {
                const char* prefixes[] = {"", ".1", ".2", ".3", ".5", ".C"};
                std::string pwd = prefixes[(t + round) % 6] + ("pw" + std::to_string(t));
                Bytes bytes = sample_bytes(static_cast<size_t>(round * 97 + t + 1), static_cast<uint32_t>(t * 1000 + round));
                std::string plain(bytes.begin(), bytes.end());
                Reply made = call(make_request("POST", "/encrypt", json_body(pwd, to_base64(plain))));
                Reply back = call(make_request("POST", "/decrypt", json_body(pwd, made.body)));
                Reply wrong = call(make_request("POST", "/decrypt", json_body(".1other", made.body)));
                if (from_base64(back.body) != plain || wrong.status != 500)
                    failure = pwd + ", round " + std::to_string(round) + ": " + back.body + " / " + wrong.body;
            }
        });
    }
    for (std::thread& w : workers)
        w.join();
    EXPECT_EQ(failures, std::vector<std::string>(threads)) << "what went wrong on each thread";
    messages();
}

} // namespace
