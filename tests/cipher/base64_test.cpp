// Base64 transport encoding: padding repair, exact lengths, failures as null.
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

Decoded decode(const std::string& text, int length = -1)
{
    uint32_t decoded_length = 0xdeadbeef;
    unsigned char* out = base64_decode_buffer(text.data(), length < 0 ? static_cast<int>(text.size()) : length,
                                              &decoded_length);
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

TEST(Base64, EncodingPadsEveryStartedGroupToFourCharacters)
{
    struct Case {
        std::string bytes;
        std::string text;
    } cases[] = {
        {"A", "QQ=="},
        {"AB", "QUI="},
        {"ABC", "QUJD"},
        {"ABCD", "QUJDRA=="},
        {std::string("\0\0\0", 3), "AAAA"},
        {"\xff\xfe\xfd", "//79"},
        {"\xfb\xef", "++8="},
    };
    for (const Case& c : cases)
        EXPECT_EQ(encode(bytes_of(c.bytes)), c.text) << "bytes \"" << c.bytes << "\"";
}

TEST(Base64, DecodingRepairsMissingPaddingAndCountsPaddingOut)
{
    struct Case {
        std::string text;
        std::string bytes;
    } cases[] = {
        {"QUJD", "ABC"},
        {"QUI=", "AB"},
        {"QUI", "AB"},        // one "=" appended
        {"QQ==", "A"},
        {"QQ", "A"},          // "==" appended
        {"QQ=", "A"},         // one more "=" appended
        {"QUJDRA", "ABCD"},
        {"QUJDREU", "ABCDE"},
        {"//79", "\xff\xfe\xfd"},
        {"++8=", "\xfb\xef"},
    };
    for (const Case& c : cases) {
        Decoded d = decode(c.text);
        ASSERT_TRUE(d.ok) << "text \"" << c.text << "\"";
        EXPECT_EQ(d.bytes, bytes_of(c.bytes)) << "text \"" << c.text << "\"";
    }
}

TEST(Base64, DecodingHonoursTheGivenLengthAndLeavesTheTextAlone)
{
    // No terminator needed, and the text is read only up to its length.
    const char text[] = {'Q', 'U', 'J', 'D', 'R', 'U', 'Z', 'H'};
    uint32_t length = 0;
    unsigned char* out = base64_decode_buffer(text, 6, &length);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(Bytes(out, out + length), bytes_of("ABCE"));
    free(out);
    EXPECT_EQ(std::string(text, sizeof text), "QUJDRUZH");
    // The out-parameter is optional.
    out = base64_decode_buffer(text, 8, nullptr);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(memcmp(out, "ABCEFG", 6), 0);
    free(out);
}

TEST(Base64, LongTextsLoseOneBytePerTrailingPad)
{
    for (int groups : {1, 2, 100, 1000}) {
        std::string body(static_cast<size_t>(groups - 1) * 4, 'Q');
        Decoded two = decode(body + "QQ==");
        Decoded one = decode(body + "QUI=");
        Decoded none = decode(body + "QUJD");
        ASSERT_TRUE(two.ok && one.ok && none.ok) << groups << " groups";
        EXPECT_EQ(two.bytes.size(), static_cast<size_t>(3 * groups - 2)) << groups << " groups";
        EXPECT_EQ(one.bytes.size(), static_cast<size_t>(3 * groups - 1)) << groups << " groups";
        EXPECT_EQ(none.bytes.size(), static_cast<size_t>(3 * groups)) << groups << " groups";
    }
}

TEST(Base64, ZeroBytesSurviveBothDirections)
{
    Bytes bytes = {0, 0, 0, 1, 0, 0, 0, 0, 2, 0};
    std::string text = encode(bytes);
    EXPECT_EQ(text, "AAAAAQAAAAACAA==");
    Decoded d = decode(text);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.bytes, bytes);
}

TEST(Base64, RoundTripsEveryLengthUpToThreeGroupsAndLargeBuffers)
{
    for (size_t length : {1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 10u, 11u, 12u, 13u, 255u, 4095u, 1u << 20}) {
        Bytes bytes = sample_bytes(length, static_cast<uint32_t>(length));
        std::string text = encode(bytes);
        EXPECT_EQ(text.size(), (length + 2) / 3 * 4) << length << " bytes";
        Decoded d = decode(text);
        ASSERT_TRUE(d.ok) << length << " bytes";
        EXPECT_EQ(d.bytes, bytes) << length << " bytes";
        // The same text without its padding decodes alike.
        std::string bare = text.substr(0, text.find('='));
        Decoded b = decode(bare);
        ASSERT_TRUE(b.ok) << length << " bytes, unpadded";
        EXPECT_EQ(b.bytes, bytes) << length << " bytes, unpadded";
    }
}

TEST(Base64, TextsOutsideTheAlphabetGiveNull)
{
    const char* cases[] = {"QU\nJ", "QUJD\nQUJD", "QU*D", "QUJD QUJD", "QU-D", "QUJD\n", "\xc3\xa9QQ",
                           "QUJD\r\n", "QQ=\n"};
    for (const char* text : cases)
        EXPECT_FALSE(decode(text).ok) << "text \"" << text << "\"";
}

TEST(Base64, EmptyNegativeAndNullInputsGiveNull)
{
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
}

// ---- pieces of a stream ------------------------------------------------------------------

// The decoder fed with text cut at the given offsets (ascending), into a buffer of the size
// the whole text needs.
Decoded decode_in_pieces(const std::string& text, const std::vector<size_t>& cuts)
{
    Bytes out((text.size() + 3) / 4 * 3 + 1);
    Base64Decoder decoder;
    base64_decoder_start(&decoder, out.data(), out.size());
    size_t at = 0;
    for (size_t cut : cuts) {
        EXPECT_TRUE(base64_decoder_feed(&decoder, text.data() + at, cut - at));
        at = cut;
    }
    EXPECT_TRUE(base64_decoder_feed(&decoder, text.data() + at, text.size() - at));
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
        "QUJDREVG\n\n\n\n\n\n\n", "QQ==\n\n\n\n",
        "\n\n\n\n", "    ", "QUJD QUJD", "QU*D", "QUJDQUJDQ*JD", "QUJD\nQUJD", "QUJDQUJD!", "QUJDQU\n\n",
        "\xc3\xa9QQ", "QUJDREVGR0hJ\x00KTE1", std::string(41, 'Q') + "\n\n\n",
    };
    for (const std::string& text : texts) {
        Decoded whole = decode(text);
        std::vector<std::vector<size_t>> splits = {{}};
        for (size_t cut = 1; cut < text.size(); ++cut)
            splits.push_back({cut});
        std::vector<size_t> ones, threes;
        for (size_t cut = 1; cut < text.size(); ++cut)
            ones.push_back(cut);
        for (size_t cut = 3; cut < text.size(); cut += 3)
            threes.push_back(cut);
        splits.push_back(ones);
        splits.push_back(threes);
        for (const std::vector<size_t>& cuts : splits) {
            Decoded pieces = decode_in_pieces(text, cuts);
            std::string where = "text \"" + text + "\", " + std::to_string(cuts.size() + 1) + " pieces";
            ASSERT_EQ(pieces.ok, whole.ok) << where;
            EXPECT_EQ(pieces.bytes, whole.bytes) << where;
        }
    }
}

TEST(Base64, DecoderRefusesMoreTextThanItsBufferHolds)
{
    Bytes out(3);
    Base64Decoder decoder;
    base64_decoder_start(&decoder, out.data(), out.size());
    EXPECT_TRUE(base64_decoder_feed(&decoder, "QUJD", 4));
    EXPECT_FALSE(base64_decoder_feed(&decoder, "Q", 1));
    uint32_t length = 0;
    EXPECT_FALSE(base64_decoder_finish(&decoder, &length));
}

TEST(Base64, EncodingInPiecesOfWholeGroupsMatchesTheWholeText)
{
    Bytes bytes = sample_bytes(100, 9);
    std::string whole = encode(bytes);
    for (size_t piece : {3u, 6u, 48u, 99u}) {
        std::string joined;
        for (size_t at = 0; at < bytes.size(); at += piece) {
            size_t n = std::min(piece, bytes.size() - at);
            std::string text(base64_text_length(n) + 1, '?');
            EXPECT_EQ(base64_encode_into(bytes.data() + at, n, text.data(), text.size() - 1), 0u)
                << "a buffer without room for the NUL";
            EXPECT_EQ(base64_encode_into(bytes.data() + at, n, text.data(), text.size()), base64_text_length(n));
            EXPECT_EQ(text.back(), '\0');
            joined += text.substr(0, base64_text_length(n));
        }
        EXPECT_EQ(joined, whole) << "pieces of " << piece << " bytes";
    }
}

TEST(Base64, AaaaIsFoundWithoutMakingTheText)
{
    // Runs of zero bytes at every offset of buffers up to a few groups long, between
    // neighbours whose zero bits (high, low, middle or none) can join the run's.
    for (int neighbour : {0x01, 0x03, 0x80, 0xc0, 0x10, 0x08, 0xff}) {
        for (size_t length = 1; length <= 13; ++length) {
            for (size_t run = 1; run <= 4 && run <= length; ++run) {
                for (size_t at = 0; at + run <= length; ++at) {
                    Bytes bytes(length, static_cast<unsigned char>(neighbour));
                    for (size_t i = at; i < at + run; ++i)
                        bytes[i] = 0;
                    bool expected = encode(bytes).find("AAAA") != std::string::npos;
                    EXPECT_EQ(base64_text_has_aaaa(bytes.data(), bytes.size()), expected)
                        << "length " << length << ", zeros " << run << " at " << at << ", text " << encode(bytes);
                }
            }
        }
    }
    // Long buffers: the word scan and its tail.
    for (size_t length : {64u, 65u, 1000u, 4099u}) {
        Bytes bytes = sample_bytes(length, 5);
        for (unsigned char& b : bytes)
            b = b ? b : 1;
        EXPECT_FALSE(base64_text_has_aaaa(bytes.data(), bytes.size())) << length;
        for (size_t at : {size_t{0}, length / 2, length - 3}) {
            Bytes copy = bytes;
            copy[at] = copy[at + 1] = copy[at + 2] = 0;
            bool expected = encode(copy).find("AAAA") != std::string::npos;
            EXPECT_EQ(base64_text_has_aaaa(copy.data(), copy.size()), expected) << length << " at " << at;
        }
    }
}

} // namespace
