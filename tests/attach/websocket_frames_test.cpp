// WebSocket frames as the join client sends and reads them: masked client
// frames read back whole whatever their length form, messages in fragments
// with control frames between them, and the faults that end a connection.

#include <gtest/gtest.h>

#include "attach/websocket_frames.hpp"
#include "attach/websocket_handshake.hpp"

namespace tsb::attach {
namespace {

constexpr FrameMask mask{0x37, 0xfa, 0x21, 0x3d};

// Feeds `bytes` one at a time (every cut a read may make) and collects the messages.
std::vector<WebSocketMessage> read_all(FrameReader& reader, std::string_view bytes) {
    std::vector<WebSocketMessage> messages;
    for (const char byte : bytes) {
        reader.feed(std::string_view(&byte, 1));
        for (;;) {
            auto message = reader.next();
            EXPECT_TRUE(message.has_value()) << message.error().describe();
            if (!message || !*message) break;
            messages.push_back(std::move(**message));
        }
    }
    return messages;
}

TEST(WebSocketFrames, MaskedFramesOfEachLengthFormReadBackWhole) {
    // 7-bit, 16-bit (126..65535) and 64-bit (65536 on) lengths, and their edges.
    for (const std::size_t size : {0u, 125u, 126u, 65535u, 65536u, 70000u}) {
        std::string payload(size, '\0');
        for (std::size_t i = 0; i < size; ++i) payload[i] = static_cast<char>(i * 7);
        const std::string frame = encode_frame(Opcode::binary, payload, mask);
        const std::size_t header = size < 126 ? 6 : size <= 65535 ? 8 : 14;
        ASSERT_EQ(frame.size(), header + size) << size;
        EXPECT_EQ(static_cast<std::uint8_t>(frame[1]) & 0x80, 0x80) << "the mask bit";
        if (size > 0) {
            EXPECT_EQ(frame[header], static_cast<char>(payload[0] ^ mask[0])) << "the payload masked";
        }

        FrameReader server(default_max_message, /*masked=*/true);
        server.feed(frame);
        const auto message = server.next();
        ASSERT_TRUE(message && *message) << size;
        EXPECT_EQ((*message)->opcode, Opcode::binary);
        EXPECT_EQ((*message)->payload, payload) << size;
    }
}

TEST(WebSocketFrames, FragmentsJoinAroundControlFramesInAnyCut) {
    const std::string bytes = encode_frame(Opcode::text, "12:hel", std::nullopt, false) +
                              encode_frame(Opcode::ping, "are you there", std::nullopt) +
                              encode_frame(Opcode::continuation, std::string(300, 'l'), std::nullopt, false) +
                              encode_frame(Opcode::continuation, "o", std::nullopt) +
                              encode_frame(Opcode::close, close_payload(4003, "revoked"), std::nullopt);
    FrameReader reader;
    const auto messages = read_all(reader, bytes);
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0].opcode, Opcode::ping);
    EXPECT_EQ(messages[0].payload, "are you there");
    EXPECT_EQ(messages[1].opcode, Opcode::text);
    EXPECT_EQ(messages[1].payload, "12:hel" + std::string(300, 'l') + "o");
    EXPECT_EQ(messages[2].opcode, Opcode::close);
    EXPECT_EQ(messages[2].payload, std::string("\x0f\xa3") + "revoked");
}

TEST(WebSocketFrames, ProtocolFaultsEndTheConnection) {
    std::string too_long = "\x81\x7f";
    too_long += std::string("\x00\x00\x00\x00\x01\x00\x00\x01", 8);  // 16 MiB + 1
    const struct {
        std::string name, bytes;
    } cases[] = {
        {"over the size bound", too_long},
        {"over the bound in fragments", encode_frame(Opcode::text, std::string(1000, 'a'), std::nullopt, false) +
                                            encode_frame(Opcode::continuation, std::string(100, 'a'), std::nullopt)},
        {"masked by the server", encode_frame(Opcode::text, "x", mask)},
        {"reserved bit", "\xc1\x01x"},
        {"unknown opcode", "\x83\x01x"},
        {"fragmented ping", encode_frame(Opcode::ping, "x", std::nullopt, false)},
        {"continuation of nothing", encode_frame(Opcode::continuation, "x", std::nullopt)},
        {"new message inside one", encode_frame(Opcode::text, "a", std::nullopt, false) +
                                       encode_frame(Opcode::text, "b", std::nullopt)},
        {"top length bit", std::string("\x82\x7f\x80\x00\x00\x00\x00\x00\x00\x00", 10)},
    };
    for (const auto& c : cases) {
        FrameReader reader(c.name == "over the bound in fragments" ? 1050 : default_max_message);
        reader.feed(c.bytes);
        Result<std::optional<WebSocketMessage>> message;
        do message = reader.next();
        while (message && *message);
        EXPECT_FALSE(message.has_value()) << c.name;
    }
}

TEST(WebSocketHandshake, AcceptsOnlyTheAnswerToItsKey) {
    // The example of RFC 6455 section 1.3.
    constexpr std::string_view key = "dGhlIHNhbXBsZSBub25jZQ==";
    EXPECT_EQ(websocket_accept(key), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
    const std::string good = "HTTP/1.1 101 Switching Protocols\r\nupgrade: WebSocket\r\n"
                             "Connection: keep-alive, Upgrade\r\nSec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n";
    EXPECT_TRUE(check_handshake_response(good, key));
    EXPECT_FALSE(check_handshake_response(good, "AAAAAAAAAAAAAAAAAAAAAA=="));
    const auto refused = check_handshake_response("HTTP/1.1 403 Forbidden\r\nConnection: close\r\n\r\n", key);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().describe(), "the server refused the connection: 403 Forbidden");

    const auto first = websocket_key(), second = websocket_key();
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->size(), 24u);
    EXPECT_NE(*first, *second);
}

}  // namespace
}  // namespace tsb::attach
