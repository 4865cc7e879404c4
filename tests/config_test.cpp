#include "config/config.hpp"

#include "log/log.hpp"

#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tsb {
namespace {

using Strings = std::vector<std::string>;
using Env = std::map<std::string, std::string, std::less<>>;

constexpr const char* prefix = "[redizivo_varizu_rideze_do] ";
constexpr const char* not_array_line =
    "[redizivo_varizu_rideze_do] TERMINAL_STREAM_SHELL_CMD_JSON must decode to a non-empty array\n";
constexpr const char* parse_error_start =
    "[redizivo_varizu_rideze_do] failed to parse TERMINAL_STREAM_SHELL_CMD_JSON: ";

// An environment held in a map; remembers every name asked for.
struct FakeEnv {
    Env values;
    std::vector<std::string> asked;

    EnvLookup lookup() {
        return [this](std::string_view name) -> std::optional<std::string> {
            asked.emplace_back(name);
            const auto found = values.find(name);
            if (found == values.end()) return std::nullopt;
            return found->second;
        };
    }
};

struct Outcome {
    Result<BrokerConfig> config;
    std::string diagnostics;
};

Outcome run_build(Env values, const Strings& args = {"broker"},
                  std::optional<std::string> current_dir = "/srv/work") {
    FakeEnv env{std::move(values), {}};
    std::vector<Diagnostic> diagnostics;
    Result<BrokerConfig> config = build_config(ConfigSource{env.lookup(), args, current_dir}, diagnostics);
    std::string lines;
    for (const Diagnostic& diagnostic : diagnostics) lines += format_diagnostic(diagnostic);
    return {std::move(config), std::move(lines)};
}

bool ends_with(std::string_view text, std::string_view suffix) { return text.ends_with(suffix); }

TEST(ParsePositiveU16, ReadsDecimalTextOrFallsBack) {
    struct Case {
        std::optional<std::string> text;
        std::uint16_t expected;
    };
    const Case cases[] = {
        {"132", 132},
        {"  132\t\n", 132},
        {"\u00a0132\u3000", 132},        // Unicode White_Space is trimmed too
        {"\u2028+132\u0085", 132},
        {"+132", 132},
        {"0132", 132},
        {"65535", 65535},
        {"000000000065535", 65535},      // leading zeros do not overflow
        {"1", 1},
        {std::nullopt, 80},
        {"", 80},
        {" \u3000 ", 80},
        {"0", 80},
        {"+0", 80},
        {"000", 80},
        {"-5", 80},
        {"-0", 80},
        {"12.0", 80},
        {"1e2", 80},
        {"abc", 80},
        {"+", 80},
        {"++5", 80},
        {"+ 5", 80},
        {"1 32", 80},
        {"0x10", 80},
        {"65536", 80},
        {"4294967297", 80},              // would wrap to 1 in 32 bits
        {"18446744073709551617", 80},    // would wrap to 1 in 64 bits
        {"\u0663", 80},                  // ARABIC-INDIC DIGIT THREE
        {"\uff11\uff12", 80},            // fullwidth digits
        {"\u200b132", 80},               // ZERO WIDTH SPACE is not White_Space
        {"132\xff", 80},                 // not UTF-8
        {"\xc2 132", 80},
    };
    for (const Case& c : cases) {
        const std::optional<std::string_view> text =
            c.text ? std::optional<std::string_view>(*c.text) : std::nullopt;
        EXPECT_EQ(parse_positive_u16(text, 80), c.expected) << (c.text ? *c.text : "<unset>");
    }
    EXPECT_EQ(parse_positive_u16("0", 24), 24);
    EXPECT_EQ(parse_positive_u16("x", 24), 24);
}

TEST(BuildConfig, DefaultsWithNothingSet) {
    const Outcome out = run_build({});
    ASSERT_TRUE(out.config.has_value());
    const BrokerConfig expected{{"sh", "-i"}, "/srv/work", "xterm-256color", 80, 24};
    EXPECT_EQ(*out.config, expected);
    EXPECT_EQ(out.diagnostics, "");
}

TEST(BuildConfig, ReadsEachVariableOnceInOrder) {
    FakeEnv env{{{"TERMINAL_STREAM_SHELL_CMD_JSON", "[\"bash\"]"}}, {}};
    const Strings args{"broker"};
    std::vector<Diagnostic> diagnostics;
    ASSERT_TRUE(build_config(ConfigSource{env.lookup(), args, "/"}, diagnostics).has_value());
    const Strings expected{"TERMINAL_STREAM_CWD", "TERMINAL_STREAM_COLS", "TERMINAL_STREAM_ROWS",
                           "TERM", "TERMINAL_STREAM_NO_PIDFD", "TERMINAL_STREAM_SHELL_CMD_JSON"};
    EXPECT_EQ(env.asked, expected);
}

TEST(BuildConfig, TakesValuesAsSetAndIgnoresNonUtf8) {
    struct Case {
        const char* name;
        Env env;
        std::optional<std::string> current_dir;
        BrokerConfig expected;
    };
    const Strings sh{"sh", "-i"};
    const Case cases[] = {
        {"values as set",
         {{"TERMINAL_STREAM_CWD", " /tmp/a b "}, {"TERMINAL_STREAM_COLS", " 132 "},
          {"TERMINAL_STREAM_ROWS", "+0050"}, {"TERM", "vt100"}},
         "/srv",
         {sh, " /tmp/a b ", "vt100", 132, 50}},
        {"empty values kept for cwd and TERM",
         {{"TERMINAL_STREAM_CWD", ""}, {"TERM", ""}, {"TERMINAL_STREAM_COLS", ""},
          {"TERMINAL_STREAM_ROWS", ""}},
         "/srv",
         {sh, "", "", 80, 24}},
        {"bad sizes fall back",
         {{"TERMINAL_STREAM_COLS", "65536"}, {"TERMINAL_STREAM_ROWS", "-24"}},
         "/srv",
         {sh, "/srv", "xterm-256color", 80, 24}},
        {"sizes at the limits",
         {{"TERMINAL_STREAM_COLS", "65535"}, {"TERMINAL_STREAM_ROWS", "1"}},
         "/srv",
         {sh, "/srv", "xterm-256color", 65535, 1}},
        {"non-UTF-8 values count as not set",
         {{"TERM", "xterm\xc0\xaf"}, {"TERMINAL_STREAM_COLS", "1\xff"}},
         "/srv",
         {sh, "/srv", "xterm-256color", 80, 24}},
        // A path is bytes: the shell must start where it was asked to.
        {"non-UTF-8 working directory kept as it is",
         {{"TERMINAL_STREAM_CWD", "/tmp/\xff"}},
         "/srv",
         {sh, "/tmp/\xff", "xterm-256color", 80, 24}},
        {"unreadable current directory", {}, std::nullopt, {sh, ".", "xterm-256color", 80, 24}},
        {"non-UTF-8 current directory", {}, "/srv/\xfe", {sh, ".", "xterm-256color", 80, 24}},
        {"empty current directory kept", {}, "", {sh, "", "xterm-256color", 80, 24}},
    };
    for (const Case& c : cases) {
        const Outcome out = run_build(c.env, {"broker"}, c.current_dir);
        ASSERT_TRUE(out.config.has_value()) << c.name;
        EXPECT_EQ(*out.config, c.expected) << c.name;
        EXPECT_EQ(out.diagnostics, "") << c.name;
    }
}

TEST(ShellCommand, ArrayElementsBecomeArguments) {
    struct Case {
        std::string json;
        Strings expected;
    };
    const Case cases[] = {
        {R"(["bash","-l"])", {"bash", "-l"}},
        {R"(["bash",5,true,null,false])", {"bash", "5", "true", "null", "false"}},
        {R"(["bash",1.5,-3,0.25])", {"bash", "1.5", "-3", "0.25"}},
        {R"(["bash","  "])", {"bash", "\"  \""}},
        {R"(["bash",""])", {"bash", "\"\""}},
        {R"([" bash "])", {" bash "}},
        {R"(["bash"," -l"])", {"bash", " -l"}},
        {"[\"bash\",\"\u00a0\u3000\"]", {"bash", "\"\u00a0\u3000\""}},
        {"[\"bash\",\"\\t\"]", {"bash", "\"\\t\""}},
        {"[\"bash\",\"\u200b\"]", {"bash", "\u200b"}},   // ZWSP is visible text here
        {R"(["bash","\u00e9t\u00e9"])", {"bash", "\u00e9t\u00e9"}},
        {R"(["bash",[1, "a" ],{"b":1, "a":[]}])", {"bash", R"([1,"a"])", R"({"a":[],"b":1})"}},
        {" \t\r\n[\"bash\"]\n ", {"bash"}},
        {"[5]", {"5"}},
    };
    for (const Case& c : cases) {
        const Outcome out = run_build({{"TERMINAL_STREAM_SHELL_CMD_JSON", c.json}},
                                      {"broker", "--", "zsh"});
        ASSERT_TRUE(out.config.has_value()) << c.json;
        EXPECT_EQ(out.config->shell, c.expected) << c.json;
        EXPECT_EQ(out.diagnostics, "") << c.json;
    }
}

TEST(ShellCommand, ValueThatIsNotAnArrayIsReportedOnce) {
    for (const std::string json : {R"({"shell":"bash"})", R"("bash")", "5", "null", "true", "{}"}) {
        const Outcome out = run_build({{"TERMINAL_STREAM_SHELL_CMD_JSON", json}},
                                      {"broker", "--", "zsh", "-f"});
        ASSERT_TRUE(out.config.has_value()) << json;
        EXPECT_EQ(out.config->shell, (Strings{"zsh", "-f"})) << json;
        EXPECT_EQ(out.diagnostics, not_array_line) << json;
    }
}

TEST(ShellCommand, EmptyArrayFallsBackSilently) {
    Outcome out = run_build({{"TERMINAL_STREAM_SHELL_CMD_JSON", " [ ] "}}, {"broker", "--", "zsh"});
    ASSERT_TRUE(out.config.has_value());
    EXPECT_EQ(out.config->shell, (Strings{"zsh"}));
    EXPECT_EQ(out.diagnostics, "");

    out = run_build({{"TERMINAL_STREAM_SHELL_CMD_JSON", "[]"}});
    ASSERT_TRUE(out.config.has_value());
    EXPECT_EQ(out.config->shell, (Strings{"sh", "-i"}));
    EXPECT_EQ(out.diagnostics, "");
}

TEST(ShellCommand, ParseErrorIsOneLineWithLineAndColumn) {
    struct Case {
        std::string json;
        std::string position;
    };
    const Case cases[] = {
        {"", " at line 1 column 1"},
        {"x", " at line 1 column 1"},
        {"not json", " at line 1 column 2"},     // stops at the "o"
        {R"(["bash"] x)", " at line 1 column 10"},          // trailing text
        {R"(["bash"]])", " at line 1 column 9"},
        {"[\n  \"bash\",\n  oops\n]", " at line 3 column 3"},
        {"[\"bash\",\n", " at line 2 column 1"},              // ends early
        {"[\"\u00e9\u00e9\", x]", " at line 1 column 8"},     // columns count characters
        {"[\"bash\", 1e400]", " at line 1 column 14"},        // too large for a double
        {"['bash']", " at line 1 column 2"},
        {"[\"a\u0001\"]", " at line 1 column 4"},             // raw control character
    };
    for (const Case& c : cases) {
        const Outcome out = run_build({{"TERMINAL_STREAM_SHELL_CMD_JSON", c.json}},
                                      {"broker", "--", "zsh"});
        ASSERT_TRUE(out.config.has_value()) << c.json;
        EXPECT_EQ(out.config->shell, (Strings{"zsh"})) << c.json;
        const std::string& line = out.diagnostics;
        EXPECT_TRUE(line.starts_with(parse_error_start)) << line;
        EXPECT_TRUE(ends_with(line, c.position + "\n")) << c.json << " -> " << line;
        // The parser's own description sits between the context and the position.
        EXPECT_GT(line.size(), std::string(parse_error_start).size() + c.position.size() + 1) << line;
        EXPECT_EQ(line.find('\n'), line.size() - 1) << line;
        EXPECT_EQ(line.find("json.exception"), std::string::npos) << line;
    }
}

TEST(ShellCommand, NonUtf8VariableCountsAsNotSet) {
    const Outcome out = run_build({{"TERMINAL_STREAM_SHELL_CMD_JSON", "[\"ba\xffsh\"]"}},
                                  {"broker", "--", "zsh"});
    ASSERT_TRUE(out.config.has_value());
    EXPECT_EQ(out.config->shell, (Strings{"zsh"}));
    EXPECT_EQ(out.diagnostics, "");
}

TEST(ShellCommand, ArgumentsAfterFirstSeparator) {
    struct Case {
        Strings args;
        Strings expected;
    };
    const Case cases[] = {
        {{"broker", "--", "zsh", "-f"}, {"zsh", "-f"}},
        {{"broker", "a", "--", "b", "--", "c"}, {"b", "--", "c"}},
        {{"broker", "--", "--"}, {"--"}},
        {{"broker", "--", ""}, {""}},
        {{"broker", "--", " zsh "}, {" zsh "}},
        {{"broker", "\xff", "--", "zsh"}, {"zsh"}},   // only what follows "--" matters
        {{"broker", "--"}, {"sh", "-i"}},
        {{"broker"}, {"sh", "-i"}},
        {{}, {"sh", "-i"}},
        {{"broker", "zsh", "-f"}, {"sh", "-i"}},
        {{"broker", "--x", "zsh"}, {"sh", "-i"}},
        {{"broker", " --", "zsh"}, {"sh", "-i"}},
        {{"--", "zsh"}, {"zsh"}},                       // the program name is searched too
    };
    for (const Case& c : cases) {
        const Outcome out = run_build({}, c.args);
        ASSERT_TRUE(out.config.has_value());
        EXPECT_EQ(out.config->shell, c.expected) << testing::PrintToString(c.args);
    }
}

TEST(ShellCommand, NonUtf8ArgumentAfterSeparatorIsAnError) {
    const Strings args{"broker", "--", "zsh", "-c\xc0\xaf", "x"};
    Outcome out = run_build({}, args);
    ASSERT_FALSE(out.config.has_value());
    EXPECT_EQ(out.config.error().describe(), "argument 3 is not valid UTF-8 at byte 2");
    EXPECT_EQ(out.diagnostics, "");

    // The error follows a diagnostic about the variable when that gave nothing.
    out = run_build({{"TERMINAL_STREAM_SHELL_CMD_JSON", "{}"}},
                    {"broker", "x", "--", "\xed\xa0\x80"});
    ASSERT_FALSE(out.config.has_value());
    EXPECT_EQ(out.config.error().describe(), "argument 3 is not valid UTF-8 at byte 0");
    EXPECT_EQ(out.diagnostics, not_array_line);

    // Arguments are not read at all when the variable gives the command.
    out = run_build({{"TERMINAL_STREAM_SHELL_CMD_JSON", "[\"bash\"]"}}, args);
    ASSERT_TRUE(out.config.has_value());
    EXPECT_EQ(out.config->shell, (Strings{"bash"}));
}

// Sets or removes one variable of this process for the life of the object.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = ::getenv(name)) old_ = old;
        if (value) ::setenv(name, value, 1); else ::unsetenv(name);
    }
    ~ScopedEnv() {
        if (old_) ::setenv(name_, old_->c_str(), 1); else ::unsetenv(name_);
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST(BuildConfigFromProcess, ReadsEnvironmentArgumentsAndLongWorkingDirectory) {
    namespace fs = std::filesystem;
    const fs::path original = fs::current_path();
    // A directory path longer than any small fixed buffer.
    fs::path deep = fs::temp_directory_path() / ("tsb-config-" + std::to_string(::getpid()));
    for (int i = 0; i < 12; ++i) deep /= std::string(60, static_cast<char>('a' + i));
    fs::create_directories(deep);
    fs::current_path(deep);
    const std::string expected_cwd = fs::current_path().string();
    ASSERT_GT(expected_cwd.size(), 700u);

    ScopedEnv cwd("TERMINAL_STREAM_CWD", nullptr);
    ScopedEnv cols("TERMINAL_STREAM_COLS", "\t120 ");
    ScopedEnv rows("TERMINAL_STREAM_ROWS", "x");
    ScopedEnv term("TERM", "\xff");
    ScopedEnv shell("TERMINAL_STREAM_SHELL_CMD_JSON", nullptr);
    char arg0[] = "broker", arg1[] = "--", arg2[] = "zsh", arg3[] = "-f";
    char* argv[] = {arg0, arg1, arg2, arg3, nullptr};
    std::vector<Diagnostic> diagnostics;
    const Result<BrokerConfig> config = build_config_from_process(4, argv, diagnostics);

    fs::current_path(original);
    fs::remove_all(fs::temp_directory_path() / ("tsb-config-" + std::to_string(::getpid())));

    ASSERT_TRUE(config.has_value());
    const BrokerConfig expected{{"zsh", "-f"}, expected_cwd, "xterm-256color", 120, 24};
    EXPECT_EQ(*config, expected);
}

}  // namespace
}  // namespace tsb
