// The cipher engine keeps no shared state: many threads seal, open and code Base64 at once.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "cipher/base64.h"
#include "cipher/container.h"
#include "tests/cipher/cipher_test_util.h"

namespace {

class Concurrency : public testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(fips_mode_on()); }
};

// One worker's round: container, Base64 out and back, opened again; "" or what went wrong.
std::string round_trip(int worker, int round)
{
    static const char* const prefixes[] = {"", ".1", ".2", ".3", ".5", ".C"};
    std::string password = prefixes[(worker + round) % 6] + std::string("pw") + std::to_string(worker);
    Bytes plaintext = sample_bytes(static_cast<size_t>(round * 97 + worker), static_cast<uint32_t>(worker * 1000 + round));
    Outcome sealed = seal(plaintext, password);
    if (!sealed.rc)
        return "encrypt " + password + ": " + sealed.text;
    uint32_t text_length = 0, decoded_length = 0;
    char* text = base64_encode_buffer(sealed.bytes.data(), static_cast<int>(sealed.bytes.size()), &text_length);
    unsigned char* decoded = text ? base64_decode_buffer(text, static_cast<int>(text_length), &decoded_length) : nullptr;
    Bytes container = decoded ? Bytes(decoded, decoded + decoded_length) : Bytes{};
    free(text);
    free(decoded);
    if (container != sealed.bytes)
        return "base64 of the container";
    Outcome opened = open(container, password);
    if (opened.bytes != plaintext)
        return "decrypt " + password + ": " + opened.text;
    // A failing decryption on this thread must not leave its reason to another call.
    open(container, ".1other");
    return "";
}

TEST_F(Concurrency, ThreadsWithTheirOwnRecordsNeverDisturbEachOther)
{
    const int workers = 8, rounds = 24;
    std::vector<std::string> reasons(workers);
    std::vector<std::thread> threads;
    for (int w = 0; w < workers; w++)
        threads.emplace_back([w, &reasons] {
            for (int r = 0; r < rounds && reasons[static_cast<size_t>(w)].empty(); r++)
                reasons[static_cast<size_t>(w)] = round_trip(w, r);
        });
    for (std::thread& t : threads)
        t.join();
    for (int w = 0; w < workers; w++)
        EXPECT_EQ(reasons[static_cast<size_t>(w)], "") << "worker " << w;
}

} // namespace
