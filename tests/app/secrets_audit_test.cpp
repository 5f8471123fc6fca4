// Secrets audit: complete exchanges of both front ends with a marker password and a marker
// plaintext; neither marker, nor the Base64 of the plaintext, may appear in any syslog
// datagram, on standard error, or on the server's standard output.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <openssl/evp.h>

#include "tests/support/process.h"
#include "tests/support/udp_capture.h"

namespace {

const std::string PASSWORD_MARKER = "Pw-Marker-93f1c7";
const std::string PLAIN_MARKER = "Plain-Marker-5e2d8a: the quick brown fox jumps over the lazy dog";
const char USABLE_IDS[] = {'1', '2', '3', '5', 'C'};

std::string base64(const std::string& bytes)
{
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                            reinterpret_cast<const unsigned char*>(bytes.data()),
                            static_cast<int>(bytes.size()));
    text.resize(static_cast<size_t>(n));
    return text;
}

std::string frame(const std::string& text)
{
    uint32_t length = static_cast<uint32_t>(text.size());
    std::string out(reinterpret_cast<const char*>(&length), 4);
    return out + text;
}

// Texts of the reply frames in a native-messaging output stream.
std::vector<std::string> frames_of(const std::string& stream)
{
    std::vector<std::string> texts;
    size_t at = 0;
    while (at + 4 <= stream.size()) {
        uint32_t length;
        memcpy(&length, stream.data() + at, 4);
        if (at + 4 + length > stream.size())
            break;
        texts.push_back(stream.substr(at + 4, length));
        at += 4 + length;
    }
    return texts;
}

// The concatenated "data" members of the reply frames.
std::string data_of(const std::vector<std::string>& texts)
{
    std::string data;
    for (const std::string& t : texts) {
        const std::string open = "{\"data\":\"";
        if (t.rfind(open, 0) == 0 && t.size() >= open.size() + 2)
            data += t.substr(open.size(), t.size() - open.size() - 2);
    }
    return data;
}

struct Leak {
    std::string where;
    std::string what;
};

// Every marker, and every 12-character window of the plaintext's Base64 (so a leak of a
// part of it is caught too).
std::vector<Leak> find_leaks(const std::string& where, const std::string& text)
{
    std::vector<Leak> leaks;
    std::string encoded = base64(PLAIN_MARKER);
    std::vector<std::string> needles = {PASSWORD_MARKER, PLAIN_MARKER.substr(0, 16)};
    for (size_t at = 0; at + 12 <= encoded.size(); at += 4)
        needles.push_back(encoded.substr(at, 12));
    for (const std::string& needle : needles)
        if (text.find(needle) != std::string::npos)
            leaks.push_back({where, needle});
    return leaks;
}

class SecretsAudit : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(syslog_capture_open(&syslog)); }
    void TearDown() override { udp_capture_close(&syslog); }

    void check_syslog(const std::string& exchange)
    {
        std::string all;
        for (const std::string& d : udp_capture_collect(&syslog))
            all += d + "\n";
        seen_datagrams += !all.empty();
        for (const Leak& l : find_leaks("syslog of " + exchange, all))
            ADD_FAILURE() << l.where << " carries \"" << l.what << "\"";
    }

    ProcessResult native(const std::string& first, const std::string& data)
    {
        std::string input = frame(first);
        for (size_t at = 0; at < data.size(); at += 40)
            input += frame("{\"p\":\"" + data.substr(at, 40) + "\"}");
        return run_process(build_program("tavrinhost"), {"tavrinhost"}, {}, input);
    }

    UdpCapture syslog = {-1, 0};
    int seen_datagrams = 0;
};

TEST_F(SecretsAudit, NativeMessagingExchangesLogNoSecret)
{
    for (char id : USABLE_IDS) {
        std::string password = std::string(".") + id + PASSWORD_MARKER;
        for (int raw : {0, 1}) {
            std::string data = raw ? base64(PLAIN_MARKER) : PLAIN_MARKER;
            std::string label = std::string("id ") + id + " raw " + std::to_string(raw);
            ProcessResult enc = native("{\"action\":1,\"raw\":" + std::to_string(raw) + ",\"length\":" +
                                           std::to_string(data.size()) + ",\"pwd\":\"" + password + "\"}",
                                       data);
            std::string container = data_of(frames_of(enc.out));
            ASSERT_FALSE(container.empty()) << label << ": no container";
            for (const Leak& l : find_leaks("stderr of encrypt " + label, enc.err))
                ADD_FAILURE() << l.where << " carries \"" << l.what << "\"";
            check_syslog("encrypt " + label);

            for (const std::string& pwd : {password, std::string(".") + id + "wrong" + PASSWORD_MARKER}) {
                ProcessResult dec = native("{\"action\":2,\"raw\":0,\"length\":" + std::to_string(container.size()) +
                                               ",\"pwd\":\"" + pwd + "\"}",
                                           container);
                if (pwd == password) {
                    EXPECT_EQ(data_of(frames_of(dec.out)), base64(PLAIN_MARKER)) << label;
                }
                for (const Leak& l : find_leaks("stderr of decrypt " + label, dec.err))
                    ADD_FAILURE() << l.where << " carries \"" << l.what << "\"";
                check_syslog("decrypt " + label);
            }
        }
    }
    EXPECT_GT(seen_datagrams, 0) << "no datagram was captured: the audit saw nothing";
}

// One HTTP/1.1 request on a new connection; returns the whole reply.
std::string http_exchange(uint16_t port, const std::string& request)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return {};
    }
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string reply = read_to_end(fd, 20000);
    close(fd);
    return reply;
}

std::string post(uint16_t port, const std::string& path, const std::string& body)
{
    return http_exchange(port, "POST " + path + " HTTP/1.1\r\nHost: localhost\r\nContent-Length: " +
                                   std::to_string(body.size()) + "\r\n\r\n" + body);
}

std::string body_of(const std::string& reply)
{
    size_t at = reply.find("\r\n\r\n");
    return at == std::string::npos ? std::string() : reply.substr(at + 4);
}

uint16_t free_port()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

TEST_F(SecretsAudit, HttpExchangesLogAndPrintNoSecret)
{
    uint16_t port = free_port();
    ChildProcess server;
    ASSERT_TRUE(start_child(build_program("tavrinhost"),
                            {"tavrinhost", "-s", "server", "-p", std::to_string(port)}, {}, &server));
    std::string out, err;
    std::thread out_reader([&] { out = read_to_end(server.stdout_fd, 60000); });
    std::thread err_reader([&] { err = read_to_end(server.stderr_fd, 60000); });
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (http_exchange(port, "GET /status HTTP/1.1\r\n\r\n").empty() &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));

    std::vector<std::string> passwords = {PASSWORD_MARKER}; // the server prefixes ".5"
    for (char id : USABLE_IDS)
        passwords.push_back(std::string(".") + id + PASSWORD_MARKER);
    for (const std::string& password : passwords) {
        std::string reply = post(port, "/encrypt",
                                 "{\"pwd\":\"" + password + "\",\"body\":\"" + base64(PLAIN_MARKER) + "\"}");
        ASSERT_NE(reply.find(" 200 OK"), std::string::npos) << password << ": " << reply.substr(0, 200);
        std::string container = body_of(reply);
        std::string back = post(port, "/decrypt", "{\"pwd\":\"" + password + "\",\"body\":\"" + container + "\"}");
        EXPECT_EQ(body_of(back), base64(PLAIN_MARKER)) << password;
        post(port, "/decrypt", "{\"pwd\":\"" + password + "x\",\"body\":\"" + container + "\"}");
        check_syslog("HTTP with " + password.substr(0, 2));
    }
    kill(server.pid, SIGTERM);
    out_reader.join();
    err_reader.join();
    wait_child(&server);
    for (const Leak& l : find_leaks("server stdout", out))
        ADD_FAILURE() << l.where << " carries \"" << l.what << "\"";
    for (const Leak& l : find_leaks("server stderr", err))
        ADD_FAILURE() << l.where << " carries \"" << l.what << "\"";
    EXPECT_GT(seen_datagrams, 0) << "no datagram was captured: the audit saw nothing";
}

} // namespace
