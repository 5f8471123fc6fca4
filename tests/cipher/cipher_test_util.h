// Helpers of the cipher engine tests: sample bytes, hex, sealing and opening, the FIPS-mode
// fixture, allocation failures in turn, the system openssl command.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/evp.h>

#include "cipher/container.h"
#include "cipher/fips.h"
#include "log/console.h"
#include "log/syslog.h"
#include "tests/support/alloc_fail.h"
#include "tests/support/process.h"

using Bytes = std::vector<unsigned char>;

// Deterministic bytes that differ from offset to offset and from seed to seed.
inline Bytes sample_bytes(size_t length, uint32_t seed = 1)
{
    Bytes out(length);
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < length; i++) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out[i] = static_cast<unsigned char>(x);
    }
    return out;
}

inline std::string to_hex(const unsigned char* bytes, size_t length)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < length; i++) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

inline Bytes bytes_of(const std::string& text)
{
    return Bytes(text.begin(), text.end());
}

// The record of one container operation, released when the test scope ends.
struct ScopedResult {
    CipherResult r{};
    ~ScopedResult() { release_cipher_result(&r); }
};

inline Bytes result_bytes(const CipherResult& r)
{
    return Bytes(r.data, r.data + r.length);
}

// One container operation with an allocated result: its code, bytes (on success), reason.
struct Outcome {
    int rc;
    Bytes bytes;
    std::string text;
    int32_t code;
};

inline Outcome seal_or_open(bool sealing, const Bytes& input, const std::string& password)
{
    ScopedResult result;
    CipherError error = {};
    error.code = 7;
    auto length = static_cast<uint32_t>(input.size());
    int rc = sealing ? encrypt_salted(input.data(), length, password.c_str(), &result.r, &error)
                     : decrypt_salted(input.data(), length, password.c_str(), &result.r, &error);
    return {rc, rc ? result_bytes(result.r) : Bytes{}, error.text, error.code};
}

inline Outcome seal(const Bytes& plaintext, const std::string& password)
{
    return seal_or_open(true, plaintext, password);
}

inline Outcome open(const Bytes& container, const std::string& password)
{
    return seal_or_open(false, container, password);
}

// Switches this test process into FIPS mode against the real provider.
inline bool fips_mode_on()
{
    return enable_fips_mode(nullptr, nullptr, log_crypto_error_line) == 1 &&
           EVP_default_properties_is_fips_enabled(nullptr) == 1;
}

// What the cipher engine printed through print_err while record_print was its hook.
inline std::string printed;

inline int record_print(const char* format, va_list args)
{
    char line[512];
    int n = vsnprintf(line, sizeof line, format, args);
    printed += line;
    return n;
}

// Cases of the engine in FIPS mode: print_err recorded into printed, the error queue cleared.
class FipsCipherTest : public testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(fips_mode_on()); }
    void SetUp() override
    {
        set_user_print_err(record_print);
        printed.clear();
    }
    void TearDown() override
    {
        set_user_print_err(nullptr);
        ERR_clear_error();
    }
};

// Runs op with its n-th allocation failing (ours, and with include_crypto the crypto
// library's too), n = 1, 2, ... until op makes fewer than n; op returns whether it
// succeeded, check whether a success carried the right result. (The sanitizer build checks
// that no failure leaks.)
inline void fail_each_allocation(const std::string& what, bool include_crypto,
                                 const std::function<bool()>& op, const std::function<bool()>& check)
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

#if !defined(_WIN32) // the test support library starts child processes on POSIX only
// Runs the openssl command found on PATH with the plain default provider (no FIPS
// configuration); the shell's status 127 when there is none.
inline ProcessResult run_openssl(const std::vector<std::string>& args, const Bytes& input)
{
    std::vector<std::string> argv = {"sh", "-c", "exec openssl \"$@\"", "openssl"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_process("/bin/sh", argv, {"OPENSSL_CONF=", "OPENSSL_MODULES="},
                       std::string(input.begin(), input.end()));
}
#endif
