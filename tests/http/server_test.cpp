// The HTTP server of the real program on loopback: replies byte for byte, round trips,
// connection handling, the listener's port, and containers shared with native messaging.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include "cipher/base64.h"
#include "http/request.h"
#include "http/routes.h"
#include "tests/app/native_messaging_harness.h"
#include "tests/http/live_server.h"
#include "tests/http/reply_table.h"
#include "tests/support/process.h"
#include "tests/support/udp_capture.h"

namespace {

class ServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(syslog_capture_open(&syslog));
        ASSERT_TRUE(live_server_start(&server)) << "no ready notice; output: " << server.output;
    }
    void TearDown() override
    {
        std::string err = live_server_stop(&server);
        EXPECT_EQ(err.find("Sanitizer"), std::string::npos) << err;
        EXPECT_EQ(err.find("runtime error"), std::string::npos) << err;
        udp_capture_close(&syslog);
    }

    // The Base64 body of a 200 reply to /encrypt or /decrypt, "" (with a failure) otherwise.
    std::string cipher_call(const std::string& route, const std::string& pwd,
                            const std::string& payload)
    {
        std::string reply =
            http_exchange(server.port, make_request("POST", route, json_body(pwd, payload)));
        std::string head, body;
        EXPECT_TRUE(split_reply(reply, &head, &body)) << route << ": " << reply.substr(0, 300);
        EXPECT_EQ(head, expected_reply(200, "OK", "application/octet-stream", body).substr(0, head.size()))
            << route << " pwd " << pwd << ": " << reply.substr(0, 300);
        return body;
    }

    UdpCapture syslog = {-1, 0};
    LiveServer server = {};
};

TEST_F(ServerTest, EveryFixedReplyIsSentByteForByte)
{
    for (const ReplyCase& c : fixed_reply_cases()) {
        std::string reply = http_exchange(server.port, c.request), head, body;
        ASSERT_TRUE(split_reply(reply, &head, &body)) << c.name << ": " << reply;
        EXPECT_EQ(body.substr(0, c.body_prefix ? c.body.size() : std::string::npos), c.body) << c.name;
        EXPECT_EQ(reply, expected_reply(c.status, c.reason, c.content_type, body)) << c.name;
    }
}

// One native-messaging exchange with raw set; the joined data of its replies.
std::string native_call(int action, const std::string& pwd, const std::string& data)
{
    std::string joined;
    EXPECT_TRUE(nm_join_data(run_host(nm_request(action, 1, pwd, data, 60000)).frames.texts, &joined));
    return joined;
}

// Every usable id ("" takes the default), bodies from one byte to several MiB (many reads and
// writes). The smaller containers also open through native messaging and the other way round:
// over HTTP "pw" means ".5pw", native messaging takes the password as it stands.
TEST_F(ServerTest, ContainersRoundTripAndOpenAcrossNativeMessaging)
{
    const struct {
        std::string prefix;
        size_t size;
    } cases[] = {{"", 100000}, {".1", 1}, {".2", 1 << 20}, {".3", 17}, {".5", 3 << 20}, {".C", 9 << 20}};
    for (const auto& c : cases) {
        SCOPED_TRACE("prefix '" + c.prefix + "', size " + std::to_string(c.size));
        const std::string plain = pseudo_random_bytes(c.size, static_cast<uint32_t>(c.size));
        const std::string pwd = c.prefix + "pass word", native_pwd = (c.prefix.empty() ? ".5" : "") + pwd;
        std::string made_http = cipher_call("/encrypt", pwd, to_base64(plain));
        ASSERT_FALSE(made_http.empty());
        EXPECT_EQ(from_base64(cipher_call("/decrypt", pwd, made_http)), plain);
        if (c.size > 100000)
            continue; // native messaging's large bodies are its own tests'
        EXPECT_EQ(from_base64(native_call(2, native_pwd, made_http)), plain);
        std::string made_native = native_call(1, native_pwd, to_base64(plain));
        ASSERT_FALSE(made_native.empty());
        EXPECT_EQ(from_base64(cipher_call("/decrypt", pwd, made_native)), plain);
    }
}

TEST_F(ServerTest, RequestInManySmallPiecesIsAnswered)
{
    std::string request = make_request("POST", "/encrypt", json_body("pieces", to_base64("abc")));
    int s = connect_loopback(server.port);
    ASSERT_GE(s, 0);
    int one = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    for (size_t i = 0; i < request.size(); i += 3) {
        ASSERT_GT(send(s, request.data() + i, std::min<size_t>(3, request.size() - i), MSG_NOSIGNAL), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    std::string reply = read_until_closed(s);
    close(s);
    std::string head, body;
    ASSERT_TRUE(split_reply(reply, &head, &body)) << reply;
    EXPECT_EQ(head.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << reply;
    EXPECT_EQ(from_base64(cipher_call("/decrypt", "pieces", body)), "abc");
}

TEST_F(ServerTest, SecondRequestOnTheSameConnectionGetsNoAnswer)
{
    std::string status = make_request("GET", "/status", "", false);
    std::string one_reply = expected_reply(200, "OK", "application/json", HTTP_STATUS_BODY);
    // Both requests in one write, and the second one sent after the first reply has come.
    EXPECT_EQ(http_exchange(server.port, status + status), one_reply);

    int s = connect_loopback(server.port);
    ASSERT_GE(s, 0);
    ASSERT_EQ(send(s, status.data(), status.size(), MSG_NOSIGNAL), static_cast<ssize_t>(status.size()));
    std::string first;
    while (first.size() < one_reply.size()) {
        std::string more = read_until_closed(s, 200);
        if (more.empty())
            break;
        first += more;
    }
    send(s, status.data(), status.size(), MSG_NOSIGNAL);
    first += read_until_closed(s);
    close(s);
    EXPECT_EQ(first, one_reply);
}

// A client that ends its side before its request is complete gets nothing; the console
// names what it sent.
TEST_F(ServerTest, UnfinishedRequestsGetNoReplyAndAreReportedWithTheirByteCount)
{
    for (const std::string partial : {"", "GET /status HTTP/1.1\r\n"}) {
        int s = connect_loopback(server.port);
        ASSERT_GE(s, 0);
        send(s, partial.data(), partial.size(), MSG_NOSIGNAL);
        shutdown(s, SHUT_WR);
        EXPECT_EQ(read_until_closed(s), "");
        close(s);
        EXPECT_TRUE(live_server_wait_output(
            &server, "? Closing connection. Here's the last bytes we received in the request (length 0). "
                     "The total bytes received on this connection: " + std::to_string(partial.size()) + " :\n"))
            << server.output;
    }
    EXPECT_NE(server.output.find("No request found from 127.0.0.1:"), std::string::npos) << server.output;
}

TEST_F(ServerTest, OrdinaryClientsWork)
{
    // Python's http.client keeps its connection for a second request unless the reply says
    // that the server closes it.
    std::string script = "import http.client as h\n"
                         "c = h.HTTPConnection('127.0.0.1', " + std::to_string(server.port) + ")\n"
                         "for _ in range(2):\n"
                         "    c.request('GET', '/status'); r = c.getresponse(); print(r.status, r.read().decode())\n";
    ProcessResult python = run_process("/usr/bin/env", {"env", "python3", "-c", script}, {});
    std::string line = std::string("200 ") + HTTP_STATUS_BODY + "\n";
    EXPECT_EQ(python.out, line + line) << python.err;

    // curl asks before it sends a body over 1 MiB and waits for "100 Continue".
    std::string plain = pseudo_random_bytes(2 << 20, 11);
    ProcessResult curl = run_process("/usr/bin/env",
                                     {"env", "curl", "-sS", "-v", "--data-binary", "@-",
                                      "http://127.0.0.1:" + std::to_string(server.port) + "/encrypt"},
                                     {}, json_body(".1pw", to_base64(plain)));
    EXPECT_NE(curl.err.find("> Expect: 100-continue"), std::string::npos) << curl.err;
    EXPECT_NE(curl.err.find("< HTTP/1.1 100 Continue"), std::string::npos) << curl.err;
    EXPECT_EQ(from_base64(cipher_call("/decrypt", ".1pw", curl.out)), plain);

    // A browser's preflight before a JSON request from another origin.
    EXPECT_EQ(http_exchange(server.port, "OPTIONS /encrypt HTTP/1.1\r\nOrigin: http://example.org\r\n"
                                         "Access-Control-Request-Method: POST\r\n\r\n"),
              "HTTP/1.1 204 No Content\r\nAccess-Control-Allow-Origin: *\r\nServer: tavrinhost/1.0.2\r\n"
              "Connection: close\r\nAccess-Control-Allow-Methods: GET, POST, OPTIONS\r\n"
              "Access-Control-Allow-Headers: Content-Type\r\nAccess-Control-Max-Age: 86400\r\n\r\n");
}

TEST_F(ServerTest, BodiesOverTheLimitAreRefusedUnreadAndTheLargestRoundTrips)
{
    // One byte over: refused as soon as the header block is complete, nothing encrypted.
    std::string over = "POST /encrypt HTTP/1.1\r\nContent-Length: 134217729\r\n\r\n" +
                       std::string(65536, 'A');
    EXPECT_EQ(http_exchange(server.port, over),
              expected_reply(413, "Payload Too Large", "text/plain",
                             "The request body is larger than the limit of 134217728 bytes (128 MiB)"));
    for (const std::string& datagram : udp_capture_collect(&syslog))
        EXPECT_EQ(datagram.find("Encrypting"), std::string::npos) << datagram;
    if (TAVRIN_UNDER_TSAN)
        return; // the largest round trip takes minutes there
    // A body of exactly the limit: the largest plaintext with a one-byte password, padded with
    // JSON white space. Its container (40 bytes more for '5') no longer fits a request, so the
    // round trip is made with the largest plaintext whose container does.
    const std::string frame = json_body("p", "");
    size_t largest = (REQUEST_BODY_MAX_BYTES - frame.size()) / 4 * 3;
    std::string plain = pseudo_random_bytes(largest, 5);
    std::string body = json_body("p", to_base64(plain));
    body.append(REQUEST_BODY_MAX_BYTES - body.size(), ' ');
    std::string reply = http_exchange(server.port, make_request("POST", "/encrypt", body));
    std::string head, container;
    ASSERT_TRUE(split_reply(reply, &head, &container)) << reply.substr(0, 300);
    EXPECT_EQ(head.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << head;
    EXPECT_EQ(from_base64(container).size(), largest + 40);
    plain.resize(largest - 40);
    EXPECT_EQ(from_base64(cipher_call("/decrypt", "p", cipher_call("/encrypt", "p", to_base64(plain)))), plain);
}

TEST_F(ServerTest, RequestBytesReachTheConsoleEscapedAndBounded)
{
    std::string hostile = "/status\x1b[31m" + std::string(1100, 'x');
    std::string request = "GET " + hostile + " HTTP/1.1\r\n\r\n";
    request[12] = '\0'; // a NUL inside the path, after the ESC
    EXPECT_EQ(http_exchange(server.port, request).rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    std::string escapes;
    for (int i = 0; i < 341; ++i)
        escapes += "%z\x1b";
    http_exchange(server.port, "GET /status" + escapes + " HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(live_server_wait_output(&server, "further undecodable escapes")) << server.output;
    ASSERT_TRUE(live_server_wait_output(&server, "path was truncated to /status\\x1b\\x0031mxxx"))
        << server.output;
    EXPECT_EQ(server.output.find('\x1b'), std::string::npos);
    EXPECT_EQ(server.output.find('\0'), std::string::npos);
    EXPECT_LT(server.output.size(), 16384u) << "console output is not bounded";
}

// ---- the listener's port ----------------------------------------------------------------

class ServerPortTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(syslog_capture_open(&syslog)); }
    void TearDown() override { udp_capture_close(&syslog); }
    UdpCapture syslog = {-1, 0};
};

TEST_F(ServerPortTest, PortIsTakenModulo65536)
{
    int port = free_tcp_port();
    ASSERT_NE(port, 0);
    LiveServer server = {};
    EXPECT_TRUE(live_server_start(&server, std::to_string(port + 65536), port)) << server.output;
    EXPECT_EQ(http_exchange(port, make_request("GET", "/status", "", false)),
              expected_reply(200, "OK", "application/json", HTTP_STATUS_BODY));
    live_server_stop(&server);
}

TEST_F(ServerPortTest, ListenerFailuresEndTheProcessWithStatus1)
{
    int holder = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(holder, 1), 0);
    socklen_t length = sizeof address;
    getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length);
    std::string port = std::to_string(ntohs(address.sin_port));
    // A port in use as the platform says it: errno's text and number, or WSAEADDRINUSE with
    // the system's text, which a test on Linux cannot know (so "<text>" stands for it).
    const bool windows = windows_program("tavrinhost");
    const std::string in_use =
        windows ? "<text> = 10048"
                : std::string(strerror(EADDRINUSE)) + " = " + std::to_string(EADDRINUSE);

    const struct {
        std::vector<std::string> args;
        std::string out; // what standard output holds
        std::string err; // the one line on standard error
    } cases[] = {
        {{"-p", port}, "Could not bind to 0.0.0.0:" + port + " " + in_use + "\n",
         "tavrinhost: cannot listen on all IPv4 interfaces port " + port + " (see the message above)\n"},
        {{"-p", port, "-b", "localhost"}, "Could not listen on localhost: not an IPv4 or IPv6 address\n",
         "tavrinhost: cannot listen on localhost port " + port + " (see the message above)\n"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"tavrinhost", "-s", "server"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        ProcessResult r = run_process(build_program("tavrinhost"), args, {});
        if (windows) {
            r.out = std::regex_replace(r.out, std::regex(":" + port + " .* = "),
                                       ":" + port + " <text> = ");
            r.err = with_line_feeds(r.err);
        }
        EXPECT_EQ(r.status, 1) << args.back();
        EXPECT_EQ(r.out, c.out) << args.back();
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
    close(holder);
}

TEST_F(ServerPortTest, BindAddressChoosesTheInterface)
{
    const std::string status = make_request("GET", "/status", "", false);
    const std::string answer = expected_reply(200, "OK", "application/json", HTTP_STATUS_BODY);
    // Bound to 127.0.0.1, the server is not reachable on another local address.
    int port = free_tcp_port();
    LiveServer server = {};
    ASSERT_TRUE(start_child(build_program("tavrinhost"),
                            {"tavrinhost", "-s", "server", "-p", std::to_string(port), "-b", "127.0.0.1"},
                            {}, &server.child));
    ASSERT_TRUE(live_server_wait_output(&server, "try http://127.0.0.1:" + std::to_string(port) + ")"))
        << server.output;
    EXPECT_EQ(http_exchange(port, status), answer);
    int other = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(0x7F000002); // 127.0.0.2
    address.sin_port = htons(static_cast<uint16_t>(port));
    EXPECT_NE(connect(other, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    close(other);
    live_server_stop(&server);

    // Bound to ::1, it serves over IPv6.
    port = free_tcp_port();
    ASSERT_TRUE(start_child(build_program("tavrinhost"),
                            {"tavrinhost", "-s", "server", "-p", std::to_string(port), "-b", "::1"},
                            {}, &server.child));
    if (!live_server_wait_output(&server, "try http://[::1]:" + std::to_string(port) + ")")) {
        live_server_stop(&server);
        GTEST_SKIP() << "no IPv6 loopback here: " << server.output;
    }
    int v6 = socket(AF_INET6, SOCK_STREAM, 0);
    sockaddr_in6 loopback = {};
    loopback.sin6_family = AF_INET6;
    loopback.sin6_addr = in6addr_loopback;
    loopback.sin6_port = htons(static_cast<uint16_t>(port));
    ASSERT_EQ(connect(v6, reinterpret_cast<sockaddr*>(&loopback), sizeof loopback), 0);
    ASSERT_EQ(send(v6, status.data(), status.size(), MSG_NOSIGNAL), static_cast<ssize_t>(status.size()));
    EXPECT_EQ(read_until_closed(v6), answer);
    close(v6);
    EXPECT_EQ(http_exchange(port, status), "(connect failed)"); // not on IPv4
    live_server_stop(&server);
}

} // namespace
