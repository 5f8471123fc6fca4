// Base64 transport encoding: padding repair, exact lengths, pieces of a stream, failures as null.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cipher/base64.h"
#include "tests/cipher/cipher_test_util.h"

namespace {

struct Decoded {
    bool ok;
    Bytes bytes;
};

// The first length characters of text (all of them by default) decoded.
Decoded decode(const std::string& text, size_t length = std::string::npos)
{
    uint32_t decoded_length = 0xdeadbeef;
    length = std::min(length, text.size());
    unsigned char* out = base64_decode_buffer(text.data(), static_cast<int>(length), &decoded_length);
    if (!out) {
        EXPECT_EQ(decoded_length, 0xdeadbeefu) << "out-parameter written on failure for \"" << text << "\"";
        return {false, {}};
    }
    Decoded d{true, Bytes(out, out + decoded_length)};
    free(out);
    return d;
}

std::string encode(const Bytes& bytes)
{
    uint32_t text_length = 0;
    char* text = base64_encode_buffer(bytes.data(), static_cast<int>(bytes.size()), &text_length);
    if (!text)
        return "<null>";
    std::string s(text);
    EXPECT_EQ(s.size(), text_length) << "text length differs from the NUL position";
    free(text);
    return s;
}

// Each text is the encoding of its bytes; the text without its "=" padding, and with any
// missing "=" added, decodes to the same bytes.
TEST(Base64, EveryStartedGroupIsFourCharactersAndPaddingIsRepaired)
{
    const struct {
        std::string bytes, text;
    } cases[] = {
        {"A", "QQ=="},
        {"AB", "QUI="},
        {"ABC", "QUJD"},
        {"ABCD", "QUJDRA=="},
        {std::string("\0\0\0", 3), "AAAA"},
        {std::string("\0\0\0\1\0\0\0\0\2\0", 10), "AAAAAQAAAAACAA=="}, // zero bytes survive
        {"\xff\xfe\xfd", "//79"},
        {"\xfb\xef", "++8="},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("text \"" + c.text + "\"");
        EXPECT_EQ(encode(bytes_of(c.bytes)), c.text);
        std::string bare = c.text.substr(0, c.text.find('='));
        for (const std::string& text : {c.text, bare, bare + "=", bare + "=="}) {
            if (text.size() > (bare.size() + 3) / 4 * 4)
                continue; // more "=" than the group has room for
            Decoded d = decode(text);
            ASSERT_TRUE(d.ok) << text;
            EXPECT_EQ(d.bytes, bytes_of(c.bytes)) << text;
        }
    }
    // Long texts: 3 bytes per group, less one for each trailing "=".
    for (size_t length : {4095u, 4096u, 4097u, 1u << 20}) {
        Bytes bytes = sample_bytes(length, static_cast<uint32_t>(length));
        std::string text = encode(bytes);
        EXPECT_EQ(text.size(), (length + 2) / 3 * 4) << length << " bytes";
        for (const std::string& t : {text, text.substr(0, text.find('='))}) {
            Decoded d = decode(t);
            EXPECT_TRUE(d.ok && d.bytes == bytes) << length << " bytes, text of " << t.size();
        }
    }
}

TEST(Base64, DecodingHonoursTheGivenLengthAndLeavesTheTextAlone)
{
    const std::string text = "QUJDRUZH"; // read up to the given length, padded in a copy
    EXPECT_EQ(decode(text, 6).bytes, bytes_of("ABCE"));
    EXPECT_EQ(text, "QUJDRUZH");
    unsigned char* out = base64_decode_buffer(text.data(), 8, nullptr); // the out-parameter is optional
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(memcmp(out, "ABCEFG", 6), 0);
    free(out);
}

TEST(Base64, FailuresGiveNullAndLeaveTheOutParameter)
{
    for (const char* text : {"QU\nJ", "QUJD\nQUJD", "QU*D", "QUJD QUJD", "QU-D", "QUJD\n", "\xc3\xa9QQ", "QUJD\r\n",
                             "QQ=\n"})
        EXPECT_FALSE(decode(text).ok) << "text \"" << text << "\"";
    uint32_t length = 77;
    EXPECT_EQ(base64_decode_buffer("QUJD", 0, &length), nullptr);
    EXPECT_EQ(base64_decode_buffer("QUJD", -4, &length), nullptr);
    EXPECT_EQ(base64_decode_buffer(nullptr, 4, &length), nullptr);
    const unsigned char bytes[] = {1, 2, 3};
    EXPECT_EQ(base64_encode_buffer(bytes, 0, &length), nullptr);
    EXPECT_EQ(base64_encode_buffer(bytes, -1, &length), nullptr);
    EXPECT_EQ(base64_encode_buffer(nullptr, 3, &length), nullptr);
    EXPECT_EQ(base64_encode_buffer(bytes, BASE64_ENCODE_MAX + 1, &length), nullptr);
    EXPECT_EQ(length, 77u) << "out-parameter written on failure";
    // Encoding into a caller's buffer (piece by piece: the native-messaging data messages)
    // needs room for the NUL as well, and leaves a buffer without it untouched.
    char text[5] = "????";
    EXPECT_EQ(base64_encode_into(bytes, 3, text, 4), 0u);
    EXPECT_STREQ(text, "????");
    EXPECT_EQ(base64_encode_into(bytes, 3, text, 5), 4u);
    EXPECT_STREQ(text, "AQID");
}

TEST(Base64, EveryFailedAllocationGivesNull)
{
    Bytes bytes = sample_bytes(100);
    unsigned char* decoded = nullptr;
    char* encoded = nullptr;
    uint32_t length = 0;
    fail_each_allocation( // "QUJDRA" needs padding repair: two allocations
        "decode", false,
        [&] {
            free(decoded);
            decoded = base64_decode_buffer("QUJDRA", 6, &length);
            return decoded != nullptr;
        },
        [&] { return length == 4 && memcmp(decoded, "ABCD", 4) == 0; });
    fail_each_allocation(
        "encode", false,
        [&] {
            free(encoded);
            encoded = base64_encode_buffer(bytes.data(), 100, &length);
            return encoded != nullptr;
        },
        [&] { return length == 136; });
    free(decoded);
    free(encoded);
}

// ---- pieces of a stream ------------------------------------------------------------------

// The decoder fed with text cut into pieces of at most piece characters, into a buffer of
// the size the whole text needs.
Decoded decode_in_pieces(const std::string& text, size_t piece)
{
    Bytes out((text.size() + 3) / 4 * 3 + 1);
    Base64Decoder decoder;
    base64_decoder_start(&decoder, out.data(), out.size());
    for (size_t at = 0; at < text.size(); at += piece)
        EXPECT_TRUE(base64_decoder_feed(&decoder, text.data() + at, std::min(piece, text.size() - at)));
    EXPECT_TRUE(base64_decoder_feed(&decoder, text.data() + text.size(), 0)) << "an empty piece changes nothing";
    uint32_t length = 0xdeadbeef;
    if (!base64_decoder_finish(&decoder, &length)) {
        EXPECT_EQ(length, 0xdeadbeefu);
        return {false, {}};
    }
    return {true, Bytes(out.begin(), out.begin() + length)};
}

TEST(Base64, DecodingInPiecesGivesWhatTheWholeTextGives)
{
    // Clean texts, and every way the library trims or refuses: white space in front (it
    // trims), line ends, blanks and "-" at the end (it trims them while 4 characters are
    // left), anything else anywhere, "=" inside, runs longer than a group.
    const std::string texts[] = {
        "", "Q", "QQ", "QUI", "QUJD", "QUJDRA", "QUJDREU", "QUJDREVG", "QQ==", "QUI=", "QQ=", "====", "=",
        "QUJDRA==QUJD", "AAAAAAAAAAAAAAAA", " QUJD", "\tQUJD", "     QUJDREVG", " Q", "  ", "QUJD\n", "QUJD ",
        "QUJD-", "QUJD----", "QUJDQQ\t ", "QUJD\t\t\t\t", "QUJD\n\n\n\n", "QUJD\r\n\r\n\r\n\r\n",
        "QUJDREVG\n\n\n\n\n\n\n", "QQ==\n\n\n\n", "\n\n\n\n", "    ", "QUJD QUJD", "QU*D", "QUJDQUJDQ*JD",
        "QUJD\nQUJD", "QUJDQUJD!", "QUJDQU\n\n", "\xc3\xa9QQ", std::string("QUJDREVGR0hJ\0KTE1", 17),
        std::string(41, 'Q') + "\n\n\n",
    };
    for (const std::string& text : texts) {
        Decoded whole = decode(text);
        for (size_t piece = 1; piece <= std::max<size_t>(text.size(), 1); ++piece) {
            Decoded pieces = decode_in_pieces(text, piece);
            ASSERT_EQ(pieces.ok, whole.ok) << "text \"" << text << "\", pieces of " << piece;
            EXPECT_EQ(pieces.bytes, whole.bytes) << "text \"" << text << "\", pieces of " << piece;
        }
    }
    Bytes out(3); // more text than the buffer holds is refused
    Base64Decoder decoder;
    base64_decoder_start(&decoder, out.data(), out.size());
    EXPECT_TRUE(base64_decoder_feed(&decoder, "QUJD", 4));
    EXPECT_FALSE(base64_decoder_feed(&decoder, "Q", 1));
    uint32_t length = 0;
    EXPECT_FALSE(base64_decoder_finish(&decoder, &length));
}

TEST(Base64, AaaaIsFoundWithoutMakingTheText)
{
    auto expect_agrees = [](const Bytes& bytes, const std::string& what) {
        std::string text = encode(bytes);
        EXPECT_EQ(base64_text_has_aaaa(bytes.data(), bytes.size()), text.find("AAAA") != std::string::npos)
            << what << ", text " << text.substr(0, 80);
    };
    // Runs of zero bytes at every offset of buffers up to a few groups long, between
    // neighbours whose zero bits (high, low, middle or none) can join the run's.
    for (int neighbour : {0x01, 0x03, 0x80, 0xc0, 0x10, 0x08, 0xff})
        for (size_t length = 1; length <= 13; ++length)
            for (size_t run = 1; run <= std::min<size_t>(4, length); ++run)
                for (size_t at = 0; at + run <= length; ++at) {
                    Bytes bytes(length, static_cast<unsigned char>(neighbour));
                    std::fill(bytes.begin() + at, bytes.begin() + at + run, 0);
                    expect_agrees(bytes, "length " + std::to_string(length) + ", " + std::to_string(run) +
                                             " zeros at " + std::to_string(at));
                }
    // Long buffers: the word scan and its tail.
    for (size_t length : {64u, 65u, 1000u, 4099u}) {
        Bytes bytes = sample_bytes(length, 5);
        std::replace(bytes.begin(), bytes.end(), 0, 1);
        expect_agrees(bytes, std::to_string(length) + " bytes without zeros");
        for (size_t at : {size_t{0}, length / 2, length - 3}) {
            Bytes copy = bytes;
            std::fill(copy.begin() + at, copy.begin() + at + 3, 0);
            expect_agrees(copy, std::to_string(length) + " bytes, 3 zeros at " + std::to_string(at));
        }
    }
}

} // namespace
