// Helpers of the cipher engine tests: sample bytes, sealing and opening, allocation failures
// in turn.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cipher/container.h"
#include "tests/support/alloc_fail.h"

using Bytes = std::vector<unsigned char>;

// Deterministic bytes that differ from offset to offset and from seed to seed.
inline Bytes sample_bytes(size_t length, uint32_t seed = 1)
{
    Bytes out(length);
    uint32_t x = seed * 2654435761u + 1;
    for (unsigned char& b : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<unsigned char>(x);
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
    Bytes bytes() const { return Bytes(r.data, r.data + r.length); }
};

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
    return {rc, rc ? result.bytes() : Bytes{}, error.text, error.code};
}

inline Outcome seal(const Bytes& plaintext, const std::string& password) { return seal_or_open(true, plaintext, password); }
inline Outcome open(const Bytes& container, const std::string& password) { return seal_or_open(false, container, password); }

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
