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

// The first message opens the channel with an empty ident, and a later open changes nothing;
// an explicit open of a closed channel writes the ident and the process id.
TEST_F(SyslogTest, HeaderHasPriorityLocalTimeHostIdentAndProcessId)
{
    log_message("user_print_out set");
    syslog_open("tavrinhost", 9, 8);
    log_message("second");
    syslog_set_destination("localhost", capture.port); // closes the channel
    syslog_open("tavrinhost", 9, 8);
    log_message("FIPS mode enabled");
    auto got = collect();
    ASSERT_EQ(got.size(), 3u);
    time_t now = time(nullptr);
    char day[4];
    snprintf(day, sizeof day, "%2d ", localtime(&now)->tm_mday); // right-aligned in two characters
    std::regex header("<13>(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) " + std::string(day) +
                      "[0-2][0-9]:[0-5][0-9]:[0-6][0-9] ");
    const std::string host = computer_name();
    const std::string tails[] = {host + " : user_print_out set", host + " : second",
                                 host + " tavrinhost[" + std::to_string(getpid()) + "]: FIPS mode enabled"};
    for (size_t i = 0; i < 3; ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_search(got[i], m, header)) << got[i];
        EXPECT_EQ(m.position(0), 0);
        EXPECT_EQ(got[i].substr(static_cast<size_t>(m.length(0))), tails[i]);
    }
}

// A datagram ends at the first line break, and a long message at the datagram size.
TEST_F(SyslogTest, TextIsCutAtTheFirstLineBreakAndToTheDatagramSize)
{
    const struct {
        const char* message;
        const char* sent;
    } cases[] = {{"a\r\nb", "a"}, {"ends in a line feed\n", "ends in a line feed"}, {"a\rb\nc", "a"}, {"\n", ""}};
    for (const auto& c : cases)
        log_message("%s", c.message);
    log_message("%s", std::string(5000, 'x').c_str());
    auto got = collect();
    ASSERT_EQ(got.size(), std::size(cases) + 1);
    for (size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(syslog_message_of(got[i]), cases[i].sent) << "message " << cases[i].message;
        EXPECT_EQ(got[i].find('\0'), std::string::npos);
    }
    EXPECT_EQ(got.back().size(), static_cast<size_t>(SYSLOG_DATAGRAM_MAX - 1));
    EXPECT_EQ(got.back().back(), 'x');
}

// Nothing reaches the capture with the notice bit cleared, nor when the host lookup fails
// (the datagram then goes to 127.0.0.1:514, not to the capture port). A crypto library
// line is logged as it stands, never as a format, and ends the listing.
TEST_F(SyslogTest, MaskLookupFallbackAndCryptoErrorLines)
{
    syslog_set_mask(0xFF & ~0x20);
    log_message("silent");
    syslog_set_mask(0x20);
    const char* line = "error:%s%n:provider";
    EXPECT_EQ(log_crypto_error_line(line, strlen(line), nullptr), 0);
    auto got = collect();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(syslog_message_of(got[0]), line);
    for (const char* host : {"no-such-host.invalid", ""}) {
        syslog_set_destination(host, capture.port);
        log_message("lost");
        EXPECT_TRUE(collect().empty()) << "host \"" << host << "\"";
    }
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
