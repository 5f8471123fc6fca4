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
#include "tests/http/reply_table.h"
#include "tests/support/alloc_fail.h"
#include "tests/support/udp_capture.h"

namespace {

class FipsEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        ASSERT_EQ(enable_fips_mode(nullptr, nullptr, log_crypto_error_line), 1);
    }
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

void release(HttpResponse* response)
{
    if (response == nullptr)
        return;
    free(response->reasonPhrase);
    free(response->filenameToSend);
    free(response->contentType);
    free(response->additionalHeaders);
    free(response->body.contents);
    free(response);
}

std::string body_of(const HttpResponse* response)
{
    return std::string(response->body.contents, response->body.length);
}

// Opens a Base64 container with the password exactly as given; "" when it fails.
std::string open_container(const std::string& base64, const std::string& password)
{
    std::string container = from_base64(base64);
    CipherResult result = {};
    CipherError error = {};
    std::string out;
    if (decrypt_salted(reinterpret_cast<const unsigned char*>(container.data()),
                       static_cast<uint32_t>(container.size()), password.c_str(), &result,
                       &error) == 1)
        out.assign(reinterpret_cast<char*>(result.data), result.length);
    release_cipher_result(&result);
    return out;
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

    // Calls the handler on the request bytes; the reply's fields, or status -1 for null.
    struct Reply {
        int status;
        std::string reason, type, body;
        bool sendable;
    };
    Reply call(const std::string& bytes)
    {
        HttpRequest* request = parse(bytes);
        EXPECT_EQ(request->parseState, Complete) << bytes.substr(0, 120);
        HttpResponse* response = handle_request(request);
        release(request);
        if (response == nullptr)
            return {-1, "", "", "", false};
        Reply r = {response->statusCode, response->reasonPhrase ? response->reasonPhrase : "(null)",
                   response->contentType ? response->contentType : "(null)", body_of(response),
                   responseIsSendable(response)};
        EXPECT_EQ(response->filenameToSend, nullptr);
        EXPECT_EQ(response->additionalHeaders, nullptr);
        release(response);
        return r;
    }

    std::vector<std::string> messages()
    {
        std::vector<std::string> out;
        for (const std::string& d : udp_capture_collect(&syslog, 100))
            out.push_back(syslog_message_of(d));
        return out;
    }

    UdpCapture syslog = {-1, 0};
};

TEST_F(RoutesTest, EveryFixedReplyHasItsFieldsAndLogLine)
{
    for (const ReplyCase& c : fixed_reply_cases()) {
        Reply r = call(c.request);
        EXPECT_EQ(r.status, c.status) << c.name;
        EXPECT_EQ(r.reason, c.reason) << c.name;
        EXPECT_EQ(r.type, c.content_type) << c.name;
        if (c.body_prefix)
            EXPECT_EQ(r.body.rfind(c.body, 0), 0u) << c.name << ": " << r.body;
        else
            EXPECT_EQ(r.body, c.body) << c.name;
        EXPECT_TRUE(r.sendable) << c.name;
        std::vector<std::string> logged = messages();
        if (c.logged.empty())
            EXPECT_TRUE(logged.empty()) << c.name << ": " << (logged.empty() ? "" : logged[0]);
        else
            EXPECT_TRUE(!logged.empty() && logged[0] == c.logged)
                << c.name << ": " << (logged.empty() ? "(nothing)" : logged[0]);
    }
}

TEST_F(RoutesTest, PasswordReachesTheContainerWithTheDefaultPrefixOrUnchanged)
{
    struct Case {
        std::string json_pwd;  // as written in the JSON text
        std::string container; // as the container must receive it
    };
    const std::vector<Case> cases = {
        {"\"secret\"", ".5secret"},
        {"\"x\"", ".5x"},
        {"\"xy\"", ".5xy"},
        {"\".1gcm\"", ".1gcm"},
        {"\".2ctr\"", ".2ctr"},
        {"\".3cbc\"", ".3cbc"},
        {"12345", ".512345"},              // a number is taken as its digits
        {"\"a\\\"b\"", ".5a\\\"b"},          // escapes stay as they stand
        {"\"" + std::string(511, 'z') + "\"", ".5" + std::string(511, 'z')},
        {"\".1" + std::string(509, 'z') + "\"", ".1" + std::string(509, 'z')},
    };
    for (const Case& c : cases) {
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

TEST_F(RoutesTest, EncryptLogsItsStepsAndTheContainerNotThePlaintext)
{
    const std::string plain = "log check payload";
    Reply r = call(make_request("POST", "/encrypt", json_body("pw", to_base64(plain))));
    ASSERT_EQ(r.status, 200);
    std::vector<std::string> logged = messages();
    ASSERT_GE(logged.size(), 4u);
    EXPECT_EQ(logged.front(), "Encrypting client content...");
    EXPECT_EQ(logged[logged.size() - 3], "AES encryption succeeded");
    size_t container = 8 + 16 + 16 + plain.size();
    EXPECT_EQ(logged[logged.size() - 2],
              "Re-encode succeeded: " + std::to_string(r.body.size()) + " bytes encoded (" +
                  std::to_string(container) + " raw bytes)");
    EXPECT_EQ(logged.back(), "Data Preview (256 bytes): " + r.body.substr(0, 255));
}

TEST_F(RoutesTest, DecryptLogsLengthsOnly)
{
    const std::string plain(400, 'q');
    Reply made = call(make_request("POST", "/encrypt", json_body("pw", to_base64(plain))));
    ASSERT_EQ(made.status, 200);
    messages();
    Reply r = call(make_request("POST", "/decrypt", json_body("pw", made.body)));
    ASSERT_EQ(r.status, 200);
    EXPECT_EQ(from_base64(r.body), plain);
    std::vector<std::string> logged = messages();
    ASSERT_GE(logged.size(), 3u);
    EXPECT_EQ(logged.front(), "Decrypting client content...");
    EXPECT_EQ(logged[logged.size() - 2], "Re-encode succeeded: " + std::to_string(r.body.size()) +
                                             " bytes encoded (400 raw bytes)");
    EXPECT_EQ(logged.back(), "Subsection 255: [" + std::to_string(r.body.size()) + " bytes]");
}

TEST_F(RoutesTest, EmptyPlaintextGivesAnEmptyBodyThatIsSent)
{
    std::string container = "Salted__" + std::string(32, '\x07');
    Reply r = call(make_request("POST", "/decrypt", json_body("pw", to_base64(container))));
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.reason, "OK");
    EXPECT_EQ(r.type, "application/octet-stream");
    EXPECT_EQ(r.body, "");
    EXPECT_TRUE(r.sendable);
}

TEST_F(RoutesTest, OnlyDeliberatelyEmptyBodiesAreSendable)
{
    HttpResponse* formatted = newFormattedResponse(200, "OK", "text/plain", "%s", "");
    ASSERT_NE(formatted, nullptr);
    EXPECT_FALSE(responseIsSendable(formatted)) << "a formatted empty text is no body";
    release(formatted);
    HttpResponse* text = newFormattedResponse(200, "OK", "text/plain", "%s", "x");
    EXPECT_TRUE(responseIsSendable(text));
    release(text);
    HttpResponse* empty = newEmptyBodyResponse(204, "No Content", nullptr);
    ASSERT_NE(empty, nullptr);
    EXPECT_TRUE(responseIsSendable(empty));
    EXPECT_EQ(empty->body.length, 0u);
    EXPECT_EQ(empty->contentType, nullptr);
    EXPECT_STREQ(empty->reasonPhrase, "No Content");
    release(empty);
}

TEST_F(RoutesTest, WrongPasswordOnGcmIsAFailedDecryption)
{
    Reply made = call(make_request("POST", "/encrypt", json_body(".1right", to_base64("gcm"))));
    ASSERT_EQ(made.status, 200);
    Reply r = call(make_request("POST", "/decrypt", json_body(".1wrong", made.body)));
    EXPECT_EQ(r.status, 500);
    EXPECT_EQ(r.reason, "Bad Request");
    EXPECT_EQ(r.body.rfind("Decryption failed: ", 0), 0u) << r.body;
}

// Every allocation of a request's handling, failed in turn, still ends in a sound reply (or in
// null when the reply itself could not be made) and leaks nothing (the sanitizer build checks).
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
    messages();
    for (const auto& [name, bytes] : requests) {
        for (long n = 1;; ++n) {
            HttpRequest* request = parse(bytes);
            alloc_fail_arm(n);
            HttpResponse* response = handle_request(request);
            bool fired = alloc_fail_disarm();
            release(request);
            if (response != nullptr) {
                EXPECT_TRUE(response->statusCode == 200 || response->statusCode >= 400)
                    << name << " failing allocation " << n;
                if (response->statusCode == 200 && name == "decrypt") {
                    EXPECT_EQ(from_base64(body_of(response)), "alloc") << "allocation " << n;
                }
            }
            release(response);
            if (!fired)
                break;
            ASSERT_LT(n, 5000) << name;
        }
    }
    messages();
}

TEST_F(RoutesTest, BodyThatCouldNotBeStoredIsAServerError)
{
    std::string bytes = make_request("POST", "/encrypt", json_body("pw", to_base64("lost")));
    auto* request = static_cast<HttpRequest*>(calloc(1, sizeof(HttpRequest)));
    alloc_fail_arm(1); // the parser's only allocation: the body block
    parseRequestBytes(request, bytes.data(), bytes.size());
    ASSERT_TRUE(alloc_fail_disarm());
    ASSERT_TRUE(request->bodyAllocationFailed);
    HttpResponse* response = handle_request(request);
    release(request);
    ASSERT_NE(response, nullptr);
    EXPECT_EQ(response->statusCode, 500);
    EXPECT_STREQ(response->reasonPhrase, "Internal Server Error");
    EXPECT_EQ(body_of(response), "The request body could not be stored: the server is out of memory");
    release(response);
    std::vector<std::string> logged = messages();
    ASSERT_FALSE(logged.empty());
    EXPECT_EQ(logged[0], "Error: no memory for the request body.");
}

TEST_F(RoutesTest, ConcurrentCallersGetTheirOwnReplies)
{
    const int threads = 8;
    std::vector<std::string> results(threads);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([t, &results] {
            std::string plain = "thread " + std::to_string(t);
            std::string pwd = "pw" + std::to_string(t);
            HttpRequest* request =
                parse(make_request("POST", "/encrypt", json_body(pwd, to_base64(plain))));
            HttpResponse* made = handle_request(request);
            release(request);
            if (made == nullptr || made->statusCode != 200) {
                release(made);
                return;
            }
            request = parse(make_request("POST", "/decrypt", json_body(pwd, body_of(made))));
            release(made);
            HttpResponse* back = handle_request(request);
            release(request);
            if (back != nullptr && back->statusCode == 200)
                results[static_cast<size_t>(t)] = from_base64(body_of(back));
            release(back);
        });
    }
    for (std::thread& w : workers)
        w.join();
    for (int t = 0; t < threads; ++t)
        EXPECT_EQ(results[static_cast<size_t>(t)], "thread " + std::to_string(t)) << "thread " << t;
    messages();
}

} // namespace
