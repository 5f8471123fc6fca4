// The real server under load: many concurrent connections, each a full /encrypt or /status
// request, all answered correctly, and no thread or descriptor left behind.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "cipher/base64.h"
#include "http/server.h"
#include "tests/http/live_server.h"
#include "tests/http/reply_table.h"
#include "tests/support/udp_capture.h"

namespace {

// 1000 connections; fewer under ThreadSanitizer, whose threads cost far more. The variable
// TAVRIN_LOAD_CONNECTIONS overrides both.
int connection_count()
{
    if (const char* n = getenv("TAVRIN_LOAD_CONNECTIONS"))
        return atoi(n);
    return TAVRIN_UNDER_TSAN ? 150 : 1000;
}

constexpr int LOAD_DEADLINE_MS = 120000;

struct Client {
    int fd;
    std::string request;
    size_t sent;
    std::string reply;
    bool done;
    bool encrypt;
};

// Waits until the server is back to its resting counts (detached threads end on their own).
// Finished connection threads may stay, up to the spare count, waiting for later connections.
bool settles(int pid, int threads, int descriptors)
{
    for (int i = 0; i < 200; ++i) {
        int now = count_threads(pid);
        if (now >= threads && now <= threads + HTTP_SPARE_THREADS &&
            count_descriptors(pid) == descriptors)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

// The counts once they stop changing: the warm-up connections' threads have ended.
bool rest_counts(int pid, int* threads, int* descriptors)
{
    for (int i = 0; i < 100; ++i) {
        int t = count_threads(pid);
        int d = count_descriptors(pid);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (t == count_threads(pid) && d == count_descriptors(pid)) {
            *threads = t;
            *descriptors = d;
            return true;
        }
    }
    return false;
}

TEST(ServerLoadTest, ConcurrentConnectionsAreAllAnsweredWithoutLeaks)
{
    UdpCapture syslog = {-1, 0};
    ASSERT_TRUE(syslog_capture_open(&syslog));
    LiveServer server = {};
    ASSERT_TRUE(live_server_start(&server)) << server.output;

    const std::string status = make_request("GET", "/status", "", false);
    const std::string status_reply = expected_reply(200, "OK", "application/json",
                                                    "{\"status\":\"OK\",\"version\":\"1.0.2\"}");
    const std::string plain = "twelve bytes";
    uint32_t b64_length = 0;
    char* b64 = base64_encode_buffer(reinterpret_cast<const unsigned char*>(plain.data()),
                                     static_cast<int>(plain.size()), &b64_length);
    const std::string encrypt = make_request("POST", "/encrypt", json_body("load", b64));
    free(b64);
    // A '5' container: magic, salt, IV and the ciphertext, as Base64.
    const size_t container_text = ((8 + 16 + 16 + plain.size() + 2) / 3) * 4;

    // One exchange first, so that whatever the process opens once (random source, ...) is open.
    ASSERT_EQ(http_exchange(server.port, status), status_reply);
    ASSERT_EQ(http_exchange(server.port, encrypt).rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    const int pid = server.child.pid;
    int threads = 0;
    int descriptors = 0;
    ASSERT_TRUE(rest_counts(pid, &threads, &descriptors));

    const int n = connection_count();
    std::vector<Client> clients(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        Client& c = clients[static_cast<size_t>(i)];
        c.encrypt = i % 2 == 0;
        c.request = c.encrypt ? encrypt : status;
        c.fd = connect_loopback(server.port);
        ASSERT_GE(c.fd, 0) << "connection " << i << ": " << strerror(errno);
        fcntl(c.fd, F_SETFL, fcntl(c.fd, F_GETFL) | O_NONBLOCK);
    }
    // Every connection is open before the first request goes out.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(LOAD_DEADLINE_MS);
    int open = n;
    std::vector<pollfd> polls;
    std::vector<char> buffer(1 << 16);
    while (open > 0 && std::chrono::steady_clock::now() < deadline) {
        polls.clear();
        for (Client& c : clients)
            if (!c.done)
                polls.push_back({c.fd, static_cast<short>(c.sent < c.request.size() ? POLLOUT : POLLIN), 0});
        if (poll(polls.data(), polls.size(), 1000) < 0)
            break;
        size_t k = 0;
        for (Client& c : clients) {
            if (c.done)
                continue;
            short events = polls[k++].revents;
            if (events == 0)
                continue;
            if (c.sent < c.request.size()) {
                ssize_t m = send(c.fd, c.request.data() + c.sent, c.request.size() - c.sent, MSG_NOSIGNAL);
                if (m > 0)
                    c.sent += static_cast<size_t>(m);
                else if (m < 0 && errno != EAGAIN)
                    c.done = true;
            } else {
                ssize_t m = recv(c.fd, buffer.data(), buffer.size(), 0);
                if (m > 0) {
                    c.reply.append(buffer.data(), static_cast<size_t>(m));
                } else if (m == 0 || errno != EAGAIN) {
                    c.done = true;
                }
            }
            if (c.done) {
                close(c.fd);
                --open;
            }
        }
    }
    EXPECT_EQ(open, 0) << "connections still open at the deadline";

    int answered = 0;
    for (int i = 0; i < n; ++i) {
        const Client& c = clients[static_cast<size_t>(i)];
        if (!c.done)
            close(c.fd);
        if (!c.encrypt) {
            EXPECT_EQ(c.reply, status_reply) << "status connection " << i;
            answered += c.reply == status_reply;
            continue;
        }
        std::string head, body;
        bool whole = split_reply(c.reply, &head, &body) && body.size() == container_text &&
                     head == expected_reply(200, "OK", "application/octet-stream", body)
                                 .substr(0, head.size()) &&
                     body.rfind("U2FsdGVkX1", 0) == 0;
        EXPECT_TRUE(whole) << "encrypt connection " << i << ": " << c.reply.substr(0, 200);
        answered += whole;
    }
    EXPECT_EQ(answered, n);

    EXPECT_TRUE(settles(pid, threads, descriptors))
        << "threads " << count_threads(pid) << " (at rest " << threads << "), descriptors "
        << count_descriptors(pid) << " (at rest " << descriptors << ")";
    std::string err = live_server_stop(&server);
    EXPECT_EQ(err.find("Sanitizer"), std::string::npos) << err;
    udp_capture_close(&syslog);
}

} // namespace
