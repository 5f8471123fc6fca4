// Allocation failures in the parser, text buffers and responses: every allocation is made to
// fail in turn; each run must end in a defined state and leak nothing (LeakSanitizer).
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "http/request.h"
#include "http/response.h"
#include "http/text_buffer.h"
#include "tests/support/alloc_fail.h"

namespace {

void free_response(HttpResponse* r)
{
    free(r->reasonPhrase);
    free(r->contentType);
    free(r->body.contents);
    free(r);
}

TEST(HttpAllocationFailure, BodyBlockThatCannotBeAllocatedIsFlagged)
{
    const std::string request = "POST /encrypt HTTP/1.1\r\nContent-Length: 11\r\n\r\n{\"pwd\":\"x\"}";
    for (long n = 1;; ++n) {
        auto* r = static_cast<HttpRequest*>(calloc(1, sizeof(HttpRequest)));
        alloc_fail_arm(n);
        parseRequestBytes(r, request.data(), request.size());
        bool fired = alloc_fail_disarm();
        EXPECT_EQ(r->parseState, Complete) << "allocation " << n;
        if (fired) {
            EXPECT_TRUE(r->bodyAllocationFailed) << "allocation " << n;
            EXPECT_EQ(r->body.contents, nullptr) << "allocation " << n;
            EXPECT_EQ(r->body.length, 0u);
        } else {
            EXPECT_FALSE(r->bodyAllocationFailed);
            ASSERT_NE(r->body.contents, nullptr);
        }
        free(r->body.contents);
        free(r);
        if (!fired)
            break;
    }
}

TEST(HttpAllocationFailure, TextBufferStaysAsItWas)
{
    TextBuffer b = {};
    ASSERT_NE(textBufferAppendFormat(&b, "%s", "kept"), nullptr);
    std::string big(5000, 'x');
    alloc_fail_arm(1);
    EXPECT_EQ(textBufferAppendFormat(&b, "%s", big.c_str()), nullptr);
    EXPECT_TRUE(alloc_fail_disarm());
    EXPECT_EQ(std::string(b.contents), "kept");
    EXPECT_EQ(b.length, 4u);
    EXPECT_EQ(b.capacity, 256u);
    free(b.contents);
}

TEST(HttpAllocationFailure, ConstructorReturnsNullAndLeaksNothing)
{
    for (long n = 1;; ++n) {
        alloc_fail_arm(n);
        HttpResponse* r = newFormattedResponse(500, "Bad Request", "text/plain", "Encryption failed: %s",
                                               "reason");
        bool fired = alloc_fail_disarm();
        if (fired) {
            EXPECT_EQ(r, nullptr) << "allocation " << n;
            continue;
        }
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(std::string(r->body.contents), "Encryption failed: reason");
        free_response(r);
        break;
    }
}

} // namespace
