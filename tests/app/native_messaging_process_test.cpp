// The real host as a child process: frames on its pipes and the real FIPS provider.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

#include "app/native_messaging.h"
#include "app/nm_actions.h"
#include "tests/app/native_messaging_harness.h"
#include "tests/support/process.h"
#include "tests/support/udp_capture.h"

namespace {

const std::string PASSWORD = "Nm-Pw-4b81e0";
const std::string PLAIN_MARKER = "Nm-Plain-c93d27";
const char IDS[] = {'1', '2', '3', '5', 'C'};

// The children's syslog datagrams go to a capture, not to the machine's log (what they carry
// is the secrets audit's to check).
class HostProcessTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(syslog_capture_open(&syslog)); }
    void TearDown() override { udp_capture_close(&syslog); }
    UdpCapture syslog = {-1, 0};
};

// One run of the real host: its input, and the reply frames it must give or, when frames is
// empty, the plaintext of the container its successful encryption sends.
struct ReplyCase {
    std::string name, input;
    std::vector<std::string> frames;
    std::string plaintext = {};
    std::vector<std::string> env = {};
};

// Runs the cases a few at a time. Standard output must be frames only, and every end frame
// must be followed by the closing pause: a second, of which half tells a pause from none on a
// loaded machine.
void expect_replies(const std::vector<ReplyCase>& cases)
{
    std::vector<HostCase> runs_in;
    for (const ReplyCase& c : cases)
        runs_in.push_back({c.name, c.input, c.env});
    std::vector<HostRun> runs = run_hosts(runs_in);
    for (size_t i = 0; i < cases.size(); ++i) {
        const ReplyCase& c = cases[i];
        const HostRun& run = runs[i];
        EXPECT_EQ(run.status, 0) << c.name;
        EXPECT_TRUE(run.frames.whole) << c.name << ": standard output is not frames only";
        if (c.frames.empty()) {
            EXPECT_EQ(nm_reply_plaintext(run.frames, PASSWORD), c.plaintext) << c.name;
        } else {
            EXPECT_EQ(run.frames.texts, c.frames) << c.name;
        }
        if (!run.frames.texts.empty() && run.frames.texts.back() == NM_END) {
            EXPECT_GE(run.pause_ms, 500) << c.name << ": no closing pause after the end frame";
        }
    }
}

// Each intake reply through real pipes; the exchange's paths one by one are
// native_messaging_exchange_test's.
TEST_F(HostProcessTest, IntakeRepliesOfTheRealHost)
{
    auto empty = std::filesystem::temp_directory_path() / ("nm-no-fips-" + std::to_string(getpid()));
    std::filesystem::create_directories(empty);
    const std::string first10 = nm_first(1, 0, 10, PASSWORD);
    std::vector<ReplyCase> cases = {
        {"closed input", "", {NM_INVALID_PAYLOAD, NM_END}},
        {"first header of 2^31", nm_header(0x80000000u) + "{}", {NM_INVALID_PAYLOAD, NM_END}},
        {"status probe", nm_frame("{\"action\":0}"), {NM_STATUS_REPLY}},
        {"FIPS provider missing", first10 + nm_chunk("0123456789"), {NM_NO_FIPS}, "", {"OPENSSL_MODULES=" + empty.string()}},
        {"missing length", nm_frame("{\"action\":1,\"pwd\":\"" + PASSWORD + "\"}"), {NM_MISSING_LENGTH}},
        {"absurd length member", nm_first(1, 1, 2147483647, PASSWORD), {NM_MISSING_LENGTH}},
        {"missing password", nm_frame("{\"action\":1,\"length\":10}"), {NM_MISSING_PASSWORD}},
        {"chunks of 4, 4 and 4", first10 + nm_chunk("0123") + nm_chunk("4567") + nm_chunk("89ab"), {}, "0123456789"},
        {"three-byte chunk header at the end", first10 + std::string("\x05\x00\x00", 3), {NM_READ_FAILED}},
        {"chunk header of 2^32-1", first10 + nm_header(0xFFFFFFFFu) + "{\"p\":\"x\"}", {NM_READ_FAILED}},
    };
    // Headers holding 0x1A (end of input) and CR LF, which a text-mode stream would alter.
    for (size_t length : {0x1Au, 0x0A0Du}) {
        std::string text = "{\"action\":0,\"pad\":\"" + std::string(length - 21, 'x') + "\"}";
        cases.push_back({"status probe of " + std::to_string(length) + " bytes", nm_frame(text), {NM_STATUS_REPLY}});
    }
    expect_replies(cases);
    std::filesystem::remove_all(empty);
}

TEST_F(HostProcessTest, EncryptThenDecryptEveryIdAndRawFlag)
{
    std::vector<HostCase> encrypts;
    std::vector<std::string> passwords, plains;
    for (char id : IDS)
        for (int raw : {0, 1})
            for (size_t size : {size_t{1}, (size_t{3} << 20) + 1}) {
                std::string password = std::string(".") + id + PASSWORD;
                // Raw 0 encrypts the data text itself: printable text that needs no escape.
                std::string plain =
                    (PLAIN_MARKER + (raw ? pseudo_random_bytes(size, static_cast<uint32_t>(size + id))
                                         : base64_of(pseudo_random_bytes(size, id))))
                        .substr(0, size);
                passwords.push_back(password);
                plains.push_back(plain);
                encrypts.push_back({password.substr(0, 2) + " raw " + std::to_string(raw) + " size " + std::to_string(size),
                                    nm_request(1, raw, password, raw ? base64_of(plain) : plain), {}});
            }
    std::vector<HostRun> encrypted = run_hosts(encrypts);
    std::vector<HostCase> decrypts;
    for (size_t i = 0; i < encrypts.size(); ++i) {
        const std::string& name = encrypts[i].name;
        const std::vector<std::string>& texts = encrypted[i].frames.texts;
        std::string text = nm_reply_text(encrypted[i].frames);
        EXPECT_EQ(encrypted[i].status, 0) << name;
        // Every data message but the last carries exactly 64000 characters.
        for (size_t f = 0; f + 2 < texts.size(); ++f)
            EXPECT_EQ(texts[f].size(), NM_DATA_PIECE_MAX + NM_DATA_FRAME_OVERHEAD) << name;
        EXPECT_EQ(texts.size() - 1, (text.size() + NM_DATA_PIECE_MAX - 1) / NM_DATA_PIECE_MAX) << name;
        // The host's container opens with the independent implementation.
        EXPECT_TRUE(nm_reply_plaintext(encrypted[i].frames, passwords[i]) == plains[i]) << name;
        decrypts.push_back({name, nm_request(2, 0, passwords[i], text), {}});
    }
    std::vector<HostRun> decrypted = run_hosts(decrypts);
    for (size_t i = 0; i < decrypts.size(); ++i)
        EXPECT_TRUE(nm_reply_text(decrypted[i].frames) == base64_of(plains[i])) << decrypts[i].name;
}

TEST_F(HostProcessTest, ReferenceContainersOpenInTheHost)
{
    const std::string salt(16, '\x11');
    const std::string iv = "\x21\x22\x23\x24\x25\x26\x27\x28\x29\x2a\x2b\x2c\x2d\x2e\x2f\x30";
    struct Case {
        std::string name;
        char id;
        std::string plaintext;             // encrypted under ".<id>" + PASSWORD
        std::string password;              // to decrypt with, after ".<id>"
        std::vector<size_t> frame_lengths; // of the data messages, when checked
    };
    // Data messages of 64000 characters at most (a frame of 64011 bytes): replies of 47999 and
    // 48000 bytes fill one, 48001 and 96000 two; and one of 2560 characters, whose frame header
    // holds a line feed byte (2571 = 0x0A0B) that a text-mode stream would turn into CR LF.
    std::vector<Case> cases = {
        {"64000 characters with padding", '5', pseudo_random_bytes(47999, 5), PASSWORD, {64011}},
        {"64000 characters", '5', pseudo_random_bytes(48000, 1), PASSWORD, {64011}},
        {"64004 characters", '5', pseudo_random_bytes(48001, 2), PASSWORD, {64011, 15}},
        {"128000 characters", '5', pseudo_random_bytes(96000, 3), PASSWORD, {64011, 64011}},
        {"2560 characters", '5', pseudo_random_bytes(1920, 4), PASSWORD, {2571}},
    };
    for (char id : IDS) {
        cases.push_back({std::string("id ") + id, id, PLAIN_MARKER + " for " + id, PASSWORD, {}});
        cases.push_back({std::string("id ") + id + " wrong password", id, PLAIN_MARKER + " for " + id, "wrong-password", {}});
    }
    std::vector<HostCase> runs_in;
    std::vector<std::string> containers;
    for (const Case& c : cases) {
        containers.push_back(reference_encrypt(std::string(".") + c.id + PASSWORD, c.plaintext, salt, iv));
        runs_in.push_back({c.name, nm_request(2, 0, std::string(".") + c.id + c.password, base64_of(containers.back()), 30000), {}});
    }
    std::vector<HostRun> runs = run_hosts(runs_in);
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        const std::vector<std::string>& texts = runs[i].frames.texts;
        // The reference tells what the wrong password yields: a refused tag or padding (GCM
        // always), or (CTR) garbage of the same length, deterministic for the fixed salt and IV.
        std::string expected;
        bool opens = reference_decrypt(std::string(".") + c.id + c.password, containers[i], &expected);
        if (c.password == PASSWORD || c.id == '1') {
            EXPECT_EQ(opens, c.password == PASSWORD) << c.name;
        }
        EXPECT_TRUE(runs[i].frames.whole) << c.name;
        if (!opens) {
            EXPECT_EQ(texts, (std::vector<std::string>{NM_ACTION_FAILED, NM_END})) << c.name;
            continue;
        }
        EXPECT_TRUE(c.password != PASSWORD || expected == c.plaintext) << c.name;
        EXPECT_TRUE(nm_reply_text(runs[i].frames) == base64_of(expected)) << c.name;
        std::vector<size_t> lengths;
        for (size_t f = 0; f + 1 < texts.size() && !c.frame_lengths.empty(); ++f)
            lengths.push_back(texts[f].size());
        EXPECT_EQ(lengths, c.frame_lengths) << c.name;
    }
}

// Each reply of a failed action through real pipes.
TEST_F(HostProcessTest, ErrorReplyFramesOfTheRealHost)
{
    const std::string empty_container = reference_encrypt(PASSWORD, "", std::string(16, '\x05'), std::string(16, '\x06'));
    expect_replies({
        {"encrypt, raw set, data not Base64", nm_request(1, 1, PASSWORD, "ab!d"), {NM_BAD_ENCRYPT_DATA}},
        {"decrypt of data that is not Base64", nm_request(2, 0, PASSWORD, "%%%%"),
         {nm_error("Failed to decode user data"), NM_END}},
        {"decrypt of a short container", nm_request(2, 0, PASSWORD, base64_of("Salted__1234")),
         {nm_error("The encrypted data appears to be invalid"), NM_END}},
        {"encrypt with an id outside the table", nm_request(1, 0, ".4" + PASSWORD, "abcd"),
         {nm_error("Unsupported algorithm id")}},
        {"decrypt of an empty plaintext", nm_request(2, 0, PASSWORD, base64_of(empty_container)), {NM_END}},
        {"encrypt with MD5, refused in FIPS mode", nm_request(1, 0, ".A" + PASSWORD, "abcd"),
         {nm_error(NM_ENCRYPT_FAILED_REASON)}},
    });
}

// With TAVRIN_PROGRAM_DIR pointing at programs of another build (the Windows build under wine,
// an installed package), this build's own host and the host under test open each other's
// containers, every usable id in both directions.
TEST_F(HostProcessTest, ContainersCrossBetweenThisBuildAndTheHostUnderTest)
{
    const std::string here = this_build_program("tavrinhost");
    if (build_program("tavrinhost") == here)
        GTEST_SKIP() << "the host under test is this build's own (TAVRIN_PROGRAM_DIR is not set)";
    const std::string plain = PLAIN_MARKER + pseudo_random_bytes(100000, 11);
    std::vector<HostCase> seals;
    for (char id : IDS) {
        std::string password = std::string(".") + id + PASSWORD;
        seals.push_back({std::string("id ") + id, nm_request(1, 1, password, base64_of(plain)), {}});
    }
    struct Direction {
        std::string name, sealer, opener; // empty: the host under test
    };
    for (const Direction& d : {Direction{"under test to this build", "", here}, Direction{"this build to under test", here, ""}}) {
        std::vector<HostRun> sealed = run_hosts(seals, d.sealer);
        std::vector<HostCase> opens;
        for (size_t i = 0; i < seals.size(); ++i)
            opens.push_back({seals[i].name, nm_request(2, 0, std::string(".") + IDS[i] + PASSWORD, nm_reply_text(sealed[i].frames)), {}});
        std::vector<HostRun> opened = run_hosts(opens, d.opener);
        for (size_t i = 0; i < opens.size(); ++i)
            EXPECT_TRUE(nm_reply_text(opened[i].frames) == base64_of(plain)) << d.name << ", " << opens[i].name;
    }
}

} // namespace
