// The browser terminal server's messages to a joined page, as the attach
// client reads them, and the keys it sends back.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "attach/server_messages.hpp"

namespace tsb::attach {
namespace {

using Kind = ServerMessage::Kind;

TEST(ServerMessages, ReadsOutputFramesAndTheObjectsThatMatter) {
    const auto output = parse_server_message("17:a:b{\r\n");
    ASSERT_TRUE(output);
    EXPECT_EQ(output->kind, Kind::output);
    EXPECT_EQ(output->seq, 17u);
    EXPECT_EQ(output->data, "a:b{\r\n") << "the output as it is, colons and braces included";

    const auto watching = parse_server_message(
        R"({"type":"watching","mode":"watch","owner":"alice","target":"local","cols":120,"rows":40})");
    ASSERT_TRUE(watching);
    EXPECT_EQ(watching->kind, Kind::watching);
    EXPECT_EQ(watching->owner, "alice");
    EXPECT_EQ(watching->cols, 120);

    const struct {
        std::string text;
        int status;
    } exits[] = {
        {R"({"type":"exit","exitCode":3,"signal":0,"reason":"exited"})", 3},
        {R"({"type":"exit","exitCode":0,"signal":9,"reason":"signal:9"})", 137},
    };
    for (const auto& e : exits) {
        const auto exit = parse_server_message(e.text);
        ASSERT_TRUE(exit);
        EXPECT_EQ(exit->kind, Kind::exit);
        EXPECT_EQ(exit->exit_status, e.status) << e.text;
    }
    for (const std::string bad : {":abc", "x1:abc", "12abc", "no colon at all", "{not json", R"({"type":"snapshot","data":"x"})",
                                  R"({"type":"size","cols":-1,"rows":24})", R"({"type":"size","cols":70000,"rows":24})"})
        EXPECT_FALSE(parse_server_message(bad)) << bad;
}

TEST(ServerMessages, KeysThatAreNotUtf8GoOneCharacterPerByte) {
    using Json = nlohmann::json;
    const Json text = Json::parse(input_message("é\r"));
    EXPECT_EQ(text["data"], "é\r");
    EXPECT_FALSE(text.contains("binary"));
    // Alt-x as a meta terminal sends it: the byte 0xF8, alone.
    const Json meta = Json::parse(input_message("\xf8x"));
    EXPECT_EQ(meta["data"], "\xc3\xb8x");
    EXPECT_EQ(meta["binary"], true);
}

}  // namespace
}  // namespace tsb::attach
