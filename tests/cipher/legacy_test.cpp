// The cipher engine in a process that never switches on FIPS mode: published PBKDF2 vectors
// and the 'A' container as the openssl enc command reads and writes it.
// The generator replacement below uses the crypto library's older RAND_METHOD interface.
#define OPENSSL_SUPPRESS_DEPRECATED

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include <openssl/evp.h>
#include <openssl/rand.h>

#include "cipher/container.h"
#include "tests/cipher/cipher_test_util.h"
#include "tests/support/process.h"

namespace {

// Runs the openssl command found on PATH with the plain default provider (no FIPS
// configuration); the shell's status 127 when there is none.
ProcessResult run_openssl(const std::vector<std::string>& args, const Bytes& input)
{
    std::vector<std::string> argv = {"sh", "-c", "exec openssl \"$@\"", "openssl"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_process("/bin/sh", argv, {"OPENSSL_CONF=", "OPENSSL_MODULES="}, std::string(input.begin(), input.end()));
}

class WithoutFips : public testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_EQ(EVP_default_properties_is_fips_enabled(nullptr), 0); }
};

// RFC 7914 section 11, PBKDF2-HMAC-SHA256 with 64-byte outputs.
TEST_F(WithoutFips, Pbkdf2MatchesThePublishedSha256Vectors)
{
    struct Vector {
        const char* password;
        const char* salt;
        uint32_t iterations;
        const char* key;
    } vectors[] = {
        {"passwd", "salt", 1,
         "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc"
         "49ca9cccf179b645991664b39d77ef317c71b845b1e30bd509112041d3a19783"},
        {"Password", "NaCl", 80000,
         "4ddcd8f60b98be21830cee5ef22701f9641a4418d04c0414aeff08876b34ab56"
         "a1d425a1225833549adb841b51c9b3176a272bdebba1d078478f62b397f33c8d"},
    };
    for (const Vector& v : vectors) {
        unsigned char key[64];
        ASSERT_EQ(derive_pbkdf2(nullptr, v.password, strlen(v.password), reinterpret_cast<const unsigned char*>(v.salt),
                                strlen(v.salt), v.iterations, "SHA256", key, sizeof key),
                  0)
            << v.password;
        char hex[2 * sizeof key + 1];
        for (size_t i = 0; i < sizeof key; i++)
            snprintf(hex + 2 * i, 3, "%02x", key[i]);
        EXPECT_STREQ(hex, v.key) << "password " << v.password << ", " << v.iterations << " iterations";
    }
}

// 'A' is the format of "openssl enc -aes-256-cbc -md md5": each side opens the other's
// containers, and a wrong password is refused by the padding check nearly always.
TEST_F(WithoutFips, LegacyContainersCrossWithTheOpensslEncCommand)
{
    const std::vector<std::string> enc = {"enc", "-aes-256-cbc", "-md", "md5", "-pass", "pass:P"};
    std::vector<std::string> dec = enc;
    dec.insert(dec.begin() + 1, "-d");
    for (size_t length : {0u, 1u, 15u, 16u, 17u, 4095u}) {
        SCOPED_TRACE(std::to_string(length) + " bytes");
        Bytes plaintext = sample_bytes(length, 9);
        ProcessResult theirs = run_openssl(enc, plaintext);
        ASSERT_EQ(theirs.status, 0) << theirs.err;
        ASSERT_EQ(theirs.out.size(), 16 + (length / 16 + 1) * 16);
        Outcome opened = open(bytes_of(theirs.out), ".AP");
        EXPECT_EQ(opened.bytes, plaintext) << opened.text;
        Outcome ours = seal(plaintext, ".AP");
        ASSERT_EQ(ours.bytes.size(), 16 + (length / 16 + 1) * 16);
        EXPECT_TRUE(std::all_of(ours.bytes.begin() + 8, ours.bytes.begin() + 16, [](int b) { return b >= 1 && b <= 253; }))
            << "salt bytes in 1..253";
        ProcessResult back = run_openssl(dec, ours.bytes);
        ASSERT_EQ(back.status, 0) << back.err;
        EXPECT_EQ(bytes_of(back.out), plaintext);
    }
    int failures = 0;
    for (int round = 0; round < 16; round++) {
        Outcome wrong = open(seal(sample_bytes(333), ".Asecret").bytes, ".Asecreu");
        failures += wrong.rc == 0;
        if (wrong.rc) {
            EXPECT_NE(wrong.bytes, sample_bytes(333));
        }
    }
    EXPECT_GE(failures, 13);
}

// A generator whose n-th request fails (0: none), counting the requests it sees.
int rand_calls = 0;
int rand_fail_at = 0;

int counting_bytes(unsigned char* buffer, int count)
{
    rand_calls++;
    if (rand_calls == rand_fail_at)
        return 0;
    memset(buffer, 0x42, static_cast<size_t>(count));
    return 1;
}

int counting_status()
{
    return 1;
}

const RAND_METHOD COUNTING_RAND = {nullptr, counting_bytes, nullptr, nullptr, counting_bytes, counting_status};

TEST_F(WithoutFips, AFailingGeneratorFailsTheOperationWhateverRequestItRefuses)
{
    ASSERT_EQ(RAND_set_rand_method(&COUNTING_RAND), 1);
    unsigned char bytes[32];
    rand_fail_at = 1;
    rand_calls = 0;
    memset(bytes, 0x77, sizeof bytes);
    EXPECT_EQ(random_nonzero_bytes(bytes, 32), 0);
    EXPECT_EQ(Bytes(bytes, bytes + 32), Bytes(32, 0)) << "generator output handed out after a failure";

    Bytes plaintext = sample_bytes(40);
    // Requests per container: salt, then IV or nonce, then the CTR filler.
    struct Case {
        const char* password;
        int requests;
    } cases[] = {{".1pw", 2}, {".2pw", 3}, {".3pw", 2}, {".5pw", 3}, {".Apw", 1}, {".Cpw", 1}};
    for (const Case& c : cases) {
        for (int fail = 1; fail <= c.requests + 1; fail++) {
            rand_fail_at = fail;
            rand_calls = 0;
            ScopedResult result;
            int rc = encrypt_salted(plaintext.data(), 40, c.password, &result.r, nullptr);
            EXPECT_EQ(rc, fail > c.requests ? 1 : 0) << c.password << " with request " << fail << " failing";
            EXPECT_EQ(rand_calls, fail > c.requests ? c.requests : fail) << c.password;
        }
    }
    RAND_set_rand_method(nullptr);
}

} // namespace
