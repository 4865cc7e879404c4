#include "protocol/events.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <thread>

#include "protocol/base64.hpp"
#include "sys/fd.hpp"

namespace tsb {
namespace {

using Json = nlohmann::json;

std::string serialized(const Json& value) {
    std::string out;
    serialize_json(value, out);
    return out;
}

// A data event built as any other event is, for the writer's own
// formatting to be compared with.
Json data_event(std::uint64_t seq, std::uint64_t ts, std::string_view bytes) {
    return Json{{"data_b64", base64_encode(bytes)}, {"seq", seq}, {"ts", ts}, {"type", "data"}};
}

std::string random_bytes(std::size_t size, std::mt19937_64& rng) {
    std::string bytes(size, '\0');
    for (char& byte : bytes) byte = static_cast<char>(rng() & 0xFF);
    return bytes;
}

// An anonymous in-memory file: takes lines of any length in one write.
Fd make_memfd() {
    Fd fd(::memfd_create("events", MFD_CLOEXEC));
    EXPECT_TRUE(fd.valid()) << std::strerror(errno);
    return fd;
}

std::string read_file(int fd) {
    std::string out;
    char buffer[65536];
    ::lseek(fd, 0, SEEK_SET);
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
        out.append(buffer, static_cast<std::size_t>(n));
    return out;
}

std::string read_until_eof(int fd) {
    std::string out;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
        out.append(buffer, static_cast<std::size_t>(n));
    return out;
}

TEST(Events, ReadyLineHasSortedKeysAndRawUtf8) {
    const Json event = make_ready_event(1700000000123, 4242, {"/bin/sh", "-c", "echo \"hi\"\t\\"},
                                        "/tmp/a\"b/caf\xC3\xA9");
    EXPECT_EQ(serialized(event),
              "{\"cwd\":\"/tmp/a\\\"b/caf\xC3\xA9\",\"pid\":4242,"
              "\"shell\":[\"/bin/sh\",\"-c\",\"echo \\\"hi\\\"\\t\\\\\"],"
              "\"ts\":1700000000123,\"type\":\"ready\"}");
}

TEST(Events, PongWithoutNonceAndWithNullAreTheSameLine) {
    EXPECT_EQ(serialized(make_pong_event(std::nullopt)), R"({"nonce":null,"type":"pong"})");
    EXPECT_EQ(serialized(make_pong_event(Json(nullptr))), R"({"nonce":null,"type":"pong"})");
}

TEST(Events, NonceObjectsComeOutInByteOrderAtEveryLevel) {
    struct Case {
        const char* nonce_text;
        const char* line;
    };
    const Case cases[] = {
        {R"({"type":"t","data":"d"})", R"({"nonce":{"data":"d","type":"t"},"type":"pong"})"},
        {R"({"z":{"type":1,"data":[{"y":2,"b":3}]},"a":{}})",
         R"({"nonce":{"a":{},"z":{"data":[{"b":3,"y":2}],"type":1}},"type":"pong"})"},
        // Byte order, not alphabetical order: "B" < "_" < "a" < "é".
        {"{\"\xC3\xA9\":1,\"a\":2,\"_\":3,\"B\":4}",
         "{\"nonce\":{\"B\":4,\"_\":3,\"a\":2,\"\xC3\xA9\":1},\"type\":\"pong\"}"},
        {R"([3,"x",true,false,null,[]])", R"({"nonce":[3,"x",true,false,null,[]],"type":"pong"})"},
        {R"("")", R"({"nonce":"","type":"pong"})"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(serialized(make_pong_event(Json::parse(c.nonce_text))), c.line) << c.nonce_text;
    }
}

TEST(Events, StringEscapes) {
    struct Case {
        std::string text;
        std::string written;
    };
    const Case cases[] = {
        {"\"", R"("\"")"},
        {"\\", R"("\\")"},
        {"\b\t\n\f\r", R"("\b\t\n\f\r")"},
        {std::string("\x00", 1), R"("\u0000")"},
        {"\x01", R"("\u0001")"},
        {"\x1b[0m", R"("\u001b[0m")"},
        {"\x1f", R"("\u001f")"},
        {"a/b", R"("a/b")"},
        {"\x7f", "\"\x7f\""},
        {"\xC3\xA0 \xC3\xA9 \xC3\xBC", "\"\xC3\xA0 \xC3\xA9 \xC3\xBC\""},
        {"\xE2\x80\xA8\xF0\x9F\x98\x80", "\"\xE2\x80\xA8\xF0\x9F\x98\x80\""},
        {"q\"b\\t\t\x01", R"("q\"b\\t\t\u0001")"},
        // Not UTF-8: replaced, never thrown.
        {"a\xFFz", "\"a\xEF\xBF\xBDz\""},
    };
    for (const Case& c : cases) EXPECT_EQ(serialized(Json(c.text)), c.written) << c.written;

    // Every control byte not in the short table: \u00 and lower-case hex.
    for (int byte = 0; byte < 0x20; ++byte) {
        if (byte == 8 || byte == 9 || byte == 10 || byte == 12 || byte == 13) continue;
        char expected[16];
        std::snprintf(expected, sizeof expected, "\"\\u%04x\"", byte);
        EXPECT_EQ(serialized(Json(std::string(1, static_cast<char>(byte)))), expected);
    }
}

TEST(Events, NumbersKeepTheirKind) {
    struct Case {
        const char* text;
        const char* written;
    };
    const Case cases[] = {
        {"1.0", "1.0"},
        {"0.1", "0.1"},
        {"-2.50", "-2.5"},
        {"1e300", "1e+300"},
        {"1E2", "100.0"},
        {"-0.0", "-0.0"},
        {"1e-7", "1e-07"},
        {"123456789012.5", "123456789012.5"},
        // Plain notation would spell out digits beyond the double's precision.
        {"53165205877497296.0", "5.31652058774973e+16"},
        {"-5", "-5"},
        {"0", "0"},
        {"18446744073709551615", "18446744073709551615"},
        {"-9223372036854775808", "-9223372036854775808"},
        {"[1.0,{\"k\":0.5}]", "[1.0,{\"k\":0.5}]"},
    };
    for (const Case& c : cases) EXPECT_EQ(serialized(Json::parse(c.text)), c.written) << c.text;
}

// Significant digits of a decimal text, ignoring sign, point and exponent.
std::size_t significant_digits(const std::string& text) {
    std::string digits;
    for (char ch : text) {
        if (ch == 'e' || ch == 'E') break;
        if (ch >= '0' && ch <= '9') digits.push_back(ch);
    }
    const auto first = digits.find_first_not_of('0');
    if (first == std::string::npos) return 1;
    const auto last = digits.find_last_not_of('0');
    return last - first + 1;
}

TEST(Events, NonIntegersAreShortestRoundTripAndStayNonIntegers) {
    std::mt19937_64 rng(7);
    for (int i = 0; i < 3000; ++i) {
        double value;
        const std::uint64_t bits = rng();
        std::memcpy(&value, &bits, sizeof value);
        if (!std::isfinite(value)) continue;
        const std::string text = serialized(Json(value));
        const Json back = Json::parse(text);
        ASSERT_TRUE(back.is_number_float()) << text;
        ASSERT_EQ(back.get<double>(), value) << text;
        std::size_t shortest = 17;
        for (int precision = 1; precision < 17; ++precision) {
            char buffer[64];
            std::snprintf(buffer, sizeof buffer, "%.*g", precision, value);
            if (std::strtod(buffer, nullptr) == value) {
                shortest = static_cast<std::size_t>(precision);
                break;
            }
        }
        ASSERT_EQ(significant_digits(text), shortest) << text;
    }
}

TEST(Events, ClosedLines) {
    struct Case {
        std::optional<int> exit_code;
        const char* reason;
        const char* line;
    };
    const Case cases[] = {
        {0, "exited", R"({"exit_code":0,"reason":"exited","seq":1,"ts":5,"type":"closed"})"},
        {3, "terminated",
         R"({"exit_code":3,"reason":"terminated","seq":1,"ts":5,"type":"closed"})"},
        {std::nullopt, "signal:9",
         R"({"exit_code":null,"reason":"signal:9","seq":1,"ts":5,"type":"closed"})"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(serialized(make_closed_event(1, 5, c.exit_code, c.reason)), c.line);
}

TEST(Events, DataLinesForKnownVectors) {
    struct Case {
        std::string bytes;
        const char* line;
    };
    const Case cases[] = {
        {"f", R"({"data_b64":"Zg==","seq":1,"ts":0,"type":"data"})"},
        {"fo", R"({"data_b64":"Zm8=","seq":1,"ts":0,"type":"data"})"},
        {"foo", R"({"data_b64":"Zm9v","seq":1,"ts":0,"type":"data"})"},
        {"foobar", R"({"data_b64":"Zm9vYmFy","seq":1,"ts":0,"type":"data"})"},
        {std::string("\x00\xFF\xFE", 3), R"({"data_b64":"AP/+","seq":1,"ts":0,"type":"data"})"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(serialized(data_event(1, 0, c.bytes)), c.line);
        const Fd out = make_memfd();
        EventWriter writer(out.get());
        ASSERT_TRUE(writer.write_data_event(1, 0, c.bytes));
        EXPECT_EQ(read_file(out.get()), std::string(c.line) + "\n");
    }
}

// The bytes follow their line untouched: a line feed, a NUL, bytes that are
// not UTF-8, a quote.
TEST(Events, RawDataEventIsItsLineThenTheBytes) {
    const std::string bytes("a\nb\x00\xFF\xC3\"\r\n", 9);
    const Fd out = make_memfd();
    EventWriter writer(out.get());
    ASSERT_TRUE(writer.write_raw_data_event(18446744073709551615u, 1700000000123, bytes));
    ASSERT_TRUE(writer.write_raw_data_event(2, 0, std::string_view("z")));
    EXPECT_EQ(read_file(out.get()),
              R"({"bytes":9,"seq":18446744073709551615,"ts":1700000000123,"type":"data"})"
              "\n" + bytes + R"({"bytes":1,"seq":2,"ts":0,"type":"data"})" "\nz");
}

TEST(Events, DataLineLengthsFollowTheByteCount) {
    std::mt19937_64 rng(1);
    struct Case {
        std::size_t size;
        std::size_t length;
        std::string_view padding;
    };
    const Case cases[] = {
        {1, 4, "=="}, {2, 4, "="}, {3, 4, ""}, {4, 8, "=="}, {65536, 87384, "=="}};
    for (const Case& c : cases) {
        const Json event = data_event(1, 0, random_bytes(c.size, rng));
        const std::string text = event["data_b64"].get<std::string>();
        EXPECT_EQ(text.size(), c.length) << c.size;
        EXPECT_TRUE(text.ends_with(c.padding)) << c.size;
        EXPECT_EQ(static_cast<std::size_t>(std::count(text.begin(), text.end(), '=')),
                  c.padding.size())
            << c.size;
    }
}

TEST(Events, WrittenDataLinesEqualTheGenericSerialization) {
    std::mt19937_64 rng(42);
    // Large before small, so a reused buffer that kept old bytes would show.
    std::vector<std::size_t> sizes = {65536, 1, 2, 3, 65535, 65534, 4095, 4096, 4097, 32768};
    for (std::size_t size = 1; size <= 260; ++size) sizes.push_back(size);
    for (int i = 0; i < 40; ++i) sizes.push_back(1 + rng() % 65536);

    const Fd out = make_memfd();
    EventWriter writer(out.get());
    std::string expected;
    std::uint64_t seq = 0;
    for (std::size_t size : sizes) {
        const std::string bytes = random_bytes(size, rng);
        const std::uint64_t ts =
            (seq % 3 == 0) ? std::numeric_limits<std::uint64_t>::max() : seq * 977;
        ++seq;
        ASSERT_TRUE(writer.write_data_event(seq, ts, bytes));
        serialize_json(data_event(seq, ts, bytes), expected);
        expected.push_back('\n');
    }
    const std::string written = read_file(out.get());
    ASSERT_EQ(written.size(), expected.size());
    EXPECT_TRUE(written == expected);
}

TEST(Events, EachLineIsOneWrite) {
    // A sequenced-packet socket keeps write boundaries: one receive returns
    // exactly what one write call sent.
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);
    const Fd writer_end(pair[0]);
    const Fd reader_end(pair[1]);
    int size = 1 << 20;
    ::setsockopt(writer_end.get(), SOL_SOCKET, SO_SNDBUF, &size, sizeof size);

    EventWriter writer(writer_end.get());
    std::mt19937_64 rng(3);
    const std::string bytes = random_bytes(65536, rng);
    std::string expected_data;
    serialize_json(data_event(9, 10, bytes), expected_data);
    expected_data.push_back('\n');

    std::string received(200000, '\0');
    ASSERT_TRUE(writer.write_json_line(make_pong_event(Json::parse(R"({"b":1,"a":"x"})"))));
    ssize_t n = ::recv(reader_end.get(), received.data(), received.size(), 0);
    EXPECT_EQ(received.substr(0, static_cast<std::size_t>(n)),
              "{\"nonce\":{\"a\":\"x\",\"b\":1},\"type\":\"pong\"}\n");

    ASSERT_TRUE(writer.write_data_event(9, 10, bytes));
    n = ::recv(reader_end.get(), received.data(), received.size(), 0);
    ASSERT_EQ(static_cast<std::size_t>(n), expected_data.size());
    EXPECT_TRUE(received.substr(0, static_cast<std::size_t>(n)) == expected_data);
}

TEST(Events, LongLinesSurvivePartialWrites) {
    std::mt19937_64 rng(5);
    const std::string bytes = random_bytes(65536, rng);
    std::string expected;
    serialize_json(data_event(1, 2, bytes), expected);
    expected.push_back('\n');

    for (bool non_blocking : {false, true}) {
        int fds[2];
        ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
        Fd read_end(fds[0]);
        Fd write_end(fds[1]);
        ::fcntl(write_end.get(), F_SETPIPE_SZ, 4096);
        if (non_blocking) ::fcntl(write_end.get(), F_SETFL, O_NONBLOCK);

        std::string received;
        std::thread reader;
        const auto start_reader = [&] {
            reader = std::thread([&] { received = read_until_eof(read_end.get()); });
        };
        // A blocking write needs the reader while it waits; a non-blocking
        // one must meet the pipe full, so its reader starts only after it.
        if (!non_blocking) start_reader();
        EventWriter writer(write_end.get());
        const auto result = writer.write_data_event(1, 2, bytes);
        // A non-blocking pipe keeps the rest waiting in the writer.
        EXPECT_EQ(writer.pending() > 0, non_blocking);
        if (non_blocking) start_reader();
        const auto flushed = writer.flush_all();
        write_end.reset();
        reader.join();
        ASSERT_TRUE(result) << result.error().describe();
        ASSERT_TRUE(flushed) << flushed.error().describe();
        EXPECT_TRUE(received == expected) << "non_blocking=" << non_blocking;
    }
}

TEST(Events, WriteJsonLineReadsBackThroughAPipe) {
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    Fd read_end(fds[0]);
    Fd write_end(fds[1]);
    EventWriter writer(write_end.get());
    ASSERT_TRUE(writer.write_json_line(make_ready_event(7, 12, {"bash", "-l"}, "/home/u")));
    ASSERT_TRUE(writer.write_json_line(make_pong_event(std::nullopt)));
    ASSERT_TRUE(writer.write_json_line(make_closed_event(1, 8, 0, "exited")));
    write_end.reset();
    EXPECT_EQ(
        read_until_eof(read_end.get()),
        "{\"cwd\":\"/home/u\",\"pid\":12,\"shell\":[\"bash\",\"-l\"],\"ts\":7,\"type\":\"ready\"}\n"
        "{\"nonce\":null,\"type\":\"pong\"}\n"
        "{\"exit_code\":0,\"reason\":\"exited\",\"seq\":1,\"ts\":8,\"type\":\"closed\"}\n");
}

TEST(Events, WriteErrorsAreReturnedAsOsErrors) {
    struct sigaction ignore {};
    struct sigaction previous {};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(::sigaction(SIGPIPE, &ignore, &previous), 0);

    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    Fd read_end(fds[0]);
    Fd write_end(fds[1]);
    read_end.reset();
    EventWriter writer(write_end.get());
    auto result = writer.write_json_line(make_pong_event(std::nullopt));
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), Error::os(EPIPE));
    result = writer.write_data_event(1, 1, std::string_view("x"));
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), Error::os(EPIPE));

    // A number that names no open descriptor any more.
    const int closed_fd = write_end.get();
    write_end.reset();
    EventWriter closed_writer(closed_fd);
    result = closed_writer.write_json_line(make_pong_event(std::nullopt));
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), Error::os(EBADF));

    ::sigaction(SIGPIPE, &previous, nullptr);
}

TEST(Events, NowIsWallClockMilliseconds) {
    auto clock_ms = [] {
        timespec now{};
        ::clock_gettime(CLOCK_REALTIME, &now);
        return static_cast<std::uint64_t>(now.tv_sec) * 1000 +
               static_cast<std::uint64_t>(now.tv_nsec) / 1000000;
    };
    const std::uint64_t before = clock_ms();
    const std::uint64_t now = now_ms();
    const std::uint64_t after = clock_ms();
    EXPECT_LE(before, now);
    EXPECT_LE(now, after);
    EXPECT_GT(now, 1'600'000'000'000u);
}

}  // namespace
}  // namespace tsb
