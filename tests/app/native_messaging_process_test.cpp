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

// Everything on standard output is frames; the reply frames are exactly these texts.
void expect_frames(const HostRun& run, const std::vector<std::string>& texts, const std::string& name)
{
    EXPECT_EQ(run.status, 0) << name;
    EXPECT_TRUE(run.frames.whole) << name << ": standard output is not frames only";
    EXPECT_EQ(run.frames.texts, texts) << name;
}

std::string error_frame(const std::string& reason)
{
    return "{\"error\":\"" + reason + "\"}";
}

TEST_F(HostProcessTest, IntakeRepliesOfTheRealHost)
{
    auto empty = std::filesystem::temp_directory_path() / ("nm-no-fips-" + std::to_string(getpid()));
    std::filesystem::create_directories(empty);
    const std::string first10 = nm_first(1, 0, 10, PASSWORD);
    struct Expect {
        std::vector<std::string> frames; // empty: a successful encryption of plaintext
        std::string plaintext;
        bool closing;                    // the end frame is followed by the 1000 ms pause
    };
    std::vector<HostCase> cases;
    std::vector<Expect> expect;
    auto add = [&](std::string name, std::string input, Expect e, std::vector<std::string> env = {}) {
        cases.push_back({std::move(name), std::move(input), std::move(env)});
        expect.push_back(std::move(e));
    };
    add("closed input", "", {{NM_INVALID_PAYLOAD, NM_END}, "", true});
    add("status probe", nm_frame("{\"action\":0}"), {{NM_STATUS_REPLY}, "", false});
    add("status probe without action", nm_frame("{\"pwd\":\"x\"}"), {{NM_STATUS_REPLY}, "", false});
    // Headers holding 0x1A (end of input) and CR LF, which a text-mode stream would alter.
    for (size_t length : {0x1Au, 0x0A0Du}) {
        std::string text = "{\"action\":0,\"pad\":\"" + std::string(length - 21, 'x') + "\"}";
        add("status probe of " + std::to_string(length) + " bytes", nm_frame(text), {{NM_STATUS_REPLY}, "", false});
    }
    add("FIPS provider missing", first10 + nm_chunk("0123456789"), {{NM_NO_FIPS}, "", false},
        {"OPENSSL_MODULES=" + empty.string()});
    add("missing length", nm_frame("{\"action\":1,\"pwd\":\"" + PASSWORD + "\"}"), {{NM_MISSING_LENGTH}, "", false});
    add("missing password", nm_frame("{\"action\":1,\"length\":10}"), {{NM_MISSING_PASSWORD}, "", false});
    add("one chunk of 10", first10 + nm_chunk("0123456789"), {{}, "0123456789", true});
    add("chunks of 4, 4 and 2", first10 + nm_chunk("0123") + nm_chunk("4567") + nm_chunk("89"), {{}, "0123456789", true});
    add("chunks of 4, 4 and 4", first10 + nm_chunk("0123") + nm_chunk("4567") + nm_chunk("89ab"),
        {{}, "0123456789", true});
    add("three-byte chunk header at the end", first10 + std::string("\x05\x00\x00", 3), {{NM_READ_FAILED}, "", false});
    add("escaped quote in p", nm_first(1, 0, 6, PASSWORD) + nm_chunk("ab\\\"cd"), {{}, "ab\\\"cd", true});
    add("first header of 2^31", nm_header(0x80000000u) + "{}", {{NM_INVALID_PAYLOAD, NM_END}, "", true});
    add("first header of 2^32-1", nm_header(0xFFFFFFFFu), {{NM_INVALID_PAYLOAD, NM_END}, "", true});
    add("negative length member", nm_first(1, 1, -1, PASSWORD), {{NM_MISSING_LENGTH}, "", false});
    add("absurd length member", nm_first(1, 1, 2147483647, PASSWORD), {{NM_MISSING_LENGTH}, "", false});
    add("chunk header of 2^31", first10 + nm_header(0x80000000u), {{NM_READ_FAILED}, "", false});
    add("chunk header of 2^32-1", first10 + nm_header(0xFFFFFFFFu) + "{\"p\":\"x\"}", {{NM_READ_FAILED}, "", false});

    std::vector<HostRun> runs = run_hosts(cases);
    std::filesystem::remove_all(empty);
    for (size_t i = 0; i < cases.size(); ++i) {
        const std::string& name = cases[i].name;
        const HostRun& run = runs[i];
        if (expect[i].frames.empty()) {
            EXPECT_EQ(run.status, 0) << name;
            EXPECT_TRUE(run.frames.whole) << name;
            std::string text, container, plain;
            ASSERT_TRUE(nm_join_data(run.frames.texts, &text)) << name;
            ASSERT_FALSE(run.frames.texts.empty()) << name;
            EXPECT_EQ(run.frames.texts.back(), NM_END) << name;
            ASSERT_TRUE(bytes_of_base64(text, &container)) << name;
            ASSERT_TRUE(reference_decrypt(PASSWORD, container, &plain)) << name;
            EXPECT_EQ(plain, expect[i].plaintext) << name;
        } else {
            expect_frames(run, expect[i].frames, name);
        }
        if (expect[i].closing) {
            // The host sleeps a second after the end frame; half of it is enough to tell a pause
            // from none on a loaded machine.
            EXPECT_GE(run.pause_ms, 500) << name << ": no closing pause after the end frame";
        }
    }
}

struct RoundTrip {
    std::string password;
    int raw;
    std::string plaintext; // the bytes the container holds
    std::string data;      // the data text sent
};

TEST_F(HostProcessTest, EncryptThenDecryptEveryIdAndRawFlag)
{
    std::vector<RoundTrip> trips;
    const size_t sizes[] = {1, (3u << 20) + 1};
    for (char id : IDS)
        for (int raw : {0, 1})
            for (size_t size : sizes) {
                std::string password = std::string(".") + id + PASSWORD;
                std::string plain;
                if (raw) {
                    plain = (PLAIN_MARKER + pseudo_random_bytes(size, static_cast<uint32_t>(size + id))).substr(0, size);
                } else {
                    // Raw 0 encrypts the data text itself: printable text that needs no escape.
                    plain = (PLAIN_MARKER + base64_of(pseudo_random_bytes(size, id))).substr(0, size);
                }
                trips.push_back({password, raw, plain, raw ? base64_of(plain) : plain});
            }

    std::vector<HostCase> encrypts;
    for (const RoundTrip& t : trips)
        encrypts.push_back({t.password, nm_request(1, t.raw, t.password, t.data, 1 << 20), {}});
    std::vector<HostRun> encrypted = run_hosts(encrypts);

    std::vector<HostCase> decrypts;
    for (size_t i = 0; i < trips.size(); ++i) {
        const RoundTrip& t = trips[i];
        std::string name = t.password.substr(0, 2) + " raw " + std::to_string(t.raw) + " size " +
                           std::to_string(t.plaintext.size());
        const HostRun& run = encrypted[i];
        std::string text, container, plain;
        EXPECT_EQ(run.status, 0) << name;
        EXPECT_TRUE(run.frames.whole) << name;
        ASSERT_FALSE(run.frames.texts.empty()) << name;
        EXPECT_EQ(run.frames.texts.back(), NM_END) << name;
        ASSERT_TRUE(nm_join_data(run.frames.texts, &text)) << name;
        // Every data message but the last carries exactly 64000 characters.
        for (size_t f = 0; f + 2 < run.frames.texts.size(); ++f)
            EXPECT_EQ(run.frames.texts[f].size(), NM_DATA_PIECE_MAX + NM_DATA_FRAME_OVERHEAD) << name;
        EXPECT_EQ(run.frames.texts.size() - 1, (text.size() + NM_DATA_PIECE_MAX - 1) / NM_DATA_PIECE_MAX) << name;
        ASSERT_TRUE(bytes_of_base64(text, &container)) << name;
        // The host's container opens with the independent implementation.
        ASSERT_TRUE(reference_decrypt(t.password, container, &plain)) << name;
        EXPECT_TRUE(plain == t.plaintext) << name;
        decrypts.push_back({name, nm_request(2, 0, t.password, text, 1 << 20), {}});
    }
    std::vector<HostRun> decrypted = run_hosts(decrypts);
    for (size_t i = 0; i < decrypts.size(); ++i) {
        const HostRun& run = decrypted[i];
        std::string text;
        EXPECT_TRUE(run.frames.whole) << decrypts[i].name;
        ASSERT_TRUE(nm_join_data(run.frames.texts, &text)) << decrypts[i].name;
        EXPECT_EQ(run.frames.texts.back(), NM_END) << decrypts[i].name;
        EXPECT_TRUE(text == base64_of(trips[i].plaintext)) << decrypts[i].name;
    }
}

TEST_F(HostProcessTest, ReferenceContainersOpenInTheHost)
{
    const std::string salt(16, '\x11');
    const std::string iv = "\x21\x22\x23\x24\x25\x26\x27\x28\x29\x2a\x2b\x2c\x2d\x2e\x2f\x30";
    struct Case {
        std::string name;
        std::string password;      // to decrypt with
        std::string plaintext;     // encrypted under ".<id>" + PASSWORD
        char id;
        std::vector<size_t> frame_lengths; // of the data messages, when checked
    };
    std::vector<Case> cases;
    // Reply texts of 64000, 64004 and 128000 characters.
    cases.push_back({"64000 characters", ".5" + PASSWORD, pseudo_random_bytes(48000, 1), '5', {64011}});
    cases.push_back({"64004 characters", ".5" + PASSWORD, pseudo_random_bytes(48001, 2), '5', {64011, 15}});
    cases.push_back({"128000 characters", ".5" + PASSWORD, pseudo_random_bytes(96000, 3), '5', {64011, 64011}});
    for (char id : IDS) {
        std::string right = std::string(".") + id + PASSWORD;
        cases.push_back({std::string("id ") + id, right, PLAIN_MARKER + " for " + id, id, {}});
        cases.push_back({std::string("id ") + id + " wrong password", std::string(".") + id + "wrong-password",
                         PLAIN_MARKER + " for " + id, id, {}});
    }
    // A reply header holding a line feed byte (2571 = 0x0A0B), which a text-mode stream would
    // turn into CR LF.
    cases.push_back({"2560 characters", ".5" + PASSWORD, pseudo_random_bytes(1920, 4), '5', {2571}});
    std::vector<HostCase> runs_in;
    for (const Case& c : cases) {
        std::string container = reference_encrypt(std::string(".") + c.id + PASSWORD, c.plaintext, salt, iv);
        runs_in.push_back({c.name, nm_request(2, 0, c.password, base64_of(container), 30000), {}});
    }
    std::vector<HostRun> runs = run_hosts(runs_in);
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        const HostRun& run = runs[i];
        EXPECT_TRUE(run.frames.whole) << c.name;
        // The reference tells what the wrong password yields: a refused tag or padding, or
        // (CTR) garbage of the same length, deterministic for the fixed salt and IV.
        std::string container = reference_encrypt(std::string(".") + c.id + PASSWORD, c.plaintext, salt, iv);
        std::string expected;
        if (!reference_decrypt(c.password, container, &expected)) {
            expect_frames(run, {NM_ACTION_FAILED, NM_END}, c.name);
            continue;
        }
        std::string text;
        ASSERT_TRUE(nm_join_data(run.frames.texts, &text)) << c.name;
        EXPECT_EQ(run.frames.texts.back(), NM_END) << c.name;
        EXPECT_TRUE(text == base64_of(expected)) << c.name;
        if (c.password.find("wrong") == std::string::npos) {
            EXPECT_TRUE(expected == c.plaintext) << c.name;
        }
        if (!c.frame_lengths.empty()) {
            std::vector<size_t> lengths;
            for (size_t f = 0; f + 1 < run.frames.texts.size(); ++f)
                lengths.push_back(run.frames.texts[f].size());
            EXPECT_EQ(lengths, c.frame_lengths) << c.name;
        }
    }
    // GCM refuses the wrong password by its tag.
    EXPECT_EQ(runs[4].frames.texts, (std::vector<std::string>{NM_ACTION_FAILED, NM_END}));
}

TEST_F(HostProcessTest, ErrorReplyFramesOfTheRealHost)
{
    const std::string empty_container =
        reference_encrypt(PASSWORD, "", std::string(16, '\x05'), std::string(16, '\x06'));
    std::vector<HostCase> cases = {
        {"encrypt, raw set, data not Base64", nm_request(1, 1, PASSWORD, "ab!d"), {}},
        {"decrypt of data that is not Base64", nm_request(2, 0, PASSWORD, "%%%%"), {}},
        {"decrypt of a short container", nm_request(2, 0, PASSWORD, base64_of("Salted__1234")), {}},
        {"encrypt with an id outside the table", nm_request(1, 0, ".4" + PASSWORD, "abcd"), {}},
        {"decrypt of an empty plaintext", nm_request(2, 0, PASSWORD, base64_of(empty_container)), {}},
        {"encrypt with MD5, refused in FIPS mode", nm_request(1, 0, ".A" + PASSWORD, "abcd"), {}},
    };
    const std::vector<std::vector<std::string>> expected = {
        {NM_BAD_ENCRYPT_DATA},
        {error_frame("Failed to decode user data"), NM_END},
        {error_frame("The encrypted data appears to be invalid"), NM_END},
        {error_frame("Unsupported algorithm id")},
        {NM_END},
        {error_frame(NM_ENCRYPT_FAILED_REASON)},
    };
    std::vector<HostRun> runs = run_hosts(cases);
    for (size_t i = 0; i < cases.size(); ++i)
        expect_frames(runs[i], expected[i], cases[i].name);
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
        for (size_t i = 0; i < seals.size(); ++i) {
            std::string text;
            EXPECT_TRUE(sealed[i].frames.whole) << d.name << ", " << seals[i].name;
            EXPECT_TRUE(nm_join_data(sealed[i].frames.texts, &text)) << d.name << ", " << seals[i].name;
            opens.push_back({seals[i].name, nm_request(2, 0, std::string(".") + IDS[i] + PASSWORD, text), {}});
        }
        std::vector<HostRun> opened = run_hosts(opens, d.opener);
        for (size_t i = 0; i < opens.size(); ++i) {
            std::string text;
            ASSERT_FALSE(opened[i].frames.texts.empty()) << d.name << ", " << opens[i].name;
            EXPECT_EQ(opened[i].frames.texts.back(), NM_END) << d.name << ", " << opens[i].name;
            EXPECT_TRUE(nm_join_data(opened[i].frames.texts, &text)) << d.name << ", " << opens[i].name;
            EXPECT_TRUE(text == base64_of(plain)) << d.name << ", " << opens[i].name;
        }
    }
}

} // namespace
