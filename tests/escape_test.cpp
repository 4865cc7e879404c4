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
    };
    for (const Case& c : cases) {
        EXPECT_EQ(escape_peer_text(c.text), c.escaped) << testing::PrintToString(c.text);
    }
}

}  // namespace
}  // namespace tsb
