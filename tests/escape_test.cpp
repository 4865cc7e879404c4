#include "text/escape.hpp"

#include <gtest/gtest.h>

#include <string>

namespace tsb {
namespace {

TEST(Escape, PeerTextForDiagnostics) {
    struct Case {
        std::string text;
        std::string escaped;
    };
    const Case cases[] = {
        {"terminal.bogus", "terminal.bogus"},
        {"", ""},
        {"caf\u00e9 \u65e5\u672c \U0001F600", "caf\u00e9 \u65e5\u672c \U0001F600"},
        {"a\nb", "a\\nb"},
        {"a\r\nb", "a\\r\\nb"},
        {"\t", "\\t"},
        {"\b\f", "\\b\\f"},
        {"\x1b[31m", "\\u001b[31m"},
        {"\x7f", "\\u007f"},
        {std::string("a\0b", 3), "a\\u0000b"},
        {"\x1f", "\\u001f"},
        {"back\\slash \"quote\"", "back\\slash \"quote\""},
        {"\xff\xce" "1 caf\xc3", "\ufffd\ufffd" "1 caf\ufffd"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(escape_peer_text(c.text), c.escaped) << testing::PrintToString(c.text);
    }
}

TEST(Escape, LongPeerTextIsCutBetweenCharacters) {
    const auto repeat = [](std::string_view piece, std::size_t times, std::string text = "") {
        for (std::size_t i = 0; i < times; ++i) text += piece;
        return text;
    };
    struct Case {
        std::string text;
        std::string escaped;
    };
    const Case cases[] = {
        {repeat("a", quoted_text_limit), repeat("a", quoted_text_limit)},
        {repeat("a", quoted_text_limit + 1), repeat("a", quoted_text_limit) + "\u2026(1 bytes cut)"},
        // 128 two-byte characters fit; the 129th would be split.
        {repeat("\u00e9", 200, "a"), repeat("\u00e9", 127, "a") + "\u2026(146 bytes cut)"},
        // Escapes count with the length they take in the diagnostic.
        {repeat("\x01", 100), repeat("\\u0001", 42) + "\u2026(58 bytes cut)"},
        {repeat("\n", 200), repeat("\\n", 128) + "\u2026(72 bytes cut)"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(escape_peer_text(c.text), c.escaped) << testing::PrintToString(c.text.substr(0, 20));
    }
}

}  // namespace
}  // namespace tsb
