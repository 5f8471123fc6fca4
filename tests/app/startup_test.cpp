// Start-up of the real program: the fips self-check and its syslog datagrams.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/udp_capture.h"

namespace {

class StartupTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(syslog_capture_open(&syslog));
    }
    void TearDown() override { udp_capture_close(&syslog); }

    std::vector<std::string> messages()
    {
        std::vector<std::string> out;
        for (const std::string& d : udp_capture_collect(&syslog))
            out.push_back(syslog_message_of(d));
        return out;
    }
    UdpCapture syslog = {-1, 0};
};

TEST_F(StartupTest, FipsCheckReportsSuccessInTheSyslogOnly)
{
    ProcessResult r = run_process(build_program("tavrinhost"), {"tavrinhost", "fips"}, {});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(messages(), (std::vector<std::string>{"user_print_out set", "user_print_err set",
                                                     "FIPS mode enabled OK"}));
}

TEST_F(StartupTest, FipsCheckFailureLogsReasonAndOneLibraryLine)
{
    auto empty = std::filesystem::temp_directory_path() / ("no-fips-" + std::to_string(getpid()));
    std::filesystem::create_directories(empty);
    ProcessResult r = run_process(build_program("tavrinhost"), {"tavrinhost", "fips"},
                                  {"OPENSSL_MODULES=" + empty.string()});
    std::filesystem::remove_all(empty);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    auto got = messages();
    ASSERT_EQ(got.size(), 5u);
    EXPECT_EQ(got[0], "user_print_out set");
    EXPECT_EQ(got[1], "user_print_err set");
    EXPECT_EQ(got[2], "Failed to load FIPS provider.");
    EXPECT_NE(got[3].find("error:"), std::string::npos) << got[3];
    EXPECT_EQ(got[4], "Error: FIPS mode could not be enabled.");
}

TEST_F(StartupTest, FirstDatagramsCarryAnEmptyIdent)
{
    ProcessResult r = run_process(build_program("tavrinhost"), {"tavrinhost", "fips"}, {});
    ASSERT_EQ(r.status, 0);
    auto got = udp_capture_collect(&syslog);
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got[0].rfind("<13>", 0), 0u) << got[0];
    EXPECT_NE(got[0].find(" : user_print_out set"), std::string::npos) << got[0];
}

} // namespace
