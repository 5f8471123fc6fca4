// Mode and port chosen from the command line.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "app/command_line.h"

namespace {

struct Parsed {
    HostMode mode;
    int port;
};

Parsed parse(std::vector<const char*> args)
{
    args.insert(args.begin(), "tavrinhost");
    int argc = static_cast<int>(args.size());
    return {choose_mode(argc, args.data()), scan_port(argc, args.data())};
}

const char* name_of(HostMode mode)
{
    switch (mode) {
    case HostMode::FipsCheck: return "fips";
    case HostMode::NativeMessaging: return "native";
    case HostMode::Server: return "server";
    case HostMode::Help: return "help";
    case HostMode::Version: return "version";
    }
    return "?";
}

TEST(CommandLine, ModeIsChosenByExactWords)
{
    const struct {
        std::vector<const char*> args;
        HostMode mode;
    } cases[] = {
        {{}, HostMode::NativeMessaging},
        {{"fips"}, HostMode::FipsCheck},
        {{"fips", "extra"}, HostMode::NativeMessaging},
        {{"FIPS"}, HostMode::NativeMessaging},
        {{"fipsx"}, HostMode::NativeMessaging},
        {{"fip"}, HostMode::NativeMessaging},
        {{"-s", "server"}, HostMode::Server},
        {{"-p", "8080", "-s", "server"}, HostMode::Server},
        {{"-s", "servers"}, HostMode::NativeMessaging},
        {{"-s", "Server"}, HostMode::NativeMessaging},
        {{"-s"}, HostMode::NativeMessaging},
        {{"server", "-s"}, HostMode::NativeMessaging},
        {{"-s", "-s", "server"}, HostMode::NativeMessaging},
        {{"-s", "other", "-s", "server"}, HostMode::Server},
        {{"-s", "server", "-s", "other"}, HostMode::Server},
        {{"-S", "server"}, HostMode::NativeMessaging},
        {{"-sx", "server"}, HostMode::NativeMessaging},
        {{"-p", "8080"}, HostMode::NativeMessaging},
        {{"fips", "-s", "server"}, HostMode::Server},
        {{"--help"}, HostMode::Help},
        {{"-h"}, HostMode::Help},
        {{"--version"}, HostMode::Version},
        {{"--help", "fips"}, HostMode::NativeMessaging},
        {{"-s", "server", "--help"}, HostMode::Server},
        {{"--version", "-s", "server"}, HostMode::Server},
        {{"-help"}, HostMode::NativeMessaging},
    };
    for (const auto& c : cases) {
        std::string shown;
        for (const char* a : c.args)
            shown += std::string(a) + " ";
        EXPECT_STREQ(name_of(parse(c.args).mode), name_of(c.mode)) << "arguments: " << shown;
    }
}

TEST(CommandLine, ProgramNameTakesPartInTheServerScan)
{
    const char* argv[] = {"-s", "server"};
    EXPECT_EQ(choose_mode(2, argv), HostMode::Server);
}

TEST(CommandLine, PortIsReadAtOddPositionsWithAtoiRules)
{
    const struct {
        std::vector<const char*> args;
        int port;
        uint16_t tcp_port;
    } cases[] = {
        {{"-s", "server"}, 7777, 7777},
        {{"-s", "server", "-p", "8080"}, 8080, 8080},
        {{"-p", "8080", "-s", "server"}, 8080, 8080},
        {{"x", "-p", "8080", "-s", "server"}, 7777, 7777},
        {{"-pfoo", "9000", "-s", "server"}, 9000, 9000},
        {{"-port", "9001", "-s", "server"}, 9001, 9001},
        {{"-s", "server", "-p", "abc"}, 0, 0},
        {{"-s", "server", "-p", "  42abc"}, 42, 42},
        {{"-s", "server", "-p", "-5"}, -5, 65531},
        {{"-s", "server", "-p", "70000"}, 70000, 4464},
        {{"-p", "1", "-s", "server", "-p", "2"}, 2, 2},
        {{"-s", "server", "-p"}, 7777, 7777},
    };
    for (const auto& c : cases) {
        std::string shown;
        for (const char* a : c.args)
            shown += std::string(a) + " ";
        Parsed parsed = parse(c.args);
        EXPECT_EQ(parsed.port, c.port) << "arguments: " << shown;
        EXPECT_EQ(static_cast<uint16_t>(parsed.port), c.tcp_port) << "arguments: " << shown;
    }
}

} // namespace
