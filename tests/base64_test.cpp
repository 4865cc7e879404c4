#include "protocol/base64.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace tsb {
namespace {

struct DecodeCase {
    std::string text;
    std::string bytes;  // expected bytes, when `error` is empty
    std::string error;  // expected description of the fault
};

std::string random_bytes(std::mt19937& rng, std::size_t size) {
    std::uniform_int_distribution<int> byte(0, 255);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(byte(rng));
    return bytes;
}

TEST(Base64Decode, AcceptsCanonicalTextAndNamesEachFault) {
    const DecodeCase cases[] = {
        {"", "", ""},
        {"QQ==", "A", ""},
        {"QUI=", "AB", ""},
        {"QUJD", "ABC", ""},
        {"QUJDRA==", "ABCD", ""},
        {"+/+/", "\xfb\xff\xbf", ""},
        {"AAAA", std::string(3, '\0'), ""},
        // Bits beyond the last whole byte must be zero.
        {"QR==", "", "invalid last symbol 'R' at offset 1"},
        {"QUJ=", "", "invalid last symbol 'J' at offset 2"},
        {"QUK=", "", "invalid last symbol 'K' at offset 2"},
        {"QUJDRB==", "", "invalid last symbol 'B' at offset 5"},
        {"QUJDRP==", "", "invalid last symbol 'P' at offset 5"},
        {"QUJDREU=", "ABCDE", ""},
        {"QUJDREV=", "", "invalid last symbol 'V' at offset 6"},
        // Foreign symbols, whitespace and the URL-safe alphabet.
        {"QUJ\nD", "", "invalid symbol 0x0a at offset 3"},
        {"QU JD", "", "invalid symbol ' ' at offset 2"},
        {"-_8=", "", "invalid symbol '-' at offset 0"},
        {"QUJ\x1b", "", "invalid symbol 0x1b at offset 3"},
        {"QU\xc3\xa9", "", "invalid symbol 0xc3 at offset 2"},
        {"QQ==\n", "", "invalid symbol 0x0a at offset 4"},
        // Lengths that are not whole groups.
        {"Q", "", "invalid length 1"},
        {"QQ", "", "invalid length 2"},
        {"QUJ", "", "invalid length 3"},
        {"QQ=", "", "invalid length 3"},
        {"QQ===", "", "invalid length 5"},
        {"QUJDQQ", "", "invalid length 6"},
        // Padding in the wrong place or too much of it.
        {"====", "", "invalid padding"},
        {"Q===", "", "invalid padding"},
        {"QU=A", "", "invalid padding"},
        {"QQ==QQ==", "", "invalid padding"},
        {"=QUJ", "", "invalid padding"},
        {"QUJD====", "", "invalid padding"},
    };
    for (const DecodeCase& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.text));
        const Result<std::string> decoded = base64_decode(c.text);
        if (c.error.empty()) {
            ASSERT_TRUE(decoded.has_value()) << decoded.error().describe();
            EXPECT_EQ(*decoded, c.bytes);
        } else {
            ASSERT_FALSE(decoded.has_value()) << testing::PrintToString(*decoded);
            EXPECT_EQ(decoded.error().describe(), c.error);
        }
    }
}

TEST(Base64Encode, KnownTexts) {
    EXPECT_EQ(base64_encode(""), "");
    EXPECT_EQ(base64_encode("A"), "QQ==");
    EXPECT_EQ(base64_encode("AB"), "QUI=");
    EXPECT_EQ(base64_encode("ABC"), "QUJD");
    EXPECT_EQ(base64_encode(std::string_view("\0\xff", 2)), "AP8=");
}

TEST(Base64, RoundTripsEveryLengthUpTo300) {
    std::mt19937 rng(20240611);
    for (std::size_t size = 0; size <= 300; ++size) {
        const std::string bytes = random_bytes(rng, size);
        const std::string text = base64_encode(bytes);
        ASSERT_EQ(text.size(), base64_encoded_size(size));
        const Result<std::string> decoded = base64_decode(text);
        ASSERT_TRUE(decoded.has_value()) << "size " << size << ": " << decoded.error().describe();
        ASSERT_EQ(*decoded, bytes) << "size " << size;
    }
}

TEST(Base64, RoundTripsAFullReadOfOutput) {
    std::mt19937 rng(7);
    const std::string bytes = random_bytes(rng, 65536);
    const std::string text = base64_encode(bytes);
    ASSERT_EQ(text.size(), base64_encoded_size(bytes.size()));
    const Result<std::string> decoded = base64_decode(text);
    ASSERT_TRUE(decoded.has_value()) << decoded.error().describe();
    EXPECT_EQ(*decoded, bytes);
}

TEST(Base64, EncodeIntoLeavesTheTextAndItsTerminator) {
    const std::string bytes = "hello";
    std::string buffer(base64_encoded_size(bytes.size()) + 2, '#');
    const std::size_t length = base64_encode_into(bytes, buffer.data());
    EXPECT_EQ(length, 8u);
    EXPECT_EQ(buffer.substr(0, length), "aGVsbG8=");
    EXPECT_EQ(buffer[length], '\0');
    EXPECT_EQ(buffer[length + 1], '#');  // nothing written past the room promised
}

}  // namespace
}  // namespace tsb
