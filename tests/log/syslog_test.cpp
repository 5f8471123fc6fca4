// Syslog client: datagram shape, cuts, mask and the console print paths.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <ctime>
#include <regex>
#include <string>
#include <unistd.h>
#if defined(_WIN32)
#include <windows.h>
#endif

#include "log/console.h"
#include "log/syslog.h"
#include "tests/support/udp_capture.h"

namespace {

class SyslogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        syslog_init();
        ASSERT_TRUE(udp_capture_open(&capture, 0));
        syslog_set_destination("localhost", capture.port);
        syslog_set_mask(255);
    }
    void TearDown() override { udp_capture_close(&capture); }
    std::vector<std::string> collect() { return udp_capture_collect(&capture, 200); }
    UdpCapture capture = {-1, 0};
};

// The name the client writes as HOST: the host name, or on Windows the computer name.
std::string computer_name()
{
    char name[256] = {};
#if defined(_WIN32)
    DWORD size = sizeof name;
    GetComputerNameA(name, &size);
#else
    gethostname(name, sizeof name - 1);
#endif
    return std::string(name).substr(0, SYSLOG_COMPUTER_NAME_MAX);
}

TEST_F(SyslogTest, FirstMessageOpensWithEmptyIdentAndLaterOpenChangesNothing)
{
    log_message("user_print_out set");
    syslog_open("tavrinhost", 9, 8);
    log_message("second");
    auto got = collect();
    ASSERT_EQ(got.size(), 2u);
    std::regex header("<13>(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [ 123][0-9] "
                      "[0-2][0-9]:[0-5][0-9]:[0-6][0-9] ");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(got[0], m, header)) << got[0];
    EXPECT_EQ(m.position(0), 0);
    EXPECT_EQ(got[0].substr(m.length(0)), computer_name() + " : user_print_out set");
    EXPECT_EQ(got[1].substr(m.length(0)), computer_name() + " : second");
}

TEST_F(SyslogTest, ExplicitOpenOnClosedChannelWritesIdentAndProcessId)
{
    syslog_open("tavrinhost", 9, 8);
    log_message("FIPS mode enabled");
    auto got = collect();
    ASSERT_EQ(got.size(), 1u);
    std::string tail = " " + computer_name() + " tavrinhost[" + std::to_string(getpid()) +
                       "]: FIPS mode enabled";
    ASSERT_GE(got[0].size(), tail.size());
    EXPECT_EQ(got[0].substr(got[0].size() - tail.size()), tail);
}

TEST_F(SyslogTest, DayOfMonthIsRightAlignedInTwoCharacters)
{
    log_message("x");
    auto got = collect();
    ASSERT_EQ(got.size(), 1u);
    time_t now = time(nullptr);
    struct tm local = *localtime(&now);
    char expected[8];
    snprintf(expected, sizeof expected, "%2d ", local.tm_mday);
    EXPECT_EQ(got[0].substr(8, 3), expected) << got[0];
}

TEST_F(SyslogTest, TextIsCutAtFirstLineBreak)
{
    const struct {
        const char* message;
        const char* sent;
    } cases[] = {
        {"a\r\nb", "a"},
        {"ends in a line feed\n", "ends in a line feed"},
        {"a\rb\nc", "a"},
        {"\n", ""},
    };
    for (const auto& c : cases) {
        log_message("%s", c.message);
        auto got = collect();
        ASSERT_EQ(got.size(), 1u) << c.message;
        EXPECT_EQ(syslog_message_of(got[0]), c.sent) << "message " << c.message;
        EXPECT_EQ(got[0].find('\0'), std::string::npos);
    }
}

TEST_F(SyslogTest, LongMessageIsCutToTheDatagramSize)
{
    std::string big(5000, 'x');
    log_message("%s", big.c_str());
    auto got = collect();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].size(), static_cast<size_t>(SYSLOG_DATAGRAM_MAX - 1));
    EXPECT_EQ(got[0].back(), 'x');
}

TEST_F(SyslogTest, ClearedNoticeBitSendsNothing)
{
    syslog_set_mask(0xFF & ~0x20);
    log_message("silent");
    EXPECT_TRUE(collect().empty());
    syslog_set_mask(0x20);
    log_message("heard");
    EXPECT_EQ(collect().size(), 1u);
}

TEST_F(SyslogTest, CryptoErrorLineIsNotAFormatAndStopsTheListing)
{
    const char* line = "error:%s%n:provider";
    EXPECT_EQ(log_crypto_error_line(line, strlen(line), nullptr), 0);
    auto got = collect();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(syslog_message_of(got[0]), line);
}

TEST_F(SyslogTest, FailedLookupFallsBackToLoopbackPort514)
{
    // The fallback goes to 127.0.0.1:514, not to the capture port.
    syslog_set_destination("no-such-host.invalid", capture.port);
    log_message("lost");
    EXPECT_TRUE(collect().empty());
    syslog_set_destination("", capture.port);
    log_message("lost too");
    EXPECT_TRUE(collect().empty());
}

TEST(SecretLength, FormatsTheLengthOnly)
{
    char text[SECRET_LENGTH_TEXT_SIZE];
    EXPECT_STREQ(secret_length_text(32, text, sizeof text), "[32 bytes]");
    EXPECT_STREQ(secret_length_text(0, text, sizeof text), "[0 bytes]");
    char small[4];
    EXPECT_STREQ(secret_length_text(12345, small, sizeof small), "[12");
}

// The hooks are process-wide: this test runs in a process of its own (ctest runs each
// case separately) and restores nothing.
int recorded_calls = 0;
std::string recorded;
int record_hook(const char* format, va_list args)
{
    char text[256];
    vsnprintf(text, sizeof text, format, args);
    recorded += text;
    recorded += '|';
    return ++recorded_calls;
}

TEST(ConsolePaths, HooksTakeTheTextAndErrHookAnnouncesThroughOut)
{
    set_console_output(false);
    EXPECT_EQ(print_out("dropped %d", 1), 0);
    EXPECT_EQ(print_err("dropped %d", 2), 0);
    set_user_print_out(record_hook);
    EXPECT_EQ(recorded, "user_print_out set|");
    set_user_print_err(record_hook);
    EXPECT_EQ(recorded, "user_print_out set|user_print_err set|");
    EXPECT_EQ(print_err("e%d", 7), 3);
    EXPECT_EQ(print_out("o%s", "k"), 4);
    EXPECT_EQ(recorded, "user_print_out set|user_print_err set|e7|ok|");
}

} // namespace
