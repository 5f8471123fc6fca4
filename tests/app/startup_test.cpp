// Start-up of the real program: exit status, console lines and syslog messages of each start.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "app/command_line.h"
#include "app/fips_check.h"
#include "app/native_messaging.h"
#include "tests/app/native_messaging_harness.h"
#include "tests/support/process.h"
#include "tests/support/udp_capture.h"

namespace {

class StartupTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(syslog_capture_open(&syslog)); }
    void TearDown() override { udp_capture_close(&syslog); }

    // Syslog messages since the last call; a line of the crypto library becomes "<library>".
    std::vector<std::string> messages()
    {
        std::vector<std::string> out;
        for (const std::string& d : udp_capture_collect(&syslog)) {
            std::string m = syslog_message_of(d);
            out.push_back(m.find("error:") != std::string::npos ? "<library>" : m);
        }
        return out;
    }
    UdpCapture syslog = {-1, 0};
};

// A run on a terminal: the terminal's input ends (Ctrl-D) at once.
ProcessResult run_on_terminal(const std::vector<std::string>& args,
                              const std::vector<std::string>& env)
{
    ChildProcess child;
    if (!start_child_on_terminal(build_program("tavrinhost"), args, env, &child))
        return {-1, {}, {}};
    write_all(child.stdin_fd, "\x04", 1);
    std::string err;
    std::thread errors([&] { err = read_to_end(child.stderr_fd); });
    std::string out = read_to_end(child.stdout_fd);
    errors.join();
    return {wait_child(&child), out, err};
}

TEST_F(StartupTest, ExitStatusAndConsoleLinesOfEachStart)
{
    // A Windows console is no POSIX terminal: the terminal cases are this platform's only.
    const bool windows = windows_program("tavrinhost");
    auto empty = std::filesystem::temp_directory_path() / ("no-fips-" + std::to_string(getpid()));
    std::filesystem::create_directories(empty);
    const std::string no_provider = "OPENSSL_MODULES=" + empty.string();
    const std::string closed_input = nm_frame(NM_INVALID_PAYLOAD) + nm_frame(END_FRAME_TEXT);
    const std::vector<std::string> fips_failed = {"user_print_out set", "user_print_err set",
                                                  "Failed to load FIPS provider.", "<library>",
                                                  "Error: FIPS mode could not be enabled."};
    const struct {
        std::vector<std::string> args;
        std::string env;
        bool terminal; // a terminal on standard input instead of a closed pipe
        int status;
        std::string out, err;
        std::vector<std::string> logged; // empty: not looked at
    } cases[] = {
        // clang-format off
        {{"fips"}, "", false, 0, "", "FIPS mode enabled OK\n",
         {"user_print_out set", "user_print_err set", "FIPS mode enabled OK"}},
        {{"fips"}, no_provider, false, 1, "", FIPS_PROVIDER_MISSING_LINE, fips_failed},
        {{"-s", "server", "-p", "1"}, no_provider, false, 1, "", FIPS_PROVIDER_MISSING_LINE, {}},
        {{"-h"}, "", false, 0, HOST_USAGE, "", {}},
        {{"--version"}, "", false, 0, "tavrinhost 1.0.2\n", "", {}},
        // Anything else is native messaging: silent on a pipe, one hint line on a terminal.
        {{"--help", "-x"}, "", false, 0, closed_input, "", {}},
        {{"-s", "sever"}, "", false, 0, closed_input, "", {}},
        {{"-s", "sever"}, "", true, 0, closed_input, HOST_TERMINAL_HINT, {}},
        {{}, no_provider, true, 0, closed_input, HOST_TERMINAL_HINT, {}},
        // clang-format on
    };
    for (const auto& c : cases) {
        if (c.terminal && windows)
            continue;
        std::vector<std::string> args = {"tavrinhost"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        std::string name = "tavrinhost";
        for (const std::string& a : c.args)
            name += " " + a;
        name += (c.env.empty() ? "" : " without the provider") +
                std::string(c.terminal ? " on a terminal" : "");
        std::vector<std::string> env(!c.env.empty(), c.env);
        ProcessResult r = c.terminal ? run_on_terminal(args, env)
                                     : run_process(build_program("tavrinhost"), args, env);
        if (windows) {
            // Its console lines end in CR LF (under wine, through tests/support/process.h).
            r.out = with_line_feeds(r.out);
            r.err = with_line_feeds(r.err);
        }
        EXPECT_EQ(r.status, c.status) << name;
        EXPECT_TRUE(r.out == c.out)
            << name << ": standard output " << testing::PrintToString(r.out);
        EXPECT_EQ(r.err, c.err) << name;
        std::vector<std::string> logged = messages();
        if (!c.logged.empty()) {
            EXPECT_EQ(logged, c.logged) << name;
        }
    }
    std::filesystem::remove_all(empty);
}

// Without a launcher the program takes the provider and its configuration from its own folder,
// unless a variable names others. (This build's program; the Windows program under wine finds
// its provider that way in every test here.)
TEST_F(StartupTest, ProviderBesideTheProgramServesWhenNoVariableNamesOne)
{
    const char* modules = getenv("OPENSSL_MODULES");
    const char* config = getenv("OPENSSL_CONF");
    ASSERT_TRUE(modules && config) << "the test's own provider is not set";
    auto folder = std::filesystem::temp_directory_path() / ("beside-" + std::to_string(getpid()));
    auto empty = folder / "empty";
    std::filesystem::create_directories(empty);
    std::filesystem::copy_file(this_build_program("tavrinhost"), folder / "tavrinhost");
    std::filesystem::copy_file(std::filesystem::path(modules) / "fips.so", folder / "fips.so");
    std::filesystem::copy_file(config, folder / "openssl.cnf");
    const struct {
        const char* name;
        std::vector<std::string> env;
        int status;
        std::string err;
    } cases[] = {
        {"no variable set", {"OPENSSL_MODULES=", "OPENSSL_CONF="}, 0, "FIPS mode enabled OK\n"},
        {"a set variable wins", {"OPENSSL_MODULES=" + empty.string(), "OPENSSL_CONF="}, 1,
         FIPS_PROVIDER_MISSING_LINE},
    };
    for (const auto& c : cases) {
        ProcessResult r = run_process((folder / "tavrinhost").string(), {"tavrinhost", "fips"}, c.env);
        EXPECT_EQ(r.status, c.status) << c.name;
        EXPECT_EQ(r.err, c.err) << c.name;
    }
    std::filesystem::remove_all(folder);
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
