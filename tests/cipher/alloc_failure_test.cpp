// Every allocation of the Base64 and container operations, ours and the crypto library's,
// made to fail in turn: each run fails cleanly or succeeds with the right result.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include <openssl/err.h>

#include "cipher/base64.h"
#include "cipher/container.h"
#include "tests/cipher/cipher_test_util.h"
#include "tests/support/alloc_fail.h"

namespace {

class AllocationFailure : public testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(fips_mode_on()); }
    void TearDown() override { ERR_clear_error(); }
};

// Runs op with its n-th allocation failing, n = 1, 2, ... until op makes fewer than n;
// op returns whether it succeeded, check whether a success carried the right result.
void fail_each_allocation(const char* what, bool include_crypto, const std::function<bool()>& op,
                          const std::function<bool()>& check)
{
    long n = 1;
    for (; n < 5000; n++) {
        alloc_fail_arm(n, include_crypto);
        bool ok = op();
        bool fired = alloc_fail_disarm();
        if (ok) {
            EXPECT_TRUE(check()) << what << ": wrong result with allocation " << n << " failing";
        }
        if (!fired)
            break;
    }
    EXPECT_GT(n, 1) << what << ": no allocation was made";
    EXPECT_LT(n, 5000) << what;
}

TEST_F(AllocationFailure, Base64FailsAsNull)
{
    Bytes bytes = sample_bytes(100);
    std::string text = "QUJDRA"; // needs padding repair: two allocations
    unsigned char* decoded = nullptr;
    char* encoded = nullptr;
    uint32_t length = 0;
    fail_each_allocation(
        "decode", false,
        [&] {
            free(decoded);
            decoded = base64_decode_buffer(text.data(), static_cast<int>(text.size()), &length);
            return decoded != nullptr;
        },
        [&] { return length == 4 && memcmp(decoded, "ABCD", 4) == 0; });
    free(decoded);
    fail_each_allocation(
        "encode", false,
        [&] {
            free(encoded);
            encoded = base64_encode_buffer(bytes.data(), 100, &length);
            return encoded != nullptr;
        },
        [&] { return length == 136; });
    free(encoded);
}

TEST_F(AllocationFailure, ContainerOperationsFailCleanlyOnEveryAllocation)
{
    Bytes plaintext = sample_bytes(70);
    for (const char* password : {"pw", ".1pw", ".3pw", ".Cpw"}) {
        ScopedResult sealed;
        ASSERT_EQ(encrypt_salted(plaintext.data(), 70, password, &sealed.r, nullptr), 1);
        Bytes container = result_bytes(sealed.r);

        ScopedResult result;
        fail_each_allocation(
            password, true,
            [&] {
                release_cipher_result(&result.r);
                result.r = {};
                return encrypt_salted(plaintext.data(), 70, password, &result.r, nullptr) == 1;
            },
            [&] {
                ScopedResult check;
                return decrypt_salted(result.r.data, result.r.length, password, &check.r, nullptr) == 1 &&
                       result_bytes(check.r) == plaintext;
            });
        fail_each_allocation(
            password, true,
            [&] {
                release_cipher_result(&result.r);
                result.r = {};
                CipherError error = {};
                return decrypt_salted(container.data(), static_cast<uint32_t>(container.size()), password, &result.r,
                                      &error) == 1;
            },
            [&] { return result_bytes(result.r) == plaintext; });
    }
}

} // namespace
