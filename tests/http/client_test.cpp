// tavrinhost-http against the real server: files round trip, Base64 containers, failures.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include <unistd.h>

#include "tests/http/live_server.h"
#include "tests/support/process.h"
#include "tests/support/udp_capture.h"

namespace fs = std::filesystem;

namespace {

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

class ClientTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(syslog_capture_open(&syslog));
        ASSERT_TRUE(live_server_start(&server)) << server.output;
        folder = fs::temp_directory_path() / ("tavrinhost-http-" + std::to_string(getpid()));
        fs::create_directories(folder);
    }
    void TearDown() override
    {
        live_server_stop(&server);
        fs::remove_all(folder);
        udp_capture_close(&syslog);
    }

    ProcessResult client(std::vector<std::string> args, const std::string& password,
                         const std::string& input = {})
    {
        args.insert(args.begin(), "tavrinhost-http");
        args.insert(args.end(), {"-p", std::to_string(server.port)});
        return run_process(build_program("tavrinhost-http"), args,
                           {"TAVRINHOST_PASSWORD=" + password}, input);
    }

    UdpCapture syslog = {-1, 0};
    LiveServer server = {};
    fs::path folder;
};

TEST_F(ClientTest, FilesRoundTripThroughTheServer)
{
    std::mt19937 generator(3);
    for (size_t size : {size_t{1}, size_t{3}, size_t{4096}, size_t{1} << 20}) {
        std::string plain(size, '\0');
        for (char& c : plain)
            c = static_cast<char>(generator());
        write_file(folder / "plain", plain);
        ProcessResult e = client({"encrypt", "-i", (folder / "plain").string(), "-o",
                                  (folder / "sealed").string()},
                                 "file password");
        ASSERT_EQ(e.status, 0) << size << ": " << e.err;
        std::string sealed = read_file(folder / "sealed");
        EXPECT_EQ(sealed.rfind("Salted__", 0), 0u) << size;
        EXPECT_EQ(sealed.size(), 8 + 16 + 16 + size) << "a '5' container, size " << size;
        ProcessResult d = client({"decrypt", "-i", (folder / "sealed").string()}, "file password");
        ASSERT_EQ(d.status, 0) << size << ": " << d.err;
        EXPECT_EQ(d.out, plain) << size;
    }
}

TEST_F(ClientTest, StandardInputAndBase64Containers)
{
    ProcessResult e = client({"encrypt", "-a"}, ".1gcm password", "from standard input");
    ASSERT_EQ(e.status, 0) << e.err;
    ASSERT_FALSE(e.out.empty());
    EXPECT_EQ(e.out.back(), '\n');
    EXPECT_EQ(e.out.rfind("U2FsdGVkX1", 0), 0u) << e.out;
    ProcessResult d = client({"decrypt", "-a"}, ".1gcm password", e.out);
    ASSERT_EQ(d.status, 0) << d.err;
    EXPECT_EQ(d.out, "from standard input");
}

TEST_F(ClientTest, PasswordWithJsonSpecialCharactersRoundTrips)
{
    const std::string password = "quote\" back\\slash";
    ProcessResult e = client({"encrypt"}, password, "special");
    ASSERT_EQ(e.status, 0) << e.err;
    ProcessResult d = client({"decrypt"}, password, e.out);
    ASSERT_EQ(d.status, 0) << d.err;
    EXPECT_EQ(d.out, "special");
}

TEST_F(ClientTest, FailuresAreReportedWithTheServersReason)
{
    ProcessResult e = client({"encrypt"}, ".1right", "tagged");
    ASSERT_EQ(e.status, 0) << e.err;
    ProcessResult wrong = client({"decrypt"}, ".1wrong", e.out);
    EXPECT_EQ(wrong.status, 1);
    EXPECT_EQ(wrong.out, "");
    EXPECT_NE(wrong.err.find("HTTP/1.1 500 Bad Request: Decryption failed: "), std::string::npos)
        << wrong.err;

    ProcessResult unknown = client({"encrypt"}, ".Zid", "x");
    EXPECT_EQ(unknown.status, 1);
    EXPECT_NE(unknown.err.find("Encryption failed: Unsupported algorithm id"), std::string::npos)
        << unknown.err;

    ProcessResult empty = client({"encrypt"}, "pw", "");
    EXPECT_EQ(empty.status, 1);
    EXPECT_NE(empty.err.find("the input is empty"), std::string::npos) << empty.err;

    ProcessResult usage = run_process(build_program("tavrinhost-http"), {"tavrinhost-http", "seal"}, {});
    EXPECT_EQ(usage.status, 2);
    EXPECT_NE(usage.err.find("usage: tavrinhost-http"), std::string::npos);
}

TEST_F(ClientTest, NoServerIsAConnectionFailure)
{
    int port = free_tcp_port();
    ProcessResult r = run_process(build_program("tavrinhost-http"),
                                  {"tavrinhost-http", "encrypt", "-p", std::to_string(port)},
                                  {"TAVRINHOST_PASSWORD=pw"}, "data");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot connect to 127.0.0.1:" + std::to_string(port)), std::string::npos)
        << r.err;
}

} // namespace
