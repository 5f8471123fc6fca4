// A real tavrinhost HTTP server for tests.
#include "tests/http/live_server.h"

#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

int free_tcp_port()
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0)
        return 0;
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t length = sizeof address;
    int port = 0;
    if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    close(s);
    return port;
}

bool live_server_wait_output(LiveServer* server, const std::string& needle, int timeout_ms)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    char buffer[4096];
    while (server->output.find(needle) == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        end - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0 || server->child.stdout_fd < 0)
            return false;
        pollfd p = {server->child.stdout_fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0)
            return false;
        ssize_t n = read(server->child.stdout_fd, buffer, sizeof buffer);
        if (n <= 0)
            return false;
        server->output.append(buffer, static_cast<size_t>(n));
    }
    return true;
}

bool live_server_start(LiveServer* server, const std::string& port_argument, int listen_port)
{
    server->port = listen_port;
    server->output.clear();
    if (!start_child(build_program("tavrinhost"), {"tavrinhost", "-s", "server", "-p", port_argument},
                     {}, &server->child))
        return false;
    return live_server_wait_output(server, "127.0.0.1:" + std::to_string(listen_port) + ")", 30000);
}

bool live_server_start(LiveServer* server)
{
    int port = free_tcp_port();
    return port != 0 && live_server_start(server, std::to_string(port), port);
}

std::string live_server_stop(LiveServer* server)
{
    if (server->child.pid <= 0)
        return {};
    kill(server->child.pid, SIGTERM);
    std::string err = read_to_end(server->child.stderr_fd, 10000);
    wait_child(&server->child, 10000);
    server->child.pid = -1;
    return err;
}

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

void stop_drained(LiveServer* server, Drain* drain)
{
    kill(server->child.pid, SIGTERM);
    drain->reader.join();
    drain->error_reader.join();
    wait_child(&server->child, 10000);
    server->child.pid = -1;
}

int connect_loopback(int port)
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0)
        return -1;
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(s);
        return -1;
    }
    return s;
}

std::string read_until_closed(int fd, int timeout_ms)
{
    std::string out;
    std::vector<char> buffer(1 << 16);
    for (;;) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0)
            break;
        ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
        if (n <= 0)
            break;
        out.append(buffer.data(), static_cast<size_t>(n));
    }
    return out;
}

std::string http_exchange(int port, const std::string& request, int timeout_ms)
{
    int s = connect_loopback(port);
    if (s < 0)
        return "(connect failed)";
    size_t sent = 0;
    while (sent < request.size()) {
        ssize_t n = send(s, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            break;
        sent += static_cast<size_t>(n);
    }
    std::string reply = read_until_closed(s, timeout_ms);
    close(s);
    return reply;
}

bool split_reply(const std::string& reply, std::string* head, std::string* body)
{
    size_t end = reply.find("\r\n\r\n");
    if (end == std::string::npos)
        return false;
    *head = reply.substr(0, end + 4);
    *body = reply.substr(end + 4);
    return true;
}

static int count_entries(const std::string& folder)
{
    std::error_code error;
    int n = 0;
    for (auto it = std::filesystem::directory_iterator(folder, error);
         !error && it != std::filesystem::directory_iterator(); it.increment(error))
        ++n;
    return error ? -1 : n;
}

int count_threads(int pid)
{
    return count_entries("/proc/" + std::to_string(pid) + "/task");
}

int count_descriptors(int pid)
{
    return count_entries("/proc/" + std::to_string(pid) + "/fd");
}
