#include "text/utf8.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace tsb {
namespace {

TEST(FindInvalidUtf8, ReportsFirstBadByte) {
    struct Case {
        std::string text;
        std::optional<std::size_t> expected;
    };
    const Case cases[] = {
        {"", std::nullopt},
        {"plain ascii\n", std::nullopt},
        {"\xc3\xa9", std::nullopt},                   // U+00E9, 2 bytes
        {"\xdf\xbf", std::nullopt},                   // U+07FF
        {"\xe2\x82\xac", std::nullopt},               // U+20AC, 3 bytes
        {"\xed\x9f\xbf\xee\x80\x80", std::nullopt},   // U+D7FF, U+E000 around the surrogates
        {"\xef\xbf\xbf", std::nullopt},               // U+FFFF
        {"\xf0\x9f\x98\x80", std::nullopt},           // U+1F600, 4 bytes
        {"\xf4\x8f\xbf\xbf", std::nullopt},           // U+10FFFF
        {"\xc0\x80", 0},                              // overlong NUL
        {"\xc1\xbf", 0},                              // overlong 2-byte
        {"ab\xe0\x9f\xbf", 2},                        // overlong 3-byte
        {"\xf0\x8f\xbf\xbf", 0},                      // overlong 4-byte
        {"\xed\xa0\x80", 0},                          // U+D800
        {"x\xed\xbf\xbf", 1},                         // U+DFFF
        {"\xf4\x90\x80\x80", 0},                      // U+110000
        {"\xf5\x80\x80\x80", 0},
        {"\xff", 0},
        {"ab\xc3", 2},                                // truncated at the end
        {"\xe2\x82", 0},
        {"\xf0\x9f\x98", 0},
        {"\xe2\x82x", 0},                             // truncated in the middle
        {"a\x80", 1},                                 // stray continuation byte
        {"\xc3\x28", 0},
        {"\xc3\xa9\xff", 2},                          // offset counts bytes
    };
    for (const Case& c : cases) {
        EXPECT_EQ(find_invalid_utf8(c.text), c.expected) << testing::PrintToString(c.text);
        EXPECT_EQ(is_valid_utf8(c.text), !c.expected.has_value());
    }
}

TEST(WhiteSpace, FollowsUnicodeProperty) {
    for (const char32_t c : {0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x20, 0x85, 0xA0, 0x1680, 0x2000, 0x200A,
                             0x2028, 0x2029, 0x202F, 0x205F, 0x3000}) {
        EXPECT_TRUE(is_white_space(c)) << std::hex << static_cast<unsigned>(c);
    }
    // ZERO WIDTH SPACE, MONGOLIAN VOWEL SEPARATOR, WORD JOINER and the BOM
    // look blank but are not White_Space.
    for (const char32_t c : {0x00, 0x08, 0x0E, 0x1F, 0x21, 0x84, 0x86, 0x200B, 0x180E, 0x2060,
                             0xFEFF, 0x3001}) {
        EXPECT_FALSE(is_white_space(c)) << std::hex << static_cast<unsigned>(c);
    }
}

TEST(WhiteSpace, TrimAndBlank) {
    struct Case {
        std::string text;
        std::string trimmed;
    };
    const Case cases[] = {
        {"", ""},
        {" \t\r\n", ""},
        {" a b ", "a b"},
        {"\u00a0x\u00a0", "x"},
        {"\u3000x\u3000", "x"},
        {"\u2028x\u2028", "x"},
        {"\u0085x\u0085", "x"},
        {"\u00a0\u3000\u2029 \u1680", ""},
        {"\u200bx\u200b", "\u200bx\u200b"},   // ZWSP stays
        {"x\u0145", "x\u0145"},               // same last byte as U+0085
        {"x\u4e00", "x\u4e00"},               // same last bytes as U+3000
        {"\U0001F600\u00a0", "\U0001F600"},
        {"\u00a0\u00e9t\u00e9 \u202f", "\u00e9t\u00e9"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(trim_white_space(c.text), c.trimmed) << testing::PrintToString(c.text);
        EXPECT_EQ(is_blank(c.text), c.trimmed.empty()) << testing::PrintToString(c.text);
    }
}

}  // namespace
}  // namespace tsb
