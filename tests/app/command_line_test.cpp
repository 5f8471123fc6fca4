// Mode, port and listening address chosen from the command line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/command_line.h"

namespace {

// Arguments as they follow the program name; the port is what the server gets (atoi rules,
// odd positions only; the server takes it modulo 65536).
TEST(CommandLine, ModePortAndAddressAreChosenByExactWordsAndPositions)
{
    using M = HostMode;
    const struct {
        std::vector<const char*> args;
        HostMode mode;
        int port = 7777;
        const char* address = nullptr;
    } cases[] = {
        {{}, M::NativeMessaging},
        {{"fips"}, M::FipsCheck},
        {{"fips", "extra"}, M::NativeMessaging},
        {{"FIPS"}, M::NativeMessaging},
        {{"fipsx"}, M::NativeMessaging},
        {{"fip"}, M::NativeMessaging},
        {{"--help"}, M::Help},
        {{"-h"}, M::Help},
        {{"--version"}, M::Version},
        {{"--help", "fips"}, M::NativeMessaging},
        {{"-help"}, M::NativeMessaging},
        {{"-s", "server"}, M::Server},
        {{"-s", "servers"}, M::NativeMessaging},
        {{"-s", "Server"}, M::NativeMessaging},
        {{"-s"}, M::NativeMessaging},
        {{"server", "-s"}, M::NativeMessaging},
        {{"-s", "-s", "server"}, M::NativeMessaging},
        {{"-s", "other", "-s", "server"}, M::Server},
        {{"-s", "server", "-s", "other"}, M::Server},
        {{"-S", "server"}, M::NativeMessaging},
        {{"-sx", "server"}, M::NativeMessaging},
        {{"fips", "-s", "server"}, M::Server},
        {{"-s", "server", "--help"}, M::Server},
        {{"--version", "-s", "server"}, M::Server},
        {{"-p", "8080"}, M::NativeMessaging, 8080},
        {{"-s", "server", "-p", "8080"}, M::Server, 8080},
        {{"-p", "8080", "-s", "server"}, M::Server, 8080},
        {{"x", "-p", "8080", "-s", "server"}, M::Server, 7777},
        {{"-pfoo", "9000", "-s", "server"}, M::Server, 9000},
        {{"-s", "server", "-p", "abc"}, M::Server, 0},
        {{"-s", "server", "-p", "  42abc"}, M::Server, 42},
        {{"-s", "server", "-p", "-5"}, M::Server, -5},
        {{"-s", "server", "-p", "70000"}, M::Server, 70000},
        {{"-p", "1", "-s", "server", "-p", "2"}, M::Server, 2},
        {{"-s", "server", "-p"}, M::Server, 7777},
        {{"-s", "server", "-b", "127.0.0.1"}, M::Server, 7777, "127.0.0.1"},
        {{"-b", "::1", "-s", "server", "-b", "10.0.0.1"}, M::Server, 7777, "10.0.0.1"},
        {{"x", "-b", "::1", "-s", "server"}, M::Server, 7777, "::1"},
        {{"-s", "server", "-b"}, M::Server},
    };
    for (const auto& c : cases) {
        std::vector<const char*> argv = {"tavrinhost"};
        std::string shown;
        for (const char* a : c.args) {
            argv.push_back(a);
            shown += std::string(a) + " ";
        }
        int argc = static_cast<int>(argv.size());
        EXPECT_EQ(int(choose_mode(argc, argv.data())), int(c.mode)) << "arguments: " << shown;
        EXPECT_EQ(scan_port(argc, argv.data()), c.port) << "arguments: " << shown;
        const char* address = scan_bind_address(argc, argv.data());
        EXPECT_STREQ(address ? address : "(all)", c.address ? c.address : "(all)") << "arguments: " << shown;
    }
    const char* program_named_s[] = {"-s", "server"}; // the program name takes part in the scan
    EXPECT_EQ(choose_mode(2, program_named_s), HostMode::Server);
}

} // namespace
