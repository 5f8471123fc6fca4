// Base64 transport encoding: padding repair, exact lengths, failures as null.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

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

} // namespace
