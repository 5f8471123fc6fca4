// Text buffers and responses: growth, zeroed tails, and the bytes on the wire.
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

namespace {

void free_response(HttpResponse* r)
{
    free(r->reasonPhrase);
    free(r->contentType);
    free(r->additionalHeaders);
    free(r->body.contents);
    free(r);
}

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
        uint64_t needed;
        uint64_t capacity;
    } cases[] = {{1, 256}, {256, 256}, {257, 512}, {1000, 1024}, {1025, 2048}, {70000, 131072}};
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

TEST(TextBuffer, AppendKeepsTheTextTerminated)
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
    free(b.contents);
}

TEST(Responses, FormattedBodyAndCopiedTexts)
{
    char reason[] = "OK";
    HttpResponse* r = newFormattedResponse(200, reason, "text/plain", "%s-%d", "a", 7);
    ASSERT_NE(r, nullptr);
    reason[0] = 'X';
    EXPECT_STREQ(r->reasonPhrase, "OK");
    EXPECT_STREQ(r->contentType, "text/plain");
    EXPECT_EQ(std::string(r->body.contents), "a-7");
    EXPECT_EQ(r->filenameToSend, nullptr);
    EXPECT_EQ(r->additionalHeaders, nullptr);

    HttpResponse* empty = newFormattedResponse(204, nullptr, nullptr, "%s", "");
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->body.length, 0u);
    EXPECT_EQ(empty->body.capacity, 256u);
    EXPECT_EQ(empty->reasonPhrase, nullptr);
    free_response(r);
    free_response(empty);
}

struct Wire {
    HttpConnection* connection;
    int peer;
};

Wire wire()
{
    int pair[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    auto* c = static_cast<HttpConnection*>(calloc(1, sizeof(HttpConnection)));
    c->socket = pair[0];
    strcpy(c->remoteHost, "127.0.0.1");
    strcpy(c->remotePort, "5555");
    return {c, pair[1]};
}

void close_wire(const Wire& w)
{
    if (w.peer >= 0)
        close(w.peer);
    close(w.connection->socket);
    free(w.connection);
}

std::string drain(int fd)
{
    std::string out;
    char buffer[4096];
    ssize_t n;
    while ((n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0)
        out.append(buffer, static_cast<size_t>(n));
    return out;
}

TEST(Responses, WireBytesAreExact)
{
    Wire w = wire();
    HttpResponse* r = newFormattedResponse(200, "OK", "text/plain", "%s", "hello");
    EXPECT_EQ(sendHttpResponse(w.connection, r), 0);
    EXPECT_EQ(drain(w.peer), "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n"
                             "Access-Control-Allow-Origin: *\r\nContent-Length: 5\r\n"
                             "Server: tavrinhost/1.0.2\r\nConnection: close\r\n\r\nhello");
    r->additionalHeaders = strdup("X-One: 1\r\n");
    r->body.length = 0;
    EXPECT_EQ(sendHttpResponse(w.connection, r), 0);
    EXPECT_EQ(drain(w.peer), "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n"
                             "Access-Control-Allow-Origin: *\r\nContent-Length: 0\r\n"
                             "Server: tavrinhost/1.0.2\r\nConnection: close\r\nX-One: 1\r\n\r\n");
    // A status that never has a body goes out without the two body headers.
    HttpResponse* none = newEmptyBodyResponse(204, "No Content", nullptr);
    none->additionalHeaders = strdup("X-Two: 2\r\n");
    EXPECT_EQ(sendHttpResponse(w.connection, none), 0);
    EXPECT_EQ(drain(w.peer), "HTTP/1.1 204 No Content\r\nAccess-Control-Allow-Origin: *\r\n"
                             "Server: tavrinhost/1.0.2\r\nConnection: close\r\nX-Two: 2\r\n\r\n");
    releaseResponse(none);
    free_response(r);
    close_wire(w);
}

TEST(Responses, OversizedHeaderBlockSendsNothing)
{
    Wire w = wire();
    std::string reason(1100, 'R');
    HttpResponse* r = newFormattedResponse(500, reason.c_str(), "text/plain", "%s", "body");
    testing::internal::CaptureStdout();
    EXPECT_EQ(sendHttpResponse(w.connection, r), -1);
    std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed.rfind("Failed to respond to 127.0.0.1:5555 because", 0), 0u) << printed;
    EXPECT_EQ(drain(w.peer), "");
    free_response(r);
    close_wire(w);
}

TEST(Responses, ClosedPeerFailsWithoutSigpipe)
{
    signal(SIGPIPE, SIG_DFL); // a raised SIGPIPE would end this test process
    Wire w = wire();
    close(w.peer);
    HttpResponse* r = newFormattedResponse(200, "OK", "text/plain", "%s", "late");
    testing::internal::CaptureStdout();
    EXPECT_EQ(sendHttpResponse(w.connection, r), -1);
    std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_NE(printed.find("*header*. send returned -1 with"), std::string::npos) << printed;
    free_response(r);
    w.peer = -1;
    close_wire(w);
}

} // namespace
