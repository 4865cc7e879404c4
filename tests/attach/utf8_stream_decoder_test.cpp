// The recording's UTF-8 decoder: the text is the same however the bytes
// are cut into reads, and ill-formed bytes become U+FFFD as the WHATWG
// decoder makes them (one per maximal ill-formed part).

#include <gtest/gtest.h>

#include "attach/utf8_stream_decoder.hpp"

namespace tsb::attach {
namespace {

constexpr std::string_view fffd = "\xEF\xBF\xBD";

std::string decode_in_pieces(std::string_view bytes, const std::vector<std::size_t>& cuts) {
    Utf8StreamDecoder decoder;
    std::string text;
    std::size_t from = 0;
    for (const std::size_t cut : cuts) {
        decoder.decode(bytes.substr(from, cut - from), text);
        from = cut;
    }
    decoder.decode(bytes.substr(from), text);
    decoder.finish(text);
    return text;
}

struct Case {
    std::string bytes, text;
};

TEST(Utf8StreamDecoder, EveryCutGivesTheSameText) {
    const std::string r(fffd);
    const std::vector<Case> cases = {
        {"plain \r\n", "plain \r\n"},
        {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x99\x82", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x99\x82"},
        {"a\x80z", "a" + r + "z"},                                  // a lone continuation byte
        {"\xC0\xAF", r + r},                                        // overlong: neither byte starts one
        {"\xE2\x82z", r + "z"},                                     // cut short by another character
        {"\xED\xA0\x80", r + r + r},                                // a surrogate
        {"\xF4\x90\x80\x80", r + r + r + r},                        // above U+10FFFF
        {"\xF0\x9F\x99", r},                                        // cut by the end of the stream
        {"\xE2\x82\xE2\x82\xAC", r + "\xE2\x82\xAC"},               // a cut one, then a whole one
        {"\xFF\xF0\x9F\x99\x82\xFE", r + "\xF0\x9F\x99\x82" + r},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.bytes));
        EXPECT_EQ(decode_in_pieces(c.bytes, {}), c.text);
        for (std::size_t cut = 1; cut < c.bytes.size(); ++cut) EXPECT_EQ(decode_in_pieces(c.bytes, {cut}), c.text) << cut;
        std::vector<std::size_t> every;  // one byte per read
        for (std::size_t cut = 1; cut < c.bytes.size(); ++cut) every.push_back(cut);
        EXPECT_EQ(decode_in_pieces(c.bytes, every), c.text);
    }
}

}  // namespace
}  // namespace tsb::attach
