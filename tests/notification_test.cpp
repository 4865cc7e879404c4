#include "protocol/notification.hpp"

#include <signal.h>

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>

#include "log/log.hpp"
#include "protocol/base64.hpp"
#include "text/utf8.hpp"

namespace tsb {
namespace {

using nlohmann::json;

// The command, or the diagnostic line the caller would write.
struct Outcome {
    std::optional<BrokerCommand> command;
    std::string err;
};

Outcome parse(std::string_view line) {
    ParsedLine parsed = parse_notification(line);
    if (!parsed) return {std::nullopt, format_diagnostic(parsed.error())};
    return {std::move(*parsed), ""};
}

std::string diagnostic(std::string_view text) { return std::string(log_prefix) + std::string(text) + "\n"; }

std::string envelope(std::string_view method, std::string_view params) {
    return R"({"jsonrpc":"2.0","method":")" + std::string(method) + R"(","params":)" + std::string(params) + "}";
}

std::string resize_cols(std::string_view cols) { return envelope("terminal.resize", R"({"cols":)" + std::string(cols) + "}"); }

std::string input_line(std::string_view data_b64) {
    return envelope("terminal.input", R"({"data_b64":")" + std::string(data_b64) + R"("})");
}

// Lines that yield a command and write nothing anywhere.
struct Accepted {
    std::string line;
    BrokerCommand command;
};

void expect_accepted(const Accepted& c) {
    SCOPED_TRACE(c.line.size() < 300 ? c.line : c.line.substr(0, 300) + "...");
    const Outcome outcome = parse(c.line);
    EXPECT_EQ(outcome.err, "");
    ASSERT_TRUE(outcome.command.has_value());
    EXPECT_TRUE(*outcome.command == c.command) << "got alternative " << outcome.command->index();
}

TEST(ParseNotification, SizesTakeIntegersAndDigitStringsAndFallBackOtherwise) {
    const Accepted cases[] = {
        {R"({"jsonrpc":"2.0","method":"terminal.resize"})", Resize{80, 24}},
        {R"({"jsonrpc":"2.0","method":"terminal.resize","params":null})", Resize{80, 24}},
        {envelope("terminal.resize", "{}"), Resize{80, 24}},
        {resize_cols("120"), Resize{120, 24}},
        {resize_cols(R"("120")"), Resize{120, 24}},
        {resize_cols(R"(" +120 ")"), Resize{120, 24}},
        {resize_cols(R"("\u00a0120\u2003")"), Resize{120, 24}},
        {resize_cols("120.0"), Resize{80, 24}},
        {resize_cols("1.2e2"), Resize{80, 24}},
        {resize_cols("-120"), Resize{80, 24}},
        {resize_cols("-0"), Resize{80, 24}},
        {resize_cols("0"), Resize{80, 24}},
        {resize_cols("65536"), Resize{80, 24}},
        {resize_cols("65535"), Resize{65535, 24}},
        {resize_cols("1"), Resize{1, 24}},
        {resize_cols("18446744073709551616"), Resize{80, 24}},
        {resize_cols("true"), Resize{80, 24}},
        {resize_cols("null"), Resize{80, 24}},
        {resize_cols("[120]"), Resize{80, 24}},
        {resize_cols(R"({"n":120})"), Resize{80, 24}},
        {resize_cols(R"("12ab")"), Resize{80, 24}},
        {resize_cols(R"("")"), Resize{80, 24}},
        {envelope("terminal.resize", R"({"rows":"0040","cols":132})"), Resize{132, 40}},
        {envelope("terminal.resize", R"({"rows":0})"), Resize{80, 24}},
        {envelope("terminal.resize", R"({"cols":10,"cols":20})"), Resize{20, 24}},
        {envelope("terminal.resize", R"({"cols":{"a":1},"cols":30})"), Resize{30, 24}},
        {envelope("terminal.resize", R"({"cols":30,"cols":{"a":1}})"), Resize{80, 24}},
        {R"({"jsonrpc":"2.0","method":"terminal.connect"})", Connect{}},
        {envelope("terminal.connect", R"({"cols":null})"), Connect{80, std::nullopt}},
        {envelope("terminal.connect", R"({"rows":"x"})"), Connect{std::nullopt, 24}},
        {envelope("terminal.connect", R"({"cols":100,"rows":40})"), Connect{100, 40}},
        {envelope("terminal.connect", R"({"COLS":100,"rows ":40})"), Connect{}},
        {envelope("terminal.connect", R"({"merge_reads":16384})"), Connect{.merge_reads = 16384}},
        {envelope("terminal.connect", R"({"merge_reads":0})"), Connect{.merge_reads = 0}},
        {envelope("terminal.connect", R"({"merge_reads":65536})"), Connect{.merge_reads = 65536}},
        {envelope("terminal.connect", R"({"raw_data":true})"), Connect{.raw_data = true}},
        {envelope("terminal.connect", R"({"raw_data":false,"cols":90,"rows":30})"),
         Connect{.cols = 90, .rows = 30, .raw_data = false}},
    };
    for (const Accepted& c : cases) expect_accepted(c);

}

TEST(ParseNotification, EnvelopeFormsAndOtherMethods) {
    const json nested = json::parse(R"({"a":[1,{"b":null}],"c":"d"})");
    const Accepted cases[] = {
        {envelope("terminal.input", R"({"data_b64":"aGk="})"), Input{"hi"}},
        {input_line("AP8KGw=="), Input{std::string("\0\xff\n\x1b", 4)}},
        {envelope("terminal.ping", R"({"nonce":null})"), Ping{json(nullptr)}},
        {envelope("terminal.ping", "{}"), Ping{}},
        {R"({"jsonrpc":"2.0","method":"terminal.ping"})", Ping{}},
        {envelope("terminal.ping", R"({"nonce":{"a":[1,{"b":null}],"c":"d"}})"), Ping{nested}},
        {envelope("terminal.ping", R"({"nonce":[1,"x",2.5]})"), Ping{json::parse(R"([1,"x",2.5])")}},
        {envelope("terminal.ping", R"({"nonce":"n-1"})"), Ping{json("n-1")}},
        {envelope("terminal.destroy", R"({"anything":[1,{"x":"y"}],"cols":"z"})"), Destroy{}},
        {R"({"method":"terminal.destroy","jsonrpc":"2.0"})", Destroy{}},
        // A request identifier is just another member; so are unknown ones.
        {R"({"jsonrpc":"2.0","id":7,"method":"terminal.destroy"})", Destroy{}},
        {R"({"x":{"y":[1,2,{"z":null}]},"jsonrpc":"2.0","method":"terminal.destroy","x":1})", Destroy{}},
        {" \t{\"jsonrpc\":\"2.0\",\"method\":\"terminal.destroy\"} \r\n ", Destroy{}},
        {R"({"jsonrpc":"2.0","method":"terminal.ping","params":{"nonce":1}, "params2":3})", Ping{json(1)}},
        // The positional form.
        {R"(["2.0","terminal.destroy"])", Destroy{}},
        {R"(["2.0","terminal.resize",{"cols":100}])", Resize{100, 24}},
        {R"(["2.0","terminal.ping",null])", Ping{}},
        {R"(["2.0","terminal.ping",{"nonce":null}])", Ping{json(nullptr)}},
        // Signals by name, with or without their "SIG", or by number.
        {envelope("terminal.signal", R"({"signal":"SIGINT"})"), ShellSignal{SIGINT}},
        {envelope("terminal.signal", R"({"signal":"TSTP"})"), ShellSignal{SIGTSTP}},
        {envelope("terminal.signal", R"({"signal":"SIGWINCH"})"), ShellSignal{SIGWINCH}},
        {envelope("terminal.signal", R"({"signal":1})"), ShellSignal{SIGHUP}},
        {envelope("terminal.signal", R"({"signal":64})"), ShellSignal{64}},
    };
    for (const Accepted& c : cases) expect_accepted(c);
}

TEST(ParseNotification, NullNonceAndAbsentNonceStayDistinct) {
    const Outcome with_null = parse(envelope("terminal.ping", R"({"nonce":null})"));
    const Outcome without = parse(envelope("terminal.ping", "{}"));
    ASSERT_TRUE(with_null.command && without.command);
    EXPECT_FALSE(*with_null.command == *without.command);
    const Ping& ping = std::get<Ping>(*with_null.command);
    ASSERT_TRUE(ping.nonce.has_value());
    EXPECT_TRUE(ping.nonce->is_null());
    EXPECT_FALSE(std::get<Ping>(*without.command).nonce.has_value());
}

// Lines that yield nothing and exactly the given diagnostic (or none).
struct Rejected {
    std::string line;
    std::string err;
};

void expect_rejected(const Rejected& c) {
    SCOPED_TRACE(c.line.size() < 300 ? c.line : c.line.substr(0, 300) + "...");
    const Outcome outcome = parse(c.line);
    EXPECT_FALSE(outcome.command.has_value()) << "got alternative " << outcome.command->index();
    EXPECT_EQ(outcome.err, c.err);
}

std::string bad_json(std::string_view description) { return diagnostic("bad JSON command: " + std::string(description)); }

TEST(ParseNotification, EnvelopeChecksInOrder) {
    const std::string no_envelope = diagnostic("unexpected stdin payload without jsonrpc envelope");
    const std::string no_method = diagnostic("stdin payload missing method");
    const Rejected cases[] = {
        {"{}", no_envelope},
        {R"({"jsonrpc":"2.0 ","method":"terminal.destroy"})", no_envelope},
        {R"({"jsonrpc":"2","method":"terminal.destroy"})", no_envelope},
        {R"({"jsonrpc":null,"method":"terminal.destroy"})", no_envelope},
        {R"({"method":"terminal.destroy"})", no_envelope},
        {R"([null,"terminal.destroy"])", no_envelope},
        {R"({"jsonrpc":"2.0"})", no_method},
        {R"({"jsonrpc":"2.0","method":""})", no_method},
        {R"({"jsonrpc":"2.0","method":null})", no_method},
        {R"(["2.0",null,{}])", no_method},
        {R"({"jsonrpc":"2.0","method":"Terminal.Resize"})", diagnostic("unsupported JSON-RPC method: Terminal.Resize")},
        {R"({"jsonrpc":"2.0","method":" terminal.resize"})", diagnostic("unsupported JSON-RPC method:  terminal.resize")},
        {R"({"jsonrpc":"2.0","method":"terminal.resize "})", diagnostic("unsupported JSON-RPC method: terminal.resize ")},
        // A method must not be able to forge a diagnostic line of its own.
        {R"({"jsonrpc":"2.0","method":"x\n[redizivo_varizu_rideze_do] forged\u001b[2J"})",
         diagnostic(R"(unsupported JSON-RPC method: x\n[redizivo_varizu_rideze_do] forged\u001b[2J)")},
    };
    for (const Rejected& c : cases) expect_rejected(c);
}

TEST(ParseNotification, StrictEnvelopeShapes) {
    const Rejected cases[] = {
        {R"({"jsonrpc":2.0,"method":"terminal.destroy"})", bad_json(R"("jsonrpc" must be a string or null, not a number)")},
        {R"({"jsonrpc":"2.0","method":["terminal.destroy"]})", bad_json(R"("method" must be a string or null, not an array)")},
        {R"({"jsonrpc":"2.0","method":"terminal.destroy","params":[1]})", bad_json(R"("params" must be an object or null, not an array)")},
        {R"({"method":"terminal.destroy","params":"x"})", bad_json(R"("params" must be an object or null, not a string)")},
        {R"({"params":true})", bad_json(R"("params" must be an object or null, not a boolean)")},
        {R"({"jsonrpc":"2.0","jsonrpc":"2.0","method":"terminal.destroy"})", bad_json(R"(member "jsonrpc" given twice)")},
        {R"({"jsonrpc":"2.0","params":null,"method":"terminal.destroy","params":{}})", bad_json(R"(member "params" given twice)")},
        {R"({"method":null,"jsonrpc":"2.0","method":"terminal.destroy"})", bad_json(R"(member "method" given twice)")},
        {R"(["2.0"])", bad_json("positional envelope with 1 element, not 2 or 3")},
        {R"([])", bad_json("positional envelope with 0 elements, not 2 or 3")},
        {R"(["2.0","terminal.destroy",{},{}])", bad_json("positional envelope with more than 3 elements")},
        {R"(["2.0","terminal.destroy",[]])", bad_json(R"("params" must be an object or null, not an array)")},
        {R"([2,"terminal.destroy"])", bad_json(R"("jsonrpc" must be a string or null, not a number)")},
        {R"("terminal.destroy")", bad_json("expected an object or an array, not a string")},
        {"42", bad_json("expected an object or an array, not a number")},
        {"null", bad_json("expected an object or an array, not null")},
        {"false", bad_json("expected an object or an array, not a boolean")},
    };
    for (const Rejected& c : cases) expect_rejected(c);
}

// The parser's own complaints: the exact wording is the library's, but the
// line must be a single "bad JSON command" diagnostic that says where.
TEST(ParseNotification, ParserFailuresNameTheirPosition) {
    const std::string ping_with_nul =
        std::string(R"({"jsonrpc":"2.0","method":"terminal.ping","params":{"nonce":1}})") + '\0';
    struct Case {
        std::string line;
        std::string ends_with;
    };
    const Case cases[] = {
        {"", " at line 1 column 1"},
        {R"({"jsonrpc":"2.0","method":"terminal.destroy"}{"jsonrpc":"2.0"})", " at line 1 column 46"},
        {R"({"jsonrpc":"2.0","method":"terminal.destroy"} x)", " at line 1 column 47"},
        {R"({"jsonrpc":"2.0","method":"terminal.destroy")", " at line 1 column 45"},
        {R"({"jsonrpc":"2.0","method":"terminal.resize","params":{"cols":1e400}})", "number overflow parsing '1e400' at line 1 column 66"},
        {R"({"jsonrpc":"2.0","x":1e400,"method":"terminal.destroy"})", "number overflow parsing '1e400' at line 1 column 26"},
        {R"({"jsonrpc":"2.0","method":"terminal.destroy",})", " at line 1 column 46"},
        {"{\"jsonrpc\":\"2.0\",\n\"méthode\":tru}", " at line 2 column 14"},
        {R"({"jsonrpc":'2.0'})", " at line 1 column 12"},
        {"{\"jsonrpc\":\"2.0\"} /* comment */", " at line 1 column 19"},
        // A NUL byte is part of the text like any other: no JSON text ends there.
        {ping_with_nul + "garbage", "unexpected NUL byte at line 1 column 64"},
        {ping_with_nul, "unexpected NUL byte at line 1 column 64"},
        {std::string(1, '\0') + ping_with_nul.substr(0, 62), "unexpected NUL byte at line 1 column 1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        const Outcome outcome = parse(c.line);
        EXPECT_FALSE(outcome.command.has_value());
        const std::string head = diagnostic("bad JSON command: ");
        EXPECT_TRUE(outcome.err.starts_with(head.substr(0, head.size() - 1))) << outcome.err;
        EXPECT_TRUE(outcome.err.ends_with(c.ends_with + "\n")) << outcome.err;
        EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 1) << outcome.err;
    }
}

TEST(ParseNotification, ParserFailureQuotingTheLineStaysOneSafeLine) {
    // The parser quotes what it last read; a control byte in it is escaped.
    const Outcome outcome = parse("{\"jsonrpc\":\"2.0\",\"method\":tru\x7f\x1b}");
    EXPECT_FALSE(outcome.command.has_value());
    EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 1) << outcome.err;
    EXPECT_EQ(outcome.err.find('\x7f'), std::string::npos) << outcome.err;
    EXPECT_EQ(outcome.err.find('\x1b'), std::string::npos) << outcome.err;
    EXPECT_NE(outcome.err.find("\\u007f"), std::string::npos) << outcome.err;
}

// However long the peer's text, a diagnostic quotes a short prefix of it,
// cut between characters, and says how much it left out.
TEST(ParseNotification, DiagnosticsQuoteOnlyAShortPrefixOfLongText) {
    const std::string long_text(1 << 20, 'm');
    const std::string accents = [] {
        std::string text;
        for (int i = 0; i < 300000; ++i) text += "\u00e9";
        return text;
    }();
    const std::string lines[] = {
        envelope(long_text, "{}"),                                          // unsupported method
        envelope("\u00e9" + accents, "{}"),                                 // the same, two-byte characters
        R"({"jsonrpc":"2.0","method":"terminal.ping","params":{"nonce":")" + accents,  // unterminated
        R"({"jsonrpc":"2.0","method":"terminal.ping","params":{"nonce":)" + std::string(1 << 20, '9') + "}}",
    };
    for (const std::string& line : lines) {
        const Outcome outcome = parse(line);
        EXPECT_FALSE(outcome.command.has_value());
        SCOPED_TRACE(outcome.err.substr(0, 600));
        EXPECT_LT(outcome.err.size(), 512u);
        EXPECT_NE(outcome.err.find(" bytes cut)"), std::string::npos);
        EXPECT_TRUE(is_valid_utf8(outcome.err));
        EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 1);
    }
}

// Lines the fuzzer found: the shortcut and the general reader agree on
// them, and a diagnostic is one line of valid UTF-8.
TEST(ParseNotification, FuzzFindingsStayFixed) {
    const std::string lines[] = {
        "\xce\xae" "1",  // the parser quoted the first byte of a character alone
    };
    for (const std::string& line : lines) {
        SCOPED_TRACE(testing::PrintToString(line));
        const ParsedLine parsed = parse_notification(line);
        const ParsedLine general = detail::read_notification(line);
        ASSERT_EQ(parsed.has_value(), general.has_value());
        if (parsed) {
            EXPECT_TRUE(*parsed == *general);
            continue;
        }
        EXPECT_EQ(parsed.error().message, general.error().message);
        const std::string err = format_diagnostic(parsed.error());
        EXPECT_TRUE(is_valid_utf8(err)) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    }
}

TEST(ParseNotification, MergeReadsOutOfRangeIsRefused) {
    const std::string bad_merge = diagnostic("bad terminal.connect: merge_reads must be an integer from 0 to 65536");
    for (const std::string_view merge : {"65537", "-1", "1.5", "\"4096\"", "true"})
        expect_rejected({envelope("terminal.connect", R"({"merge_reads":)" + std::string(merge) + "}"), bad_merge});
}

TEST(ParseNotification, RawDataOtherThanTrueOrFalseIsRefused) {
    const std::string bad_raw = diagnostic("bad terminal.connect: raw_data must be true or false");
    for (const std::string_view raw : {"1", "0", "\"true\"", "null", "[]"})
        expect_rejected({envelope("terminal.connect", R"({"raw_data":)" + std::string(raw) + "}"), bad_raw});
}

TEST(ParseNotification, InputDecodingFaultsAndQuietCases) {
    const Rejected cases[] = {
        {input_line(""), ""},
        {envelope("terminal.input", R"({"data_b64":5})"), ""},
        {envelope("terminal.input", R"({"data_b64":null})"), ""},
        {envelope("terminal.input", R"({"data_b64":["aGk="]})"), ""},
        {envelope("terminal.input", "{}"), ""},
        {R"({"jsonrpc":"2.0","method":"terminal.input"})", ""},
        {envelope("terminal.input", R"({"DATA_B64":"aGk="})"), ""},
        {input_line(R"(aG\nk=)"), diagnostic("failed to decode input frame: invalid symbol 0x0a at offset 2")},
        {input_line("aGk"), diagnostic("failed to decode input frame: invalid length 3")},
        {input_line("QQ"), diagnostic("failed to decode input frame: invalid length 2")},
        {input_line("QR=="), diagnostic("failed to decode input frame: invalid last symbol 'R' at offset 1")},
        {input_line("aGk=aGk="), diagnostic("failed to decode input frame: invalid padding")},
        {input_line("aGk_"), diagnostic("failed to decode input frame: invalid symbol '_' at offset 3")},
        {input_line(R"(aG\u00e9k=)"), diagnostic("failed to decode input frame: invalid symbol 0xc3 at offset 2")},
    };
    for (const Rejected& c : cases) expect_rejected(c);
}

TEST(ParseNotification, LargeInputDecodesWhole) {
    std::mt19937 rng(3);
    std::uniform_int_distribution<int> byte(0, 255);
    std::string bytes(49152, '\0');
    for (char& c : bytes) c = static_cast<char>(byte(rng));
    const std::string text = base64_encode(bytes);
    ASSERT_EQ(text.size(), 65536u);
    expect_accepted({input_line(text), Input{bytes}});
}

std::string ping_with_nonce_arrays(std::size_t arrays) {
    return envelope("terminal.ping", R"({"nonce":)" + std::string(arrays, '[') + std::string(arrays, ']') + "}");
}

json nested_arrays(std::size_t arrays) {
    json value = json::array();
    for (std::size_t i = 1; i < arrays; ++i) value = json::array({std::move(value)});
    return value;
}

TEST(ParseNotification, NestingLimitCountsWhatIsReadOnly) {
    // Envelope (1) and params (2) leave 125 levels for the nonce.
    expect_accepted({ping_with_nonce_arrays(125), Ping{nested_arrays(125)}});
    expect_rejected({ping_with_nonce_arrays(126), bad_json("nesting deeper than 127 levels")});
    // The positional array counts as the first level just the same.
    const std::string positional = R"(["2.0","terminal.ping",{"nonce":)" + std::string(125, '[') +
                                   std::string(125, ']') + "}]";
    expect_accepted({positional, Ping{nested_arrays(125)}});
    // A skipped member's value is only walked, at any depth.
    const std::string deep = R"({"jsonrpc":"2.0","extra":)" + std::string(100000, '[') +
                             std::string(100000, ']') + R"(,"method":"terminal.destroy"})";
    expect_accepted({deep, Destroy{}});
    const std::string deep_objects = R"({"extra":)" + std::string(100000 / 6, ' ') + [] {
        std::string open;
        for (int i = 0; i < 50000; ++i) open += R"({"a":)";
        return open + "1" + std::string(50000, '}');
    }() + R"(,"jsonrpc":"2.0","method":"terminal.destroy"})";
    expect_accepted({deep_objects, Destroy{}});
    // Still well-formed JSON is required of it.
    const Outcome broken = parse(R"({"jsonrpc":"2.0","extra":[[1,]],"method":"terminal.destroy"})");
    EXPECT_FALSE(broken.command.has_value());
    EXPECT_TRUE(broken.err.starts_with(std::string(log_prefix) + "bad JSON command: ")) << broken.err;
}

TEST(ParsePositiveValue, AbsentAndProgrammaticValues) {
    EXPECT_EQ(parse_positive_value(nullptr, 24), 24);
    const json signed_value = json(std::int64_t{300});  // an integer built in code, not parsed
    EXPECT_EQ(parse_positive_value(&signed_value, 24), 300);
    const json whole_float = json(120.0);
    EXPECT_EQ(parse_positive_value(&whole_float, 80), 80);
    const json big = json(std::uint64_t{1} << 40);
    EXPECT_EQ(parse_positive_value(&big, 80), 80);
}

}  // namespace
}  // namespace tsb

namespace tsb {
namespace {

// Input lines in the shape peers write take a shortcut past the general
// reader; the same line with one blank added takes the general path. Both
// must give the same command and the same diagnostic, whatever the text.
TEST(ParseNotification, InputShortcutAgreesWithTheGeneralReader) {
    const std::string base64_all_bytes = [] {
        std::string bytes;
        for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<char>(i));
        return base64_encode(bytes);
    }();
    const std::vector<std::string> texts = {
        "",          "aGk=",   base64_all_bytes, "QR==", "aGk",     "aG k=",    "aGk=\\n",
        "aGk\\u003d", "\\/w==", "aGk=\t",          "é===", "aGk=\"x", "-_8=",
    };
    for (const std::string& text : texts) {
        SCOPED_TRACE(text);
        const std::string canonical =
            R"({"jsonrpc":"2.0","method":"terminal.input","params":{"data_b64":")" + text + R"("}})";
        const std::string general =
            R"({"jsonrpc":"2.0", "method":"terminal.input","params":{"data_b64":")" + text + R"("}})";
        const Outcome fast = parse(canonical);
        const Outcome slow = parse(general);
        EXPECT_EQ(fast.command.has_value(), slow.command.has_value());
        if (fast.command && slow.command) {
            EXPECT_TRUE(*fast.command == *slow.command);
        }
        // Positions in JSON errors differ by the added blank; the kind of
        // failure must not.
        EXPECT_EQ(fast.err.substr(0, 60), slow.err.substr(0, 60));
    }
}

TEST(ParseNotification, AckShortcutAgreesWithTheGeneralReader) {
    const std::vector<std::string> seqs = {"0",  "7",  "18446744073709551615", "18446744073709551616",
                                           "007", "-1", "1.5", "1e3", " 5", "", "\"5\"", "5 "};
    for (const std::string& seq : seqs) {
        SCOPED_TRACE(seq);
        const std::string line = R"({"jsonrpc":"2.0","method":"terminal.ack","params":{"seq":)" + seq + "}}";
        const ParsedLine fast = parse_notification(line);
        const ParsedLine slow = detail::read_notification(line);
        ASSERT_EQ(fast.has_value(), slow.has_value());
        if (fast) {
            EXPECT_TRUE(*fast == *slow);
        } else {
            EXPECT_EQ(fast.error(), slow.error());
        }
    }
}

}  // namespace
}  // namespace tsb

namespace tsb {
namespace {

// Whatever a peer sends, a line costs at most one whole diagnostic line and
// never a crash: valid lines with random bytes flipped, cut or repeated.
TEST(ParseNotification, MangledLinesCostAtMostOneDiagnosticLine) {
    const std::vector<std::string> seeds = {
        R"({"jsonrpc":"2.0","method":"terminal.input","params":{"data_b64":"aGVsbG8K"}})",
        R"({"jsonrpc":"2.0","method":"terminal.ping","params":{"nonce":{"a":[1,2.5,null,"\u001b"]}}})",
        R"(["2.0","terminal.resize",{"cols":"120","rows":40}])",
        R"({"jsonrpc":"2.0","method":"terminal.connect","params":{"cols":80},"id":7})",
    };
    std::mt19937 random(2024);
    for (int round = 0; round < 3000; ++round) {
        std::string line = seeds[random() % seeds.size()];
        const int edits = 1 + static_cast<int>(random() % 4);
        for (int e = 0; e < edits && !line.empty(); ++e) {
            const std::size_t at = random() % line.size();
            switch (random() % 3) {
            case 0: line[at] = static_cast<char>(random() % 128); break;  // any ASCII, controls too
            case 1: line.erase(at, 1 + random() % 8); break;
            case 2: line.insert(at, line.substr(at, 1 + random() % 8)); break;
            }
        }
        const Outcome outcome = parse(line);
        SCOPED_TRACE(line);
            EXPECT_LE(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 1);
        if (!outcome.err.empty()) {
            EXPECT_TRUE(outcome.err.starts_with(log_prefix));
            EXPECT_TRUE(outcome.err.ends_with("\n"));
        }
    }
}

}  // namespace
}  // namespace tsb
