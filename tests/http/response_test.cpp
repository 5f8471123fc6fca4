// Text buffers and responses: growth, zeroed tails, failed allocations, failed sends.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "http/response.h"
#include "http/server.h"
#include "http/text_buffer.h"
#include "tests/support/alloc_fail.h"

namespace {

void expect_zero_tail(const TextBuffer& b, const std::string& label)
{
    ASSERT_NE(b.contents, nullptr) << label;
    ASSERT_LT(b.length, b.capacity) << label;
    for (uint64_t i = b.length; i < b.capacity; ++i)
        ASSERT_EQ(b.contents[i], '\0') << label << " at " << i;
}

TEST(TextBuffer, CapacitiesArePowersOfTwoFrom256)
{
    const struct {
        uint64_t needed, capacity;
    } cases[] = {{1, 256}, {256, 256}, {257, 512}, {1025, 2048}, {70000, 131072}};
    for (const auto& c : cases) {
        TextBuffer b = {};
        ASSERT_TRUE(textBufferReserve(&b, c.needed));
        EXPECT_EQ(b.capacity, c.capacity) << c.needed;
        expect_zero_tail(b, std::to_string(c.needed));
        EXPECT_TRUE(textBufferReserve(&b, c.needed - 1)); // never shrinks
        EXPECT_EQ(b.capacity, c.capacity);
        free(b.contents);
    }
    TextBuffer b = {};
    EXPECT_FALSE(textBufferReserve(&b, UINT64_MAX)); // cannot be reached: buffer unchanged
    EXPECT_EQ(b.contents, nullptr);
    EXPECT_EQ(b.capacity, 0u);
}

TEST(TextBuffer, AppendKeepsTheTextTerminatedAndAFailedGrowthChangesNothing)
{
    TextBuffer b = {};
    ASSERT_NE(textBufferAppendFormat(&b, "%s", ""), nullptr);
    EXPECT_EQ(b.length, 0u);
    EXPECT_EQ(b.capacity, 256u);
    std::string expected;
    for (int i = 0; i < 300; ++i) {
        textBufferAppendFormat(&b, "%d,", i);
        expected += std::to_string(i) + ",";
    }
    EXPECT_EQ(std::string(b.contents), expected);
    EXPECT_EQ(b.length, expected.size());
    expect_zero_tail(b, "appended");
    uint64_t capacity = b.capacity;
    alloc_fail_arm(1);
    EXPECT_EQ(textBufferAppendFormat(&b, "%s", std::string(5000, 'x').c_str()), nullptr);
    EXPECT_TRUE(alloc_fail_disarm());
    EXPECT_EQ(std::string(b.contents), expected);
    EXPECT_EQ(b.capacity, capacity);
    free(b.contents);
}

// Formatted texts are copies; a formatted empty text is no body (a body made empty on purpose
// is sent: the server test's empty plaintext). The bytes on the wire are the server test's.
TEST(Responses, ConstructorsCopyTheTextsAndMarkTheSendableOnes)
{
    char reason[] = "OK";
    HttpResponse* r = newFormattedResponse(200, reason, "text/plain", "%s-%d", "a", 7);
    ASSERT_NE(r, nullptr);
    reason[0] = 'X';
    EXPECT_STREQ(r->reasonPhrase, "OK");
    EXPECT_STREQ(r->contentType, "text/plain");
    EXPECT_EQ(std::string(r->body.contents), "a-7");
    releaseResponse(r);

    HttpResponse* formatted = newFormattedResponse(204, nullptr, nullptr, "%s", "");
    ASSERT_NE(formatted, nullptr);
    EXPECT_EQ(formatted->body.length, 0u);
    EXPECT_EQ(formatted->reasonPhrase, nullptr);
    EXPECT_FALSE(responseIsSendable(formatted)) << "a formatted empty text is no body";
    releaseResponse(formatted);
    releaseResponse(nullptr);
}

TEST(Responses, ConstructorReturnsNullWhenMemoryRunsOut)
{
    for (long n = 1;; ++n) {
        alloc_fail_arm(n);
        HttpResponse* r = newFormattedResponse(500, "Bad Request", "text/plain", "Encryption failed: %s", "reason");
        bool fired = alloc_fail_disarm();
        if (fired) {
            EXPECT_EQ(r, nullptr) << "allocation " << n;
            continue;
        }
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(std::string(r->body.contents), "Encryption failed: reason");
        releaseResponse(r);
        break;
    }
}

// A connection on one end of a socket pair; the test reads the other end.
struct Wire {
    HttpConnection* connection;
    int peer;
    Wire()
    {
        int pair[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        connection = static_cast<HttpConnection*>(calloc(1, sizeof(HttpConnection)));
        connection->socket = pair[0];
        strcpy(connection->remoteHost, "127.0.0.1");
        strcpy(connection->remotePort, "5555");
        peer = pair[1];
    }
    ~Wire()
    {
        if (peer >= 0)
            close(peer);
        close(connection->socket);
        free(connection);
    }
    std::string drain() const
    {
        std::string out;
        char buffer[4096];
        ssize_t n;
        while ((n = recv(peer, buffer, sizeof buffer, MSG_DONTWAIT)) > 0)
            out.append(buffer, static_cast<size_t>(n));
        return out;
    }
};

// A header block too long for the buffer, and a peer that has gone: one message, no SIGPIPE.
TEST(Responses, FailedSendsPrintOneMessageAndSendNothingMore)
{
    signal(SIGPIPE, SIG_DFL); // a raised SIGPIPE would end this test process
    for (bool peer_gone : {false, true}) {
        Wire w;
        if (peer_gone) {
            close(w.peer);
            w.peer = -1;
        }
        std::string reason = peer_gone ? "OK" : std::string(1100, 'R');
        HttpResponse* r = newFormattedResponse(500, reason.c_str(), "text/plain", "%s", "body");
        testing::internal::CaptureStdout();
        EXPECT_EQ(sendHttpResponse(w.connection, r), -1);
        std::string printed = testing::internal::GetCapturedStdout();
        EXPECT_EQ(printed.rfind("Failed to respond to 127.0.0.1:5555 because", 0), 0u) << printed;
        if (peer_gone) {
            EXPECT_NE(printed.find("*header*. send returned -1 with"), std::string::npos) << printed;
        } else {
            EXPECT_EQ(w.drain(), "");
        }
        releaseResponse(r);
    }
}

} // namespace
