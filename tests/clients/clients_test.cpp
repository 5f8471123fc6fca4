// The two command-line clients against the real host and the real server: the same cases for
// both, as they share options, password sources, prompts, defaults and exit statuses.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <poll.h>
#include <unistd.h>

#include "clients/client_common.h"
#include "tests/http/live_server.h"
#include "tests/support/process.h"
#include "tests/support/udp_capture.h"

namespace fs = std::filesystem;

namespace {

// Container size beyond the plaintext: "Salted__", salt, IV (12 for GCM, else 16), GCM tag.
constexpr size_t GCM_EXTRA = 8 + 16 + 12 + 16;
constexpr size_t CTR_EXTRA = 8 + 16 + 16;

std::string read_file(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const fs::path& path, const std::string& data)
{
    std::ofstream(path, std::ios::binary) << data;
}

// text with every "%" replaced by the program name.
std::string named(std::string text, const std::string& program)
{
    for (size_t at; (at = text.find('%')) != std::string::npos;)
        text.replace(at, 1, program);
    return text;
}

// Reads the terminal until its output holds needle (carriage returns dropped); false when
// the terminal closes or 10 s pass first.
bool read_terminal_until(int fd, const std::string& needle, std::string* seen)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (seen->find(needle) == std::string::npos) {
        pollfd p = {fd, POLLIN, 0};
        if (std::chrono::steady_clock::now() > end)
            return false;
        if (poll(&p, 1, 100) <= 0)
            continue;
        char buffer[256];
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0)
            return false;
        for (ssize_t i = 0; i < n; ++i)
            if (buffer[i] != '\r')
                seen->push_back(buffer[i]);
    }
    return true;
}

// Parameter: the program under test.
class ClientTest : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(syslog_capture_open(&syslog));
        if (http()) {
            ASSERT_TRUE(live_server_start(&server)) << server.output;
        }
        folder = fs::temp_directory_path() / (GetParam() + "-" + std::to_string(getpid()));
        fs::create_directories(folder);
    }
    void TearDown() override
    {
        if (http())
            live_server_stop(&server);
        fs::remove_all(folder);
        udp_capture_close(&syslog);
    }

    bool http() const { return GetParam() == "tavrinhost-http"; }

    // The command line: the program, the test server's port for tavrinhost-http, and args.
    std::vector<std::string> command(const std::vector<std::string>& args) const
    {
        std::vector<std::string> all = {GetParam()};
        if (http())
            all.insert(all.end(), {"-p", std::to_string(server.port)});
        all.insert(all.end(), args.begin(), args.end());
        return all;
    }

    // A run with TAVRINHOST_PASSWORD set to password (null: unset).
    ProcessResult run(const std::vector<std::string>& args, const char* password,
                      const std::string& input = {})
    {
        std::string env = std::string(CLIENT_PASSWORD_VARIABLE) + "=" + (password ? password : "");
        ProcessResult r = run_process(build_program(GetParam()), command(args), {env}, input);
        r.err = with_line_feeds(r.err); // a Windows program's messages end in CR LF
        return r;
    }

    UdpCapture syslog = {-1, 0};
    LiveServer server = {};
    fs::path folder;
};

TEST_P(ClientTest, ContainersRoundTripWithTheSafeDefault)
{
    const std::string plain_path = (folder / "plain").string(),
                      sealed = (folder / "sealed").string();
    const std::string key_file = (folder / "key").string();
    write_file(key_file, "pw\nnot the password\n");
    const struct {
        std::string name;
        std::vector<std::string> encrypt; // arguments besides -i and -o
        const char* password;
        size_t size;                      // plaintext bytes
        size_t extra;                     // container bytes beyond them
        std::vector<std::string> decrypt; // arguments besides -i
        const char* decrypt_password;
        int status; // of the decryption
    } cases[] = {
        // clang-format off
        {"no prefix: .1 (GCM)", {"-e"}, "pw", 1000, GCM_EXTRA, {"-d"}, ".1pw", 0},
        {"GCM refuses a wrong password", {}, "pw", 10, GCM_EXTRA, {"-d"}, "px", 1},
        {"a prefix passes unchanged", {"encrypt"}, ".5pw", 1 << 20, CTR_EXTRA, {"decrypt", "-m", "5"}, "pw", 0},
        {"-m picks the id", {"-m", "3"}, "pw", 1000, 48, {"-d"}, ".3pw", 0},
        {"-a writes and reads Base64 text", {"-a"}, "pw", 3, GCM_EXTRA, {"-d", "-a"}, "pw", 0},
        {"JSON escapes as a browser sends them", {}, "quote\" back\\slash\ttab", 100, GCM_EXTRA, {"-d"},
         "quote\" back\\slash\ttab", 0},
        {"-k FILE: its first line, before the environment", {"-k", key_file}, "other", 1, GCM_EXTRA,
         {"-d"}, "pw", 0},
        // clang-format on
    };
    std::mt19937 generator(7);
    for (const auto& c : cases) {
        std::string plain(c.size, '\0');
        for (char& b : plain)
            b = static_cast<char>(generator());
        write_file(plain_path, plain);
        std::vector<std::string> args = c.encrypt;
        args.insert(args.end(), {"-i", plain_path, "-o", sealed});
        ProcessResult e = run(args, c.password);
        ASSERT_EQ(e.status, 0) << c.name << ": " << e.err;
        std::string container = read_file(sealed);
        if (c.encrypt == std::vector<std::string>{"-a"}) {
            ASSERT_EQ(container.back(), '\n') << c.name;
            ASSERT_TRUE(client_from_base64(container.substr(0, container.size() - 1), &container))
                << c.name;
        }
        EXPECT_EQ(container.rfind("Salted__", 0), 0u) << c.name;
        EXPECT_EQ(container.size(), c.size + c.extra) << c.name;

        args = c.decrypt;
        args.insert(args.end(), {"-i", sealed});
        ProcessResult d = run(args, c.decrypt_password);
        EXPECT_EQ(d.status, c.status) << c.name << ": " << d.err;
        EXPECT_TRUE(c.status == 0 ? d.out == plain && d.err.empty()
                                  : d.out.empty() && !d.err.empty())
            << c.name << ": " << d.err;
    }
}

TEST_P(ClientTest, HelpRefusalsAndStatusAnswerWithTheirExitStatus)
{
    const struct {
        std::vector<std::string> args;
        const char* password;
        std::string input;
        int status;
        std::string out, err; // "%" stands for the program name; out "usage: %" is a prefix
    } cases[] = {
        {{"--help"}, nullptr, "", 0, "usage: %", ""},
        {{"-h"}, nullptr, "", 0, "usage: %", ""},
        {{"--status"}, nullptr, "", 0, "{\"status\":\"OK\",\"version\":\"1.0.2\"}\n", ""},
        {{"-x"}, "pw", "data", 2, "", "%: unknown option -x; see % --help\n"},
        {{"-m", "4"}, "pw", "data", 2, "", "%: this value is not valid: 4; see % --help\n"},
        {{"-k"}, "pw", "data", 2, "", "%: a value is missing after -k; see % --help\n"},
        {{"-e"}, "pw", "", 1, "", "%: the input is empty; there is nothing to encrypt\n"},
        {{"-d", "-a"}, "pw", "\r\n", 1, "", "%: the input is empty; there is nothing to decrypt\n"},
        {{"-k", "/nonexistent/key"}, nullptr, "data", 1, "", "%: cannot read /nonexistent/key: No such file or directory\n"},
        {{"-d"}, "pw", "not a container", 1, "", ""},
    };
    for (const auto& c : cases) {
        std::string name = c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : "");
        ProcessResult r = run(c.args, c.password, c.input);
        std::string out = named(c.out, GetParam());
        EXPECT_EQ(r.status, c.status) << name << ": " << r.err;
        if (c.out.rfind("usage: ", 0) == 0) {
            EXPECT_EQ(r.out.rfind(out, 0), 0u) << name << ": " << r.out;
        } else {
            EXPECT_EQ(r.out, out) << name;
        }
        if (c.err.empty() && c.status != 0) {
            EXPECT_NE(r.err, "") << name << ": a failure without a reason";
        } else {
            EXPECT_EQ(r.err, named(c.err, GetParam())) << name;
        }
    }
    if (http()) {
        int port = free_tcp_port();
        ProcessResult r = run_process(build_program(GetParam()),
                                      {GetParam(), "--status", "-p", std::to_string(port)}, {});
        EXPECT_EQ(r.status, 1);
        std::string expected =
            "tavrinhost-http: cannot connect to 127.0.0.1:" + std::to_string(port);
        EXPECT_EQ(r.err.rfind(expected + ": ", 0), 0u) << r.err;
    }
}

TEST_P(ClientTest, TerminalPromptAsksTwiceToEncrypt)
{
    if (windows_program(GetParam()))
        GTEST_SKIP() << "a Windows console is no POSIX terminal: wine's console on a "
                        "pseudo-terminal does not draw the prompts for a program whose output is "
                        "a pipe, and drops Ctrl-Z";
    const std::string plain_path = (folder / "plain").string(),
                      sealed = (folder / "sealed").string();
    write_file(plain_path, "typed at a terminal");
    const struct {
        std::string name;
        std::vector<std::string> args;
        std::vector<std::string> typed; // one answer per prompt
        std::string transcript;         // what the terminal showed
        int status;
        std::string out, err;
    } cases[] = {
        // clang-format off
        {"encrypt", {"-e", "-i", plain_path, "-o", sealed}, {"pw\n", "pw\n"},
         "Password: \nRepeat the password: \n", 0, "", ""},
        {"decrypt asks once", {"-d", "-i", sealed}, {"pw\n"}, "Password: \n", 0, "typed at a terminal", ""},
        {"two different passwords", {"-i", plain_path}, {"pw\n", "px\n"},
         "Password: \nRepeat the password: \n", 1, "", "%: the two passwords differ\n"},
        {"the terminal's input ends", {"-i", plain_path}, {"\x04"}, "Password: \n", 2, "",
         "%: a password is needed: -k FILE, TAVRINHOST_PASSWORD or a terminal\n"},
        // clang-format on
    };
    for (const auto& c : cases) {
        ChildProcess child;
        ASSERT_TRUE(start_child_on_terminal(build_program(GetParam()), command(c.args),
                                            {std::string(CLIENT_PASSWORD_VARIABLE) + "="}, &child));
        std::string shown;
        for (size_t k = 0; k < c.typed.size(); ++k) {
            ASSERT_TRUE(read_terminal_until(
                child.stdin_fd, k == 0 ? "Password: " : "Repeat the password: ", &shown))
                << c.name << ": " << shown;
            ASSERT_TRUE(write_all(child.stdin_fd, c.typed[k].data(), c.typed[k].size()));
        }
        read_terminal_until(child.stdin_fd, "\x01", &shown); // to the terminal's end
        EXPECT_EQ(read_to_end(child.stdout_fd), c.out) << c.name;
        std::string err = read_to_end(child.stderr_fd);
        EXPECT_EQ(wait_child(&child), c.status) << c.name << ": " << err;
        EXPECT_EQ(shown, c.transcript) << c.name;
        EXPECT_EQ(err, named(c.err, GetParam())) << c.name;
    }
    // The typed password went out behind the default prefix.
    ProcessResult d = run({"-d", "-i", sealed}, ".1pw");
    EXPECT_EQ(d.out, "typed at a terminal") << d.err;
}

INSTANTIATE_TEST_SUITE_P(Clients, ClientTest, ::testing::Values("tavrinhost-nm", "tavrinhost-http"),
                         [](const auto& run) {
                             return run.param == "tavrinhost-nm" ? "nm" : "http";
                         });

} // namespace
