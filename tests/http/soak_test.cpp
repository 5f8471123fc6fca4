// The real server under a bounded mixed load (status, encrypt, decrypt, malformed requests,
// clients that leave mid-request or mid-response) and at its descriptor limit with idle
// clients; afterwards threads, descriptors and resident memory are back at rest.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/http/live_server.h"
#include "tests/http/reply_table.h"

namespace {

using Clock = std::chrono::steady_clock;

// AddressSanitizer keeps freed memory in quarantine (256 MiB by default), so resident memory
// says nothing about leaks in such a build; LeakSanitizer covers them there.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool RESIDENT_MEMORY_MEANINGFUL = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool RESIDENT_MEMORY_MEANINGFUL = false;
#else
constexpr bool RESIDENT_MEMORY_MEANINGFUL = true;
#endif
#else
constexpr bool RESIDENT_MEMORY_MEANINGFUL = true;
#endif

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

// Waits until threads and descriptors stop changing and returns them.
void rest_counts(int pid, int* threads, int* descriptors)
{
    int t = -1, d = -1;
    for (int i = 0; i < 400; ++i) {
        int t2 = count_threads(pid), d2 = count_descriptors(pid);
        if (t2 == t && d2 == d && t2 <= 3)
            break;
        t = t2;
        d = d2;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    *threads = t;
    *descriptors = d;
}

// The server's standard output and error are read all the time: a full pipe would stall
// its threads.
struct Drain {
    std::thread reader;
    std::thread error_reader;
    std::string output;
    std::string errors;
};

void start_drain(LiveServer* server, Drain* drain)
{
    drain->reader = std::thread([server, drain] {
        drain->output = read_to_end(server->child.stdout_fd, 600000);
    });
    int fd = dup(server->child.stderr_fd);
    drain->error_reader = std::thread([fd, drain] {
        drain->errors = read_to_end(fd, 600000);
        close(fd);
    });
}

// Stops the server: its pipes reach their end, the readers finish, then it is reaped.
void stop_drained(LiveServer* server, Drain* drain)
{
    kill(server->child.pid, SIGTERM);
    drain->reader.join();
    drain->error_reader.join();
    wait_child(&server->child, 10000);
    server->child.pid = -1;
}

bool send_all(int fd, const std::string& text)
{
    return send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
}

std::string post(const std::string& path, const std::string& body)
{
    return "POST " + path + " HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
}

TEST(SoakTest, MixedLoadLeavesNothingBehind)
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
        http_exchange(server.port, post("/encrypt", "{\"pwd\":\".1soak\",\"body\":\"" + plain + "\"}"));
    std::string head, container;
    ASSERT_TRUE(split_reply(container_reply, &head, &container));
    const std::string big = to_base64(std::string(1 << 20, 'b'));

    int threads = 0, descriptors = 0;
    rest_counts(pid, &threads, &descriptors);
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
                std::string r = http_exchange(server.port, post("/encrypt", "{\"pwd\":\"s\",\"body\":\"" + plain + "\"}"));
                (r.find(" 200 OK\r\n") != std::string::npos ? answered : wrong)++;
                break;
            }
            case 2: {
                std::string r = http_exchange(server.port, post("/decrypt", "{\"pwd\":\".1soak\",\"body\":\"" + container + "\"}"));
                std::string h, b;
                (split_reply(r, &h, &b) && b == plain ? answered : wrong)++;
                break;
            }
            case 3: { // malformed: a body that is no JSON, then a request line with no version
                std::string r = http_exchange(server.port, post("/encrypt", "\x01\x02 not json"));
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
                    send_all(fd, post("/encrypt", "{\"pwd\":\"s\",\"body\":\"" + big + "\"}"));
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
    EXPECT_EQ(threads_after, threads);
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
    printf("soak: the server wrote %zu bytes to stderr\n", drain.errors.size());
    udp_capture_close(&syslog);
}

TEST(SoakTest, IdleClientsAtTheDescriptorLimitDoNotStopTheServer)
{
    UdpCapture syslog = {-1, 0};
    ASSERT_TRUE(syslog_capture_open(&syslog));
    constexpr int LIMIT = 128;
    int port = free_tcp_port();
    LiveServer server;
    server.port = port;
    ASSERT_TRUE(start_child("/bin/sh",
                            {"sh", "-c", "ulimit -n " + std::to_string(LIMIT) + " && exec \"$0\" \"$@\"",
                             build_program("tavrinhost"), "-s", "server", "-p", std::to_string(port)},
                            {}, &server.child));
    ASSERT_TRUE(live_server_wait_output(&server, "127.0.0.1:" + std::to_string(port) + ")", 30000))
        << server.output;
    Drain drain;
    start_drain(&server, &drain);
    int pid = server.child.pid;
    int threads = 0, descriptors = 0;
    rest_counts(pid, &threads, &descriptors);

    std::vector<int> idle;
    for (int i = 0; i < LIMIT + 20; ++i) {
        int fd = connect_loopback(port);
        if (fd >= 0)
            idle.push_back(fd);
    }
    // Every descriptor the server may have is in use; further clients wait in the backlog.
    for (int i = 0; i < 100 && count_descriptors(pid) < LIMIT; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    int full = count_descriptors(pid);
    EXPECT_GE(full, LIMIT) << "the descriptor limit was not reached";
    // Each idle connection holds one thread and one descriptor.
    EXPECT_EQ(count_threads(pid) - threads, full - descriptors);
    printf("at %d descriptors the server holds %d idle connections\n", LIMIT,
           count_threads(pid) - threads);

    for (int fd : idle)
        close(fd);
    std::string status = http_exchange(port, "GET /status HTTP/1.1\r\n\r\n", 20000);
    EXPECT_NE(status.find(" 200 OK\r\n"), std::string::npos) << "the server stopped accepting";
    int threads_after = 0, descriptors_after = 0;
    rest_counts(pid, &threads_after, &descriptors_after);
    EXPECT_EQ(threads_after, threads);
    EXPECT_EQ(descriptors_after, descriptors);

    stop_drained(&server, &drain);
    EXPECT_NE(drain.output.find("Too many open files"), std::string::npos);
    udp_capture_close(&syslog);
}

} // namespace
