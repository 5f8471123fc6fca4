// The cipher engine keeps no shared state: many threads seal, open and code Base64 at once.
#include <gtest/gtest.h>

#include <atomic>
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

// One worker's round: Base64 in, container, Base64 out and back; false on any mismatch.
bool round_trip(int worker, int round, std::string* failure)
{
    static const char* const prefixes[] = {"", ".1", ".2", ".3", ".5", ".C"};
    std::string password = std::string(prefixes[(worker + round) % 6]) + "pw" + std::to_string(worker);
    Bytes plaintext = sample_bytes(static_cast<size_t>(round * 97 + worker), static_cast<uint32_t>(worker * 1000 + round));

    bool ok = false;
    CipherResult sealed = {};
    CipherResult opened = {};
    CipherResult wrong = {};
    CipherError error = {};
    uint32_t text_length = 0;
    uint32_t decoded_length = 0;
    char* text = nullptr;
    unsigned char* decoded = nullptr;
    if (!encrypt_salted(plaintext.data(), static_cast<uint32_t>(plaintext.size()), password.c_str(), &sealed, &error)) {
        *failure = "encrypt " + password + ": " + error.text;
        goto done;
    }
    text = base64_encode_buffer(sealed.data, static_cast<int>(sealed.length), &text_length);
    decoded = text ? base64_decode_buffer(text, static_cast<int>(text_length), &decoded_length) : nullptr;
    if (!decoded || decoded_length != sealed.length) {
        *failure = "base64 of the container";
        goto done;
    }
    if (!decrypt_salted(decoded, decoded_length, password.c_str(), &opened, &error) ||
        result_bytes(opened) != plaintext) {
        *failure = "decrypt " + password + ": " + error.text;
        goto done;
    }
    // A failing decryption on this thread must not leave its reason to another call.
    (void)decrypt_salted(decoded, decoded_length, ".1other", &wrong, nullptr);
    ok = true;
done:
    free(text);
    free(decoded);
    release_cipher_result(&sealed);
    release_cipher_result(&opened);
    release_cipher_result(&wrong);
    return ok;
}

TEST_F(Concurrency, ThreadsWithTheirOwnRecordsNeverDisturbEachOther)
{
    const int workers = 8;
    const int rounds = 24;
    std::atomic<int> failures{0};
    std::vector<std::string> reasons(workers);
    std::vector<std::thread> threads;
    for (int w = 0; w < workers; w++)
        threads.emplace_back([w, &failures, &reasons] {
            for (int r = 0; r < rounds; r++)
                if (!round_trip(w, r, &reasons[static_cast<size_t>(w)])) {
                    failures++;
                    return;
                }
        });
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(failures.load(), 0);
    for (int w = 0; w < workers; w++)
        EXPECT_EQ(reasons[static_cast<size_t>(w)], "") << "worker " << w;
}

} // namespace
