// Secrets audit, the one place that looks for secrets in what the programs write: complete
// exchanges of both front ends with a marker password and a marker plaintext (every usable
// id, a wrong password, and the refusals made with the password in hand); neither marker, nor
// the Base64 of the plaintext, may appear in any syslog datagram, on standard error, or on the
// server's standard output.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

#include "tests/app/native_messaging_harness.h"
#include "tests/http/live_server.h"
#include "tests/http/reply_table.h"
#include "tests/support/process.h"
#include "tests/support/udp_capture.h"

namespace {

const std::string PASSWORD_MARKER = "Pw-Marker-93f1c7";
const std::string PLAIN_MARKER = "Plain-Marker-5e2d8a: the quick brown fox jumps over the lazy dog";
const char USABLE_IDS[] = {'1', '2', '3', '5', 'C'};

// Fails the test for every marker in text, and for every 12-character window of the
// plaintext's Base64 (so a leak of a part of it is caught too).
void expect_no_secret(const std::string& where, const std::string& text)
{
    std::string encoded = base64_of(PLAIN_MARKER);
    std::vector<std::string> needles = {PASSWORD_MARKER, PLAIN_MARKER.substr(0, 16)};
    for (size_t at = 0; at + 12 <= encoded.size(); at += 4)
        needles.push_back(encoded.substr(at, 12));
    for (const std::string& needle : needles)
        if (text.find(needle) != std::string::npos)
            ADD_FAILURE() << where << " carries \"" << needle << "\"";
}

class SecretsAudit : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(syslog_capture_open(&syslog)); }
    void TearDown() override { udp_capture_close(&syslog); }

    // The datagrams since the last call, checked; returns them one a line.
    std::string check_syslog(const std::string& exchange)
    {
        std::string all;
        for (const std::string& d : udp_capture_collect(&syslog))
            all += d + "\n";
        seen_datagrams += !all.empty();
        expect_no_secret("syslog of " + exchange, all);
        return all;
    }

    // Native-messaging exchanges, a few at a time; their standard error and syslog checked.
    std::vector<HostRun> native(const std::vector<HostCase>& cases)
    {
        std::vector<HostRun> runs = run_hosts(cases);
        for (size_t i = 0; i < cases.size(); ++i)
            expect_no_secret("stderr of " + cases[i].name, runs[i].err);
        check_syslog("the exchanges from " + cases.front().name);
        return runs;
    }

    UdpCapture syslog = {-1, 0};
    int seen_datagrams = 0;
};

TEST_F(SecretsAudit, NativeMessagingExchangesLogNoSecret)
{
    std::vector<HostCase> seals;
    for (char id : USABLE_IDS)
        for (int raw : {0, 1})
            seals.push_back({std::string(".") + id + " raw " + std::to_string(raw),
                             nm_request(1, raw, std::string(".") + id + PASSWORD_MARKER,
                                        raw ? base64_of(PLAIN_MARKER) : PLAIN_MARKER, 40),
                             {}});
    std::vector<HostRun> sealed = native(seals);
    std::vector<HostCase> opens;
    for (size_t i = 0; i < seals.size(); ++i) {
        std::string container, id = seals[i].name.substr(0, 2);
        ASSERT_TRUE(nm_join_data(sealed[i].frames.texts, &container) && !container.empty())
            << seals[i].name << ": no container";
        opens.push_back({"decrypt " + seals[i].name, nm_request(2, 0, id + PASSWORD_MARKER, container, 40), {}});
        opens.push_back({"decrypt " + seals[i].name + ", wrong password",
                         nm_request(2, 0, id + "wrong" + PASSWORD_MARKER, container, 40), {}});
    }
    std::vector<HostRun> opened = native(opens);
    for (size_t i = 0; i < opens.size(); i += 2) {
        std::string back;
        EXPECT_TRUE(nm_join_data(opened[i].frames.texts, &back) && back == base64_of(PLAIN_MARKER))
            << opens[i].name;
    }
    // Refusals after the password has been read.
    auto empty = std::filesystem::temp_directory_path() / ("audit-no-fips-" + std::to_string(getpid()));
    std::filesystem::create_directories(empty);
    const std::string pwd = ".1" + PASSWORD_MARKER;
    native({
        {"no length", nm_frame("{\"action\":1,\"pwd\":\"" + pwd + "\"}"), {}},
        {"id outside the table", nm_request(1, 0, ".4" + PASSWORD_MARKER, PLAIN_MARKER, 40), {}},
        {"MD5 refused in FIPS mode", nm_request(1, 0, ".A" + PASSWORD_MARKER, PLAIN_MARKER, 40), {}},
        {"raw data not Base64", nm_request(1, 1, pwd, PLAIN_MARKER, 40), {}},
        {"decrypt of data not Base64", nm_request(2, 0, pwd, PLAIN_MARKER, 40), {}},
        {"data cut short", nm_first(1, 0, 100, pwd) + nm_chunk(PLAIN_MARKER.substr(0, 40)), {}},
        {"no FIPS provider", nm_request(1, 0, pwd, PLAIN_MARKER, 40), {"OPENSSL_MODULES=" + empty.string()}},
    });
    std::filesystem::remove_all(empty);
    EXPECT_GT(seen_datagrams, 0) << "no datagram was captured: the audit saw nothing";
}

TEST_F(SecretsAudit, HttpExchangesLogAndPrintNoSecret)
{
    LiveServer server = {};
    ASSERT_TRUE(live_server_start(&server)) << server.output;
    Drain drain;
    start_drain(&server, &drain);
    auto call = [&](const std::string& route, const std::string& pwd, const std::string& payload) {
        std::string head, body;
        split_reply(http_exchange(server.port, make_request("POST", route, json_body(pwd, payload))), &head,
                    &body);
        return head.rfind("HTTP/1.1 200 OK\r\n", 0) == 0 ? body : "(" + head + ")";
    };
    std::vector<std::string> passwords = {PASSWORD_MARKER}; // the server prefixes ".5"
    for (char id : USABLE_IDS)
        passwords.push_back(std::string(".") + id + PASSWORD_MARKER);
    for (const std::string& password : passwords) {
        std::string container = call("/encrypt", password, base64_of(PLAIN_MARKER));
        ASSERT_EQ(container.find('('), std::string::npos) << password << ": " << container;
        EXPECT_EQ(call("/decrypt", password, container), base64_of(PLAIN_MARKER)) << password;
        call("/decrypt", password + "x", container);
        std::string logged = check_syslog("HTTP with " + password.substr(0, 2));
        // The routes log the lengths of secrets, not their text.
        EXPECT_NE(logged.find("AES encryption succeeded"), std::string::npos) << logged;
        EXPECT_NE(logged.find("Subsection 255: [" + std::to_string(base64_of(PLAIN_MARKER).size()) + " bytes]"),
                  std::string::npos)
            << logged;
    }
    // Refusals after the password has been read.
    for (const std::string& password : {".4" + PASSWORD_MARKER, ".A" + PASSWORD_MARKER})
        EXPECT_EQ(call("/encrypt", password, base64_of(PLAIN_MARKER)).rfind("(HTTP/1.1 500 ", 0), 0u);
    check_syslog("HTTP refusals");
    stop_drained(&server, &drain);
    expect_no_secret("server stdout", server.output + drain.output);
    expect_no_secret("server stderr", drain.errors);
    EXPECT_GT(seen_datagrams, 0) << "no datagram was captured: the audit saw nothing";
}

} // namespace
