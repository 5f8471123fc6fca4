// Speed of the query "{'p'" on a chunk message {"p":"<N Base64 characters>"}, as a ratio to
// memchr looking for the closing quote over the same bytes in the same run.
#include "json/json_query.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr int ROUNDS = 5;                    // best of, against noise from other processes
constexpr size_t BYTES_PER_ROUND = 1u << 30; // scanned per round and per contender
constexpr char BASE64_ALPHABET[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string chunk_message(size_t n)
{
    std::string text = "{\"p\":\"";
    text.reserve(n + 8);
    uint32_t seed = 7;
    for (size_t i = 0; i < n; ++i) {
        seed = seed * 1103515245u + 12345u;
        text += BASE64_ALPHABET[(seed >> 16) % 64];
    }
    return text + "\"}";
}

template <typename Scan> double best_seconds(size_t repeats, Scan scan)
{
    double best = 1e30;
    for (int round = 0; round < ROUNDS; ++round) {
        auto begin = std::chrono::steady_clock::now();
        for (size_t i = 0; i < repeats; ++i) {
            scan();
        }
        std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - begin;
        if (elapsed.count() < best) {
            best = elapsed.count();
        }
    }
    return best;
}

} // namespace

int main()
{
    bool ok = true;
    for (size_t n : {size_t{64000}, size_t{16} << 20}) {
        std::string message = chunk_message(n);
        const char* text = message.c_str();
        const char* body = text + 6;
        size_t repeats = BYTES_PER_ROUND / n;
        if (repeats < 4) {
            repeats = 4;
        }
        volatile size_t sink = 0;
        double memchr_seconds = best_seconds(repeats, [&] {
            const void* quote = std::memchr(body, '"', n + 2);
            sink = sink + static_cast<size_t>(static_cast<const char*>(quote) - body);
        });
        double query_seconds = best_seconds(repeats, [&] {
            JsonElement e;
            json_query(text, "{'p'", &e);
            sink = sink + static_cast<size_t>(e.length);
        });
        JsonElement e;
        json_query(text, "{'p'", &e);
        if (e.type != JSON_TYPE_STRING || static_cast<size_t>(e.length) != n || e.start != body) {
            std::printf("N = %zu: the query did not find the chunk\n", n);
            ok = false;
        }
        double gigabytes = static_cast<double>(n) * static_cast<double>(repeats) / 1e9;
        std::printf(
            "N = %9zu: memchr %6.2f GB/s, query \"{'p'\" %6.2f GB/s, ratio %.2f of memchr\n", n,
            gigabytes / memchr_seconds, gigabytes / query_seconds, memchr_seconds / query_seconds);
    }
    return ok ? 0 : 1;
}
