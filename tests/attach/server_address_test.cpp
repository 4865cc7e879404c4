// The server's page address and share links as people are handed them, and what is not one.

#include <gtest/gtest.h>

#include "attach/server_address.hpp"

namespace tsb::attach {
namespace {

TEST(ShareLink, ReadsWhereTheServerIsAndTheCapability) {
    const struct {
        std::string link;
        bool secure;
        std::string host, port, origin;
    } cases[] = {
        {"http://127.0.0.1:8022/?share=AbC-_9", false, "127.0.0.1", "8022", "http://127.0.0.1:8022"},
        {"HTTP://Box.Example:8022/?x=1&share=AbC-_9#top", false, "box.example", "8022", "http://box.example:8022"},
        {"http://[::1]:8022/?share=AbC-_9", false, "::1", "8022", "http://[::1]:8022"},
        {"http://[fe80::1]?share=AbC-_9", false, "fe80::1", "80", "http://[fe80::1]"},
        {"https://term.example/?share=AbC-_9", true, "term.example", "443", "https://term.example"},
        {"https://term.example:443/?share=AbC-_9", true, "term.example", "443", "https://term.example"},
    };
    for (const auto& c : cases) {
        const auto link = parse_share_link(c.link);
        ASSERT_TRUE(link) << c.link << ": " << link.error();
        EXPECT_EQ(link->server.secure, c.secure) << c.link;
        EXPECT_EQ(link->server.host, c.host) << c.link;
        EXPECT_EQ(link->server.port, c.port) << c.link;
        EXPECT_EQ(link->server.origin(), c.origin) << c.link;
        EXPECT_EQ(link->socket_target(), "/terminal?share=AbC-_9") << c.link;
    }
}

TEST(ShareLink, RefusesWhatIsNotOne) {
    for (const std::string link : {
             "", "127.0.0.1:8022/?share=abc", "ws://127.0.0.1:8022/?share=abc", "http://127.0.0.1:8022/",
             "http://127.0.0.1:8022/?token=abc", "http://127.0.0.1:8022/?share=", "http://h:8022/?share=a%20b",
             "http://h:8022/?share=a\r\nX-Evil:1", "http://user@h:8022/?share=abc", "http://h:0/?share=abc",
             "http://h:65536/?share=abc", "http://h:80x/?share=abc", "http://[::1/?share=abc",
             "http://[::1]x/?share=abc", "http://[zz]/?share=abc", "http:///?share=abc",
         }) {
        const auto parsed = parse_share_link(link);
        EXPECT_FALSE(parsed) << "accepted: " << link;
        if (!parsed) {
            EXPECT_TRUE(parsed.error().starts_with("not a share link (")) << parsed.error();
        }
    }
}

// What the person names goes into the query escaped, so that it cannot add a parameter of its own.
TEST(ServerPage, OpensASessionWithThePagesQuery) {
    const auto page = parse_server_page("https://Term.Example/?token=tok-EN_1");
    ASSERT_TRUE(page) << page.error();
    EXPECT_EQ(page->server.origin(), "https://term.example");
    EXPECT_EQ(page->socket_target(120, 40, "", ""), "/terminal?token=tok-EN_1&cols=120&rows=40");
    EXPECT_EQ(page->socket_target(80, 24, "box a&token=x", ""),
              "/terminal?token=tok-EN_1&cols=80&rows=24&target=box%20a%26token%3Dx");
    EXPECT_EQ(page->socket_target(80, 24, "", "AbC-_9"), "/terminal?token=tok-EN_1&cols=80&rows=24&session=AbC-_9");
    for (const std::string bad : {"http://h:8022/", "http://h:8022/?share=abc", "http://h:8022/?token=a%0d%0a",
                                  "http://h:8022/?token=", "ftp://h/?token=abc"})
        EXPECT_FALSE(parse_server_page(bad)) << "accepted: " << bad;
}

}  // namespace
}  // namespace tsb::attach
