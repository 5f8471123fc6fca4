// The real server under load: many simultaneous connections each answered in full, then a
// bounded mixed load (status, encrypt, decrypt, malformed requests, clients that leave
// mid-request or mid-response); under hostile clients (thousands of idle
// connections, stalled bodies, responses nobody reads, bodies beyond the memory cap), and at
// a descriptor limit that lowers its connection cap; afterwards threads, descriptors and
// resident memory are back at rest.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "http/routes.h"
#include "http/server.h"
#include "tests/http/live_server.h"
#include "tests/http/reply_table.h"

namespace {

using Clock = std::chrono::steady_clock;

// AddressSanitizer keeps freed memory in quarantine (256 MiB by default) and ThreadSanitizer
// runs its own allocator and shadow memory, so resident memory says nothing about leaks in
// such builds; LeakSanitizer covers them there.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool RESIDENT_MEMORY_MEANINGFUL = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool RESIDENT_MEMORY_MEANINGFUL = false;
#else
constexpr bool RESIDENT_MEMORY_MEANINGFUL = !TAVRIN_UNDER_TSAN;
#endif
#else
constexpr bool RESIDENT_MEMORY_MEANINGFUL = !TAVRIN_UNDER_TSAN;
#endif

// 1000 simultaneous connections; fewer under ThreadSanitizer, whose threads cost far more. The
// variable TAVRIN_LOAD_CONNECTIONS overrides both.
int connection_count()
{
    if (const char* n = getenv("TAVRIN_LOAD_CONNECTIONS"))
        return atoi(n);
    return TAVRIN_UNDER_TSAN ? 150 : 1000;
}

int soak_seconds()
{
    if (const char* s = getenv("TAVRIN_SOAK_SECONDS"))
        return atoi(s);
    return TAVRIN_UNDER_TSAN ? 15 : 60;
}

long resident_kib(int pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return atol(line.c_str() + 6);
    return -1;
}

// Waits until threads and descriptors stop changing and returns them. Finished connection
// threads may stay, up to the spare count, waiting for later connections.
void rest_counts(int pid, int* threads, int* descriptors)
{
    int t = -1, d = -1;
    for (int i = 0; i < 400; ++i) {
        int t2 = count_threads(pid), d2 = count_descriptors(pid);
        if (t2 == t && d2 == d && t2 <= 3 + HTTP_SPARE_THREADS)
            break;
        t = t2;
        d = d2;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    *threads = t;
    *descriptors = d;
}

bool send_all(int fd, const std::string& text)
{
    return send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
}

TEST(SoakTest, SimultaneousConnectionsAndMixedLoadLeaveNothingBehind)
{
    UdpCapture syslog = {-1, 0};
    ASSERT_TRUE(syslog_capture_open(&syslog));
    LiveServer server;
    ASSERT_TRUE(live_server_start(&server)) << server.output;
    Drain drain;
    start_drain(&server, &drain);
    int pid = server.child.pid;

    const std::string plain = to_base64(std::string(3000, 'p'));
    std::string container_reply =
        http_exchange(server.port, make_request("POST", "/encrypt", "{\"pwd\":\".1soak\",\"body\":\"" + plain + "\"}"));
    std::string head, container;
    ASSERT_TRUE(split_reply(container_reply, &head, &container));
    const std::string big = to_base64(std::string(1 << 20, 'b'));

    int threads = 0, descriptors = 0;
    rest_counts(pid, &threads, &descriptors);

    // Every connection is open before the first request goes out; each gets its whole reply.
    const std::string status = make_request("GET", "/status", "", false);
    const std::string status_reply = expected_reply(200, "OK", "application/json", HTTP_STATUS_BODY);
    const std::string twelve = make_request("POST", "/encrypt", json_body("load", to_base64("twelve bytes")));
    const size_t twelve_container = ((8 + 16 + 16 + 12 + 2) / 3) * 4; // a '5' container, as Base64
    const int n = connection_count();
    std::vector<int> connections;
    for (int i = 0; i < n; ++i) {
        connections.push_back(connect_loopback(server.port));
        ASSERT_GE(connections.back(), 0) << "connection " << i << ": " << strerror(errno);
    }
    for (int i = 0; i < n; ++i)
        EXPECT_TRUE(send_all(connections[static_cast<size_t>(i)], i % 2 ? status : twelve)) << i;
    int whole = 0;
    for (int i = 0; i < n; ++i) {
        std::string reply = read_until_closed(connections[static_cast<size_t>(i)]);
        close(connections[static_cast<size_t>(i)]);
        std::string h, b;
        bool right = i % 2 ? reply == status_reply
                           : split_reply(reply, &h, &b) && b.size() == twelve_container &&
                                 b.rfind("U2FsdGVkX1", 0) == 0 &&
                                 reply == expected_reply(200, "OK", "application/octet-stream", b);
        EXPECT_TRUE(right) << "connection " << i << ": " << reply.substr(0, 200);
        whole += right;
    }
    EXPECT_EQ(whole, n);
    long rss_before = resident_kib(pid);

    std::atomic<long> answered{0}, wrong{0}, rounds{0};
    auto end = Clock::now() + std::chrono::seconds(soak_seconds());
    auto client = [&](unsigned seed) {
        std::mt19937 random(seed);
        while (Clock::now() < end) {
            rounds++;
            switch (random() % 6) {
            case 0: {
                std::string r = http_exchange(server.port, "GET /status HTTP/1.1\r\n\r\n");
                (r.find(" 200 OK\r\n") != std::string::npos ? answered : wrong)++;
                break;
            }
            case 1: {
                std::string r = http_exchange(server.port, make_request("POST", "/encrypt", "{\"pwd\":\"s\",\"body\":\"" + plain + "\"}"));
                (r.find(" 200 OK\r\n") != std::string::npos ? answered : wrong)++;
                break;
            }
            case 2: {
                std::string r = http_exchange(server.port, make_request("POST", "/decrypt", "{\"pwd\":\".1soak\",\"body\":\"" + container + "\"}"));
                std::string h, b;
                (split_reply(r, &h, &b) && b == plain ? answered : wrong)++;
                break;
            }
            case 3: { // malformed: a body that is no JSON, then a request line with no version
                std::string r = http_exchange(server.port, make_request("POST", "/encrypt", "\x01\x02 not json"));
                (r.find(" 400 Bad Request\r\n") != std::string::npos ? answered : wrong)++;
                int fd = connect_loopback(server.port);
                if (fd >= 0) {
                    send_all(fd, "GET /never-ends\r\n\r\n");
                    close(fd);
                }
                break;
            }
            case 4: { // leaves in the middle of the request
                int fd = connect_loopback(server.port);
                if (fd >= 0) {
                    send_all(fd, "POST /encrypt HTTP/1.1\r\nContent-Length: 5000\r\n\r\n{\"pwd\":");
                    close(fd);
                }
                break;
            }
            case 5: { // leaves in the middle of a large response
                int fd = connect_loopback(server.port);
                if (fd >= 0) {
                    send_all(fd, make_request("POST", "/encrypt", "{\"pwd\":\"s\",\"body\":\"" + big + "\"}"));
                    char some[100];
                    recv(fd, some, sizeof some, 0);
                    close(fd);
                }
                break;
            }
            }
        }
    };
    std::vector<std::thread> clients;
    for (unsigned i = 0; i < 4; ++i)
        clients.emplace_back(client, 1000 + i);
    for (std::thread& t : clients)
        t.join();

    int threads_after = 0, descriptors_after = 0;
    rest_counts(pid, &threads_after, &descriptors_after);
    long rss_after = resident_kib(pid);
    EXPECT_GT(rounds.load(), 20) << "the soak made too few requests to mean anything";
    EXPECT_EQ(wrong.load(), 0) << answered.load() << " right answers";
    EXPECT_LE(threads_after, threads + HTTP_SPARE_THREADS);
    EXPECT_EQ(descriptors_after, descriptors);
    // The allocator keeps some freed memory; a leak per request would add far more.
    if (RESIDENT_MEMORY_MEANINGFUL) {
        EXPECT_LT(rss_after - rss_before, 64 * 1024)
            << "resident " << rss_before << " -> " << rss_after << " KiB";
    }
    printf("soak: %ld rounds, %ld checked answers, RSS %ld -> %ld KiB, threads %d, descriptors %d\n",
           rounds.load(), answered.load(), rss_before, rss_after, threads_after, descriptors_after);

    stop_drained(&server, &drain);
    EXPECT_EQ(drain.errors.find("ERROR"), std::string::npos) << drain.errors.substr(0, 2000);
    EXPECT_EQ(drain.errors.find("Sanitizer"), std::string::npos) << drain.errors.substr(0, 2000);
    printf("soak: the server wrote %zu bytes to stderr\n", drain.errors.size());
    udp_capture_close(&syslog);
}

// The server's 503 with body, byte for byte.
std::string busy_reply(const std::string& body)
{
    std::string reply = expected_reply(503, "Service Unavailable", "text/plain", body);
    return reply.insert(reply.find("\r\n\r\n") + 2, "Retry-After: 1\r\n");
}

// Waits up to timeout_ms for answers on connections that have sent all they will send. Each
// one answered must have received expected; it is closed and its fd set to -1 (poll skips it
// from then on). Returns how many were answered.
int take_answers(std::vector<pollfd>* connections, const std::string& expected, int timeout_ms)
{
    if (poll(connections->data(), connections->size(), timeout_ms) <= 0)
        return 0;
    int answered = 0;
    for (pollfd& p : *connections) {
        if (p.revents == 0)
            continue;
        EXPECT_EQ(read_until_closed(p.fd, 5000), expected);
        close(p.fd);
        p.fd = -1;
        answered += 1;
    }
    return answered;
}

TEST(SoakTest, ConnectionCapFitsTheDescriptorLimitAndRefusesBeyondIt)
{
    UdpCapture syslog = {-1, 0};
    ASSERT_TRUE(syslog_capture_open(&syslog));
    constexpr int LIMIT = 128;
    constexpr int CAP = LIMIT - static_cast<int>(HTTP_DESCRIPTOR_RESERVE);
    int port = free_tcp_port();
    LiveServer server;
    server.port = port;
    ASSERT_TRUE(start_child("/bin/sh",
                            {"sh", "-c", "ulimit -n " + std::to_string(LIMIT) + " && exec \"$0\" \"$@\"",
                             build_program("tavrinhost"), "-s", "server", "-p", std::to_string(port)},
                            {}, &server.child));
    ASSERT_TRUE(live_server_wait_output(&server, "127.0.0.1:" + std::to_string(port) + ")", 30000))
        << server.output;
    EXPECT_NE(server.output.find("Serving at most " + std::to_string(CAP) +
                                 " connections at once: the descriptor limit is 128\n"),
              std::string::npos)
        << server.output;
    Drain drain;
    start_drain(&server, &drain);
    int pid = server.child.pid;
    int threads = 0, descriptors = 0;
    rest_counts(pid, &threads, &descriptors);

    // One connection more than the cap, none sending anything. Accepting threads may admit
    // them in any order, so whichever comes last is answered at once and closed; the others
    // are held open.
    std::vector<pollfd> idle;
    for (int i = 0; i <= CAP; ++i)
        idle.push_back({connect_loopback(port), POLLIN, 0});
    EXPECT_EQ(take_answers(&idle, busy_reply("The server is busy: it serves at most " + std::to_string(CAP) +
                                             " connections at once. Try again later."),
                           20000),
              1);
    EXPECT_EQ(poll(idle.data(), idle.size(), 500), 0) << "a connection within the cap was answered";
    for (const pollfd& p : idle)
        if (p.fd >= 0)
            close(p.fd);
    std::string status = http_exchange(port, "GET /status HTTP/1.1\r\n\r\n", 20000);
    EXPECT_NE(status.find(" 200 OK\r\n"), std::string::npos) << "the server stopped accepting";
    int threads_after = 0, descriptors_after = 0;
    rest_counts(pid, &threads_after, &descriptors_after);
    EXPECT_LE(threads_after, threads + HTTP_SPARE_THREADS);
    EXPECT_EQ(descriptors_after, descriptors);

    stop_drained(&server, &drain);
    EXPECT_NE(drain.output.find("Refused 1 connections with 503"), std::string::npos) << drain.output;
    udp_capture_close(&syslog);
}

TEST(SoakTest, HostileClientsCannotHoldTheService)
{
    // Thousands of idle connections; ThreadSanitizer, which looks for races and not for
    // scale, starts threads too slowly for as many within the time limits.
    constexpr int IDLE = TAVRIN_UNDER_TSAN ? 200 : 2000;
    rlimit files = {};
    getrlimit(RLIMIT_NOFILE, &files);
    if (files.rlim_max < IDLE + 100)
        GTEST_SKIP() << "this test needs " << IDLE + 100 << " descriptors; the hard limit is "
                     << files.rlim_max;
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
    UdpCapture syslog = {-1, 0};
    ASSERT_TRUE(syslog_capture_open(&syslog));
    LiveServer server;
    ASSERT_TRUE(live_server_start(&server)) << server.output;
    Drain drain;
    start_drain(&server, &drain);
    int pid = server.child.pid;
    EXPECT_NE(http_exchange(server.port, "GET /status HTTP/1.1\r\n\r\n").find(" 200 OK"), std::string::npos);
    int threads = 0, descriptors = 0;
    rest_counts(pid, &threads, &descriptors);
    long rss_before = resident_kib(pid);

    std::vector<int> held;
    for (int i = 0; i < IDLE; ++i)
        held.push_back(connect_loopback(server.port));
    // Every idle connection has been taken (one descriptor each).
    for (int i = 0; i < 300 && count_descriptors(pid) < descriptors + IDLE; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_GE(count_descriptors(pid), descriptors + IDLE) << "the server did not take every connection";
    // Bodies that stall: three of the largest size and three of 48 MiB. The request-body
    // memory holds any five of them but not all six, so whichever comes last to a thread is
    // refused at once and the others are held.
    std::vector<pollfd> stalled;
    for (const char* length : {"134217728", "134217728", "134217728", "50331648", "50331648", "50331648"}) {
        stalled.push_back({connect_loopback(server.port), POLLIN, 0});
        EXPECT_TRUE(send_all(stalled.back().fd, std::string("POST /encrypt HTTP/1.1\r\nContent-Length: ") +
                                                    length + "\r\n\r\n{\"pwd\":"));
    }
    EXPECT_EQ(take_answers(&stalled,
                           busy_reply("The server holds too much request data right now (512 MiB "
                                      "at most); try again later"),
                           5000),
              1);
    for (const pollfd& p : stalled)
        if (p.fd >= 0)
            held.push_back(p.fd);
    // Responses nobody reads.
    const std::string unread = make_request("POST", "/encrypt", "{\"pwd\":\"s\",\"body\":\"" + to_base64(std::string(6 << 20, 'u')) + "\"}");
    for (int i = 0; i < 2; ++i) {
        held.push_back(connect_loopback(server.port));
        EXPECT_TRUE(send_all(held.back(), unread));
    }

    // An ordinary client is still answered within a second (ThreadSanitizer slows every
    // thread it starts several times over).
    auto asked = Clock::now();
    int normal = connect_loopback(server.port);
    ASSERT_GE(normal, 0);
    ASSERT_TRUE(send_all(normal, "GET /status HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(read_until_closed(normal, TAVRIN_UNDER_TSAN ? 5000 : 1000),
              expected_reply(200, "OK", "application/json", HTTP_STATUS_BODY));
    close(normal);
    auto answered_ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - asked).count();

    // Every time limit ends its connections; the server is back at rest.
    auto deadline = Clock::now() + std::chrono::milliseconds(HTTP_SEND_TIMEOUT_MS + 10000);
    while (count_descriptors(pid) > descriptors && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    for (int fd : held)
        close(fd);
    int threads_after = 0, descriptors_after = 0;
    rest_counts(pid, &threads_after, &descriptors_after);
    EXPECT_LE(threads_after, threads + HTTP_SPARE_THREADS);
    EXPECT_EQ(descriptors_after, descriptors);
    long rss_after = resident_kib(pid);
    if (RESIDENT_MEMORY_MEANINGFUL) {
        EXPECT_LT(rss_after - rss_before, 16 * 1024)
            << "resident " << rss_before << " -> " << rss_after << " KiB";
    }

    stop_drained(&server, &drain);
    auto count = [&](const std::string& needle) {
        size_t n = 0;
        for (size_t at = drain.output.find(needle); at != std::string::npos; at = drain.output.find(needle, at + 1))
            ++n;
        return n;
    };
    EXPECT_EQ(count("its request line and headers did not arrive within 10000 ms (0 bytes received)"),
              static_cast<size_t>(IDLE));
    EXPECT_EQ(count("its body stalled for 10000 ms"), 5u);
    EXPECT_EQ(count("Abandoned the response to 127.0.0.1:"), 2u);
    EXPECT_EQ(count(" with 503: the request-body memory is spent"), 1u);
    printf("hostile clients: an ordinary /status took %lld ms; RSS %ld -> %ld KiB, threads %d -> %d\n",
           static_cast<long long>(answered_ms), rss_before, rss_after, threads, threads_after);
    udp_capture_close(&syslog);
}

} // namespace
