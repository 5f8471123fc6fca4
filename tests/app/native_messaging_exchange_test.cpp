// The native-messaging exchange in process: byte streams in, frames and syslog lines out.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "app/frames.h"
#include "app/native_messaging.h"
#include "app/nm_actions.h"
#include "cipher/fips.h"
#include "log/syslog.h"
#include "tests/app/native_messaging_harness.h"
#include "tests/support/alloc_fail.h"

namespace {

class ExchangeEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        ASSERT_EQ(enable_fips_mode(nullptr, nullptr, log_crypto_error_line), 1);
        nm_capture_logs();
    }
};
const auto* environment = ::testing::AddGlobalTestEnvironment(new ExchangeEnvironment);

const std::string PASSWORD = "Nm-Pw-4b81e0";
const std::string PLAIN = "Nm-Plain-c93d27 secret text"; // 27 bytes

// "%i/%i total written to client (situation)" for a reply sent whole.
std::string written(const char* reply, const std::string& situation)
{
    int n = static_cast<int>(strlen(reply) + 4);
    return std::to_string(n) + "/" + std::to_string(n) + " total written to client (" + situation + ")";
}

// Whether a log line or frame matches an expected one; an expected text ending in '*' is a prefix.
bool matches(const std::string& line, const std::string& expected)
{
    if (!expected.empty() && expected.back() == '*')
        return line.compare(0, expected.size() - 1, expected, 0, expected.size() - 1) == 0;
    return line == expected;
}

// Empty when every expected line appears in logs in this order; else the first one missing.
std::string missing_in_order(const std::vector<std::string>& logs, const std::vector<std::string>& expected)
{
    size_t at = 0;
    for (const std::string& line : expected) {
        while (at < logs.size() && !matches(logs[at], line))
            ++at;
        if (at == logs.size())
            return line;
        ++at;
    }
    return {};
}

bool any_log_contains(const std::vector<std::string>& logs, const std::string& text)
{
    for (const std::string& l : logs)
        if (l.find(text) != std::string::npos)
            return true;
    return false;
}

const std::vector<std::string> CLOSING = {"Finished processing. Cleaning up...",
                                          "Sending close message: {\"end\":\"true\"}"};

std::string container_base64(const std::string& password, const std::string& plaintext)
{
    return base64_of(reference_encrypt(password, plaintext, std::string(16, '\x07'), std::string(16, '\x09')));
}

// One exchange: its input, the frames it must give (a text ending in '*' is a prefix), the
// log lines it must write in this order, and for an encryption the plaintext of the reply.
struct IntakeCase {
    const char* name;
    std::string input;
    std::vector<std::string> frames;
    std::vector<std::string> logs; // in this order, among the exchange's lines
    std::string plaintext = {};    // encrypted by the reply (raw 0), when not empty
    std::vector<std::string> absent = {}; // texts no log line holds
};

std::vector<IntakeCase> intake_cases()
{
    const std::string first10 = nm_first(1, 0, 10, PASSWORD);
    const std::string status = NM_STATUS_REPLY;
    const std::string good = container_base64(PASSWORD, "some plaintext");
    const std::string sealed = container_base64(PASSWORD, PLAIN), reply = base64_of(PLAIN);
    const std::string reply_frame = "{\"data\":\"" + reply + "\"}", n = std::to_string(reply.size());
    return {
        {"closed input", "", {NM_INVALID_PAYLOAD, NM_END},
         {"--- Starting the Tavrin Native Host Listener (Chrome) -----", written(NM_INVALID_PAYLOAD, "invalid payload"),
          CLOSING[0], CLOSING[1]}},
        {"two header bytes", std::string("\x05\x00", 2), {NM_INVALID_PAYLOAD, NM_END},
         {written(NM_INVALID_PAYLOAD, "invalid payload")}},
        {"header of 2^31", nm_header(0x80000000u) + "{}", {NM_INVALID_PAYLOAD, NM_END},
         {"Expected payload length received: -2147483648", written(NM_INVALID_PAYLOAD, "invalid payload")}},
        {"header above the frame limit", nm_header(FRAME_TEXT_MAX + 1), {NM_INVALID_PAYLOAD, NM_END},
         {written(NM_INVALID_PAYLOAD, "invalid payload")}},
        {"status probe neither switches FIPS mode on nor closes", nm_frame("{\"action\":0,\"pwd\":\"x\"}"), {status},
         {"Expected payload length received: 22", written(NM_STATUS_REPLY, "status call")}, {}, {"FIPS", "Finished processing"}},
        {"status: empty first message", nm_frame(""), {status}, {"Expected payload length received: 0"}},
        {"status: first message shorter than announced", nm_header(100) + "{\"action\":0}", {status}, {}},
        {"missing length", nm_frame("{\"action\":1,\"pwd\":\"" + PASSWORD + "\"}"), {NM_MISSING_LENGTH},
         {"Is data raw? 0", "FIPS mode enabled", "expected data buffer length: 0",
          written(NM_MISSING_LENGTH, "missing data buffer length")}},
        {"negative length", nm_first(1, 1, -5, PASSWORD), {NM_MISSING_LENGTH}, {"expected data buffer length: -5"}},
        {"length beyond the host's limit", nm_first(1, 1, 2147483647, PASSWORD), {NM_MISSING_LENGTH}, {}},
        {"no password", nm_frame("{\"action\":1,\"length\":10}"), {NM_MISSING_PASSWORD},
         {"Reading pwd param....", "Finished reading pwd param.", "Password data length = 3",
          "Failed to find password...", written(NM_MISSING_PASSWORD, "missing password")}},
        {"empty password", nm_first(1, 1, 10, ""), {NM_MISSING_PASSWORD}, {}},
        {"password without its closing quote", nm_frame("{\"action\":1,\"length\":10,\"pwd\":\"abcdef"),
         {NM_MISSING_PASSWORD}, {}},
        {"no chunk at all", first10, {NM_READ_FAILED},
         {"Waiting to load 10 bytes..", written(NM_READ_FAILED, "read failed")}},
        {"two bytes of a chunk header", first10 + std::string("\x05\x00", 2), {NM_READ_FAILED},
         {written(NM_READ_FAILED, "read failed")}},
        {"three-byte chunk header at the end", first10 + std::string("\x05\x00\x00", 3), {NM_READ_FAILED},
         {"Failed to read transfer content", written(NM_READ_FAILED, "no transfer content: 0")}},
        {"chunk header of 0", first10 + nm_header(0), {NM_READ_FAILED},
         {written(NM_READ_FAILED, "no transfer content: 0")}},
        {"chunk header of 2^31", first10 + nm_header(0x80000000u) + "{}", {NM_READ_FAILED},
         {"Failed buffer realloc", std::to_string(strlen(NM_READ_FAILED) + 4) + "/2147483658 total written to client (failed realloc)"}},
        {"chunk header of 2^32-1", first10 + nm_header(0xFFFFFFFFu), {NM_READ_FAILED},
         {std::to_string(strlen(NM_READ_FAILED) + 4) + "/4294967305 total written to client (failed realloc)"}},
        {"chunks stop short of the length", first10 + nm_chunk("0123"), {NM_READ_FAILED},
         {"Loaded data: [4 bytes]", written(NM_READ_FAILED, "read failed")}},
        {"one chunk of 10", first10 + nm_chunk("0123456789"), {},
         {"Loaded data: [10 bytes]", "Requested action: Encrypt", "Loaded all bytes 10"}, "0123456789"},
        {"chunks of 4, 4 and 2", first10 + nm_chunk("0123") + nm_chunk("4567") + nm_chunk("89"), {},
         {"Loaded data: [4 bytes]", "Loaded data: [8 bytes]", "Loaded data: [10 bytes]", "Loaded all bytes 10"},
         "0123456789"},
        {"chunks of 4, 4 and 4", first10 + nm_chunk("0123") + nm_chunk("4567") + nm_chunk("89ab"), {},
         {"Loaded data: [4 bytes]", "Loaded data: [8 bytes]", "Loaded data: [12 bytes]"}, "0123456789"},
        {"chunk larger than announced is cut at the buffer", nm_first(1, 0, 4, PASSWORD) + nm_chunk(std::string(100, 'x')),
         {}, {"Loaded data: [13 bytes]", "Loaded all bytes 4"}, "xxxx"},
        {"chunks without p add nothing",
         first10 + nm_frame("{\"q\":\"abc\"}") + nm_chunk("") + nm_frame("{\"p\":'single'}") + nm_chunk("0123456789"),
         {}, {"Loaded data: [0 bytes]", "Loaded data: [0 bytes]", "Loaded data: [0 bytes]", "Loaded data: [10 bytes]"},
         "0123456789"},
        {"unterminated p counts up to the end of its text", first10 + nm_frame("{\"p\":\"0123456") + nm_chunk("789"),
         {}, {"Loaded data: [7 bytes]", "Loaded data: [10 bytes]"}, "0123456789"},
        {"escaped quote in p counts both bytes", nm_first(1, 0, 6, PASSWORD) + nm_chunk("ab\\\"cd"), {},
         {"Loaded data: [6 bytes]"}, "ab\\\"cd"},
        {"40-character password is logged by its length", nm_first(1, 0, 3, std::string(40, 'k')) + nm_chunk("abc"), {},
         {"Password data length = 43", "Cleared password cache", "parsed pwd data: [40 bytes]"}, "abc"},
        // Successful actions log lengths only; decrypt takes one character beyond the length.
        {"encrypt of the text", nm_request(1, 0, PASSWORD, PLAIN), {},
         {"datalen=> 27", "Encryption succeeded: *", "payload destroyed", "Getting ready to write *", CLOSING[0]}, PLAIN},
        {"encrypt of Base64", nm_request(1, 1, PASSWORD, reply), {},
         {"datalen=> 36", "Encryption succeeded: *", "payload destroyed", "Getting ready to write *", CLOSING[0]}, PLAIN},
        {"decrypt", nm_request(2, 0, PASSWORD, sealed), {reply_frame, NM_END},
         {"Decrypted Length: 27", "Getting ready to write " + n + " bytes back to client...",
          "Written " + n + "/" + n + " bytes back to client", n + " total written to client (success)", CLOSING[0],
          CLOSING[1]}},
        {"decrypt of one character more than announced",
         nm_first(2, 0, static_cast<long long>(sealed.size()) - 1, PASSWORD) + nm_chunk(sealed.substr(0, 5)) +
             nm_chunk(sealed.substr(5)),
         {reply_frame, NM_END}, {}},
        // Failures of the actions, each with its reason where there is one.
        {"decrypt of text that is not Base64", nm_request(2, 0, PASSWORD, "abc!defg"),
         {nm_error("Failed to decode user data"), NM_END},
         {"(Dec) Decoded Data length: 0", "Failed to decode user data", "payload destroyed",
          written("{\"error\":\"Failed to decode user data\"}", "error"), CLOSING[0]}},
        {"decrypt of a container shorter than its header",
         nm_request(2, 0, PASSWORD, base64_of("Salted__" + std::string(10, 'x'))),
         {nm_error("The encrypted data appears to be invalid"), NM_END},
         {"Decryption Failed: The encrypted data appears to be invalid"}},
        {"decrypt with an id outside the table", nm_request(2, 0, ".4" + PASSWORD, good),
         {nm_error("Unsupported algorithm id"), NM_END}, {}},
        {"decrypt with the wrong password for GCM", nm_request(2, 0, ".1wrong", container_base64(".1" + PASSWORD, "x")),
         {NM_ACTION_FAILED, NM_END}, {written(NM_ACTION_FAILED, "error"), CLOSING[0]}},
        {"decrypt of an empty plaintext succeeds with the end frame alone",
         nm_request(2, 0, PASSWORD, container_base64(PASSWORD, "")), {NM_END},
         {"Decrypted data is empty", "payload destroyed", "Getting ready to write 0 bytes back to client...",
          "0 total written to client (success)", CLOSING[0]}},
        {"encrypt of data that is not Base64", nm_request(1, 1, PASSWORD, "ab!d"), {NM_BAD_ENCRYPT_DATA},
         {"(Enc) Decoded Data length: 0", written(NM_BAD_ENCRYPT_DATA, "bad data for encryption")}},
        {"encrypt with an id outside the table", nm_request(1, 0, ".4" + PASSWORD, "abcd"),
         {nm_error("Unsupported algorithm id")}, {"Encryption Failed: Unsupported algorithm id"}},
        {"encrypt with MD5 in FIPS mode", nm_request(1, 0, ".A" + PASSWORD, "abcd"), {nm_error("Failed to encrypt data")},
         {"Encryption Failed: Failed to encrypt data",
          written("{\"error\":\"Failed to encrypt data\"}", "bad data for encryption")}},
        {"decrypt with MD5 in FIPS mode gives the library's reason", nm_request(2, 0, ".A" + PASSWORD, good),
         {"{\"error\":\"error:*", NM_END}, {}},
    };
}

// Every case whole, and from streams that deliver 1 or 3 bytes per read (splitting every
// header and text), gives the same frames and log lines.
TEST(NativeMessagingIntake, RepliesAndLogLinesOfEveryIntakePath)
{
    for (size_t max_read : {0u, 1u, 3u}) {
        for (const IntakeCase& c : intake_cases()) {
            SCOPED_TRACE(std::string(c.name) + ", reads of " + std::to_string(max_read));
            ExchangeRun run = run_exchange(c.input, max_read);
            EXPECT_EQ(run.result, 0);
            EXPECT_TRUE(run.frames.whole);
            if (c.plaintext.empty()) {
                EXPECT_TRUE(run.frames.texts.size() == c.frames.size() &&
                            std::equal(run.frames.texts.begin(), run.frames.texts.end(), c.frames.begin(), matches))
                    << testing::PrintToString(run.frames.texts);
            } else {
                std::string password = c.input.find(std::string(40, 'k')) != std::string::npos ? std::string(40, 'k') : PASSWORD;
                EXPECT_EQ(nm_reply_plaintext(run.frames, password), c.plaintext);
            }
            EXPECT_EQ(missing_in_order(run.logs, c.logs), "");
            for (const std::string& text : c.absent)
                EXPECT_FALSE(any_log_contains(run.logs, text)) << text;
        }
    }
}

// Allocations our code makes for one exchange.
long allocations_of(const std::string& input)
{
    alloc_fail_arm(LONG_MAX);
    run_exchange(input);
    long n = alloc_fail_count();
    alloc_fail_disarm();
    return n;
}

TEST(NativeMessagingIntake, ChunksAreReadInOneCallIntoABufferThatGrowsOnlyForALargerOne)
{
    // First header and text, then header and text of each of the three chunks.
    EXPECT_EQ(run_exchange(nm_request(1, 0, PASSWORD, std::string(300000, 'a'), 100000)).reads, 8);
    auto chunks_of = [](size_t a, size_t b, size_t c) {
        return nm_first(1, 0, 40000, PASSWORD) + nm_chunk(std::string(a, 'z')) + nm_chunk(std::string(b, 'z')) +
               nm_chunk(std::string(c, 'z'));
    };
    long one = allocations_of(nm_request(1, 0, PASSWORD, std::string(40000, 'z'), 40000));
    EXPECT_EQ(allocations_of(nm_request(1, 0, PASSWORD, std::string(40000, 'z'), 1000)), one)
        << "equal chunks reuse one buffer";
    EXPECT_EQ(allocations_of(chunks_of(20000, 15000, 5000)), one) << "smaller chunks reuse the buffer";
    EXPECT_EQ(allocations_of(chunks_of(5000, 15000, 20000)), one + 2) << "each larger chunk grows it once";
}

// ---- actions ----------------------------------------------------------------------------

TEST(NativeMessagingActions, ErrorReasonsAreEscapedAsJson)
{
    char out[64];
    EXPECT_EQ(json_escape_text("plain", out, sizeof out), 5u);
    EXPECT_STREQ(out, "plain");
    json_escape_text("a\"b\\c\nd\x01", out, sizeof out);
    EXPECT_STREQ(out, "a\\\"b\\\\c\\u000ad\\u0001");
    // Cut on a whole escape, never inside one.
    EXPECT_EQ(json_escape_text("ab\"c", out, 4), 2u);
    EXPECT_STREQ(out, "ab");
}

// A 64 MiB payload's container text holds "AAAA" about five times, so the encryption is
// nearly always repeated; whatever happened, the log and the reply must agree.
TEST(NativeMessagingActions, AaaaRetryMakesAtMostFiveAttempts)
{
    std::string plain = pseudo_random_bytes(64u << 20, 77);
    ExchangeRun run = run_exchange(nm_request(1, 1, ".5" + PASSWORD, base64_of(plain), 1 << 24));
    std::string text = nm_reply_text(run.frames);
    int attempts = 0, rejected = 0;
    for (const std::string& l : run.logs) {
        attempts += l.rfind("datalen=> ", 0) == 0;
        rejected += l == "Invalid encode. Retrying...";
    }
    bool has_run = text.find("AAAA") != std::string::npos;
    if (has_run) {
        EXPECT_EQ(rejected, 5);
        EXPECT_EQ(attempts, 5);
    } else {
        EXPECT_LT(rejected, 5);
        EXPECT_EQ(attempts, rejected + 1);
    }
    EXPECT_TRUE(nm_reply_plaintext(run.frames, ".5" + PASSWORD) == plain);
}

// Every allocation the exchange makes is made to fail in turn: each run still answers with
// one of its defined reply sequences, and nothing leaks (checked by the sanitizer build).
TEST(NativeMessagingActions, EveryFailedAllocationGivesADefinedReply)
{
    const std::string plain = "allocation test plaintext";
    const std::string requests[] = {
        nm_request(1, 1, PASSWORD, base64_of(plain), 10),
        nm_request(1, 0, PASSWORD, plain, 7),
        nm_request(2, 0, PASSWORD, container_base64(PASSWORD, plain), 9),
        nm_frame("{\"action\":0}"),
    };
    const std::vector<std::vector<std::string>> allowed_failures = {
        {NM_INVALID_PAYLOAD, NM_END}, {NM_MISSING_LENGTH}, {NM_MISSING_PASSWORD}, {NM_READ_FAILED},
        {NM_ACTION_FAILED, NM_END},   {NM_BAD_ENCRYPT_DATA}, {nm_error("Failed to encrypt data")},
        {nm_error("Failed to decode user data"), NM_END},
    };
    std::vector<std::string> seen;
    for (const std::string& request : requests) {
        for (long n = 1;; ++n) {
            SCOPED_TRACE("request " + std::to_string(&request - requests) + ", allocation " + std::to_string(n));
            alloc_fail_arm(n);
            ExchangeRun run = run_exchange(request);
            bool failed = alloc_fail_disarm();
            EXPECT_TRUE(run.frames.whole);
            std::string data;
            bool success = !run.frames.texts.empty() && run.frames.texts.back() == NM_END &&
                           nm_join_data(run.frames.texts, &data) && !data.empty();
            bool status = run.frames.texts == std::vector<std::string>{NM_STATUS_REPLY};
            bool defined = success || status;
            for (const auto& f : allowed_failures)
                if (run.frames.texts == f) {
                    defined = true;
                    seen.push_back(f[0]);
                }
            EXPECT_TRUE(defined) << (run.frames.texts.empty() ? "<none>" : run.frames.texts[0]);
            if (!failed)
                break;
        }
    }
    // The intake's own buffers were among those that failed.
    for (const char* reply : {NM_INVALID_PAYLOAD, NM_MISSING_LENGTH, NM_MISSING_PASSWORD, NM_READ_FAILED})
        EXPECT_NE(std::find(seen.begin(), seen.end(), reply), seen.end()) << reply;
}

} // namespace
