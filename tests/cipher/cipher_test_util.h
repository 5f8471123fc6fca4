// Helpers of the cipher engine tests: sample bytes, hex, the system openssl command.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include <openssl/evp.h>

#include "cipher/container.h"
#include "cipher/fips.h"
#include "log/syslog.h"
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

// Switches this test process into FIPS mode against the real provider.
inline bool fips_mode_on()
{
    return enable_fips_mode(nullptr, nullptr, log_crypto_error_line) == 1 &&
           EVP_default_properties_is_fips_enabled(nullptr) == 1;
}

#if !defined(_WIN32) // the test support library starts child processes on POSIX only
// The openssl command found on PATH, or "" when there is none.
inline std::string openssl_program()
{
    const char* path = getenv("PATH");
    std::string folders = path ? path : "";
    size_t start = 0;
    while (start <= folders.size()) {
        size_t end = folders.find(':', start);
        if (end == std::string::npos)
            end = folders.size();
        std::string candidate = folders.substr(start, end - start) + "/openssl";
        if (end > start && access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return "";
}

// Runs the openssl command with the plain default provider (no FIPS configuration).
inline ProcessResult run_openssl(const std::vector<std::string>& args, const Bytes& input)
{
    std::vector<std::string> argv = {"openssl"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_process(openssl_program(), argv, {"OPENSSL_CONF=", "OPENSSL_MODULES="},
                       std::string(input.begin(), input.end()));
}
#endif

// What the cipher engine printed through print_err while record_print was its hook.
inline std::string printed;

inline int record_print(const char* format, va_list args)
{
    char line[512];
    int n = vsnprintf(line, sizeof line, format, args);
    printed += line;
    return n;
}
