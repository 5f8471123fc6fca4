// Fuzz target of the Base64 decoder (and the encoder on the decoded bytes).
// Input: the text, in a heap block of exactly its size, so the sanitizer reports any read
// beyond it. Checks: the decoded length never exceeds the output buffer, encoding the
// decoded bytes gives a text that decodes to the same bytes, the input is not touched, the
// stream decoder fed in pieces (sizes taken from the text's length) gives what the whole
// text gives, and the AAAA test on the decoded bytes agrees with their text.
#include "cipher/base64.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > (1u << 20))
        return 0;
    std::vector<char> original(data, data + size);
    char* text = static_cast<char*>(malloc(size ? size : 1));
    memcpy(text, data, size);
    const int length = static_cast<int>(size);

    uint32_t decoded_length = 0xffffffffu;
    unsigned char* decoded = base64_decode_buffer(text, length, &decoded_length);
    if (size > 0 && memcmp(text, original.data(), size) != 0)
        abort();

    std::vector<unsigned char> streamed((size + 3) / 4 * 3 + 1);
    Base64Decoder decoder;
    base64_decoder_start(&decoder, streamed.data(), streamed.size());
    const size_t piece = size % 7 + 1;
    for (size_t at = 0; at < size; at += piece)
        base64_decoder_feed(&decoder, text + at, size - at < piece ? size - at : piece);
    uint32_t streamed_length = 0;
    bool streamed_ok = base64_decoder_finish(&decoder, &streamed_length);
    if (streamed_ok != (decoded != nullptr) ||
        (decoded && (streamed_length != decoded_length || memcmp(streamed.data(), decoded, decoded_length) != 0)))
        abort();
    if (decoded) {
        size_t padded = (size + 3) / 4 * 4;
        if (decoded_length > padded / 4 * 3)
            abort();
        if (decoded_length > 0) {
            uint32_t text_length = 0;
            char* again = base64_encode_buffer(decoded, static_cast<int>(decoded_length), &text_length);
            if (!again || text_length != (decoded_length + 2) / 3 * 4 || again[text_length] != '\0')
                abort();
            bool has_aaaa = std::string_view(again, text_length).find("AAAA") != std::string_view::npos;
            if (base64_text_has_aaaa(decoded, decoded_length) != has_aaaa)
                abort();
            uint32_t round_length = 0;
            unsigned char* round = base64_decode_buffer(again, static_cast<int>(text_length), &round_length);
            if (!round || round_length != decoded_length || memcmp(round, decoded, decoded_length) != 0)
                abort();
            free(round);
            free(again);
        }
        free(decoded);
    } else if (decoded_length != 0xffffffffu) {
        abort();
    }
    free(text);
    return 0;
}
