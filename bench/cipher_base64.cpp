// Throughput of base64_encode_buffer and base64_decode_buffer on 64 MiB against bare
// EVP_EncodeBlock / EVP_DecodeBlock into freshly allocated output. Prints ratios (>= 0.9 is
// the target); best of several runs. Decoding a text without its padding adds one copy.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <openssl/evp.h>

#include "cipher/base64.h"

static constexpr int PAYLOAD = 64 << 20;
static constexpr int RUNS = 7;

static double now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

static double best_of(auto&& op)
{
    double best = 1e9;
    for (int run = 0; run < RUNS; run++) {
        double t0 = now();
        op();
        double t = now() - t0;
        best = t < best ? t : best;
    }
    return best;
}

int main()
{
    unsigned char* bytes = static_cast<unsigned char*>(malloc(PAYLOAD));
    for (int i = 0; i < PAYLOAD; i++)
        bytes[i] = static_cast<unsigned char>(i * 131 + (i >> 13));
    const int text_length = (PAYLOAD + 2) / 3 * 4;
    // 64 MiB is not a multiple of 3, so the text ends in "=": a second text without the
    // padding exercises the repair path.
    char* text = static_cast<char*>(malloc(static_cast<size_t>(text_length) + 1));
    EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text), bytes, PAYLOAD);
    int bare_length = text_length;
    while (text[bare_length - 1] == '=')
        bare_length--;
    bool ok = true;

    double base_enc = best_of([&] {
        char* out = static_cast<char*>(malloc(static_cast<size_t>(text_length) + 1));
        ok &= EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out), bytes, PAYLOAD) == text_length;
        free(out);
    });
    double enc = best_of([&] {
        uint32_t length = 0;
        char* out = base64_encode_buffer(bytes, PAYLOAD, &length);
        ok &= out && length == static_cast<uint32_t>(text_length);
        free(out);
    });
    double base_dec = best_of([&] {
        unsigned char* out = static_cast<unsigned char*>(malloc(static_cast<size_t>(text_length) / 4 * 3));
        ok &= EVP_DecodeBlock(out, reinterpret_cast<unsigned char*>(text), text_length) >= PAYLOAD;
        free(out);
    });
    double dec = best_of([&] {
        uint32_t length = 0;
        unsigned char* out = base64_decode_buffer(text, text_length, &length);
        ok &= out && length == static_cast<uint32_t>(PAYLOAD);
        free(out);
    });
    double dec_repair = best_of([&] {
        uint32_t length = 0;
        unsigned char* out = base64_decode_buffer(text, bare_length, &length);
        ok &= out && length == static_cast<uint32_t>(PAYLOAD);
        free(out);
    });
    double mib = PAYLOAD / 1048576.0;
    printf("encode 64 MiB: bare %.0f MiB/s, base64_encode_buffer %.0f MiB/s (ratio %.2f)\n", mib / base_enc,
           mib / enc, base_enc / enc);
    printf("decode 64 MiB: bare %.0f MiB/s, base64_decode_buffer %.0f MiB/s (ratio %.2f), "
           "without padding %.0f MiB/s (ratio %.2f)\n",
           mib / base_dec, mib / dec, base_dec / dec, mib / dec_repair, base_dec / dec_repair);
    free(text);
    free(bytes);
    if (!ok)
        printf("a run failed\n");
    return ok ? 0 : 1;
}
