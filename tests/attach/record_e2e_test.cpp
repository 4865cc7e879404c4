// End-to-end: terminal-stream-attach --record, read back by Debian's
// asciinema (`asciinema cat` prints a recording's output as it was shown).

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "attach/terminal_modes.hpp"
#include "outer_terminal.hpp"

namespace tsb::test {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

class RecordE2E : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("tsb-record-" + std::to_string(::getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    fs::path dir_;
};

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<Json> read_lines(const fs::path& path) {
    std::vector<Json> lines;
    std::istringstream in(read_file(path));
    for (std::string line; std::getline(in, line);)
        lines.push_back(Json::parse(line, nullptr, /*allow_exceptions=*/false));
    return lines;
}

// What `asciinema cat` prints. It needs a terminal of its own (it reads
// /dev/tty), which script(1) gives it; its output goes to a file as it is.
std::optional<std::string> asciinema_cat(const fs::path& recording) {
    if (std::system("command -v asciinema >/dev/null") != 0) {
        ADD_FAILURE() << "asciinema is missing: scripts/install-js-deps.sh installs it";
        return std::nullopt;
    }
    const fs::path out = recording.string() + ".out";
    const std::string command = "LC_ALL=C.UTF-8 script -qec \"asciinema cat '" + recording.string() +
                                "' > '" + out.string() + "'\" /dev/null </dev/null >/dev/null";
    if (std::system(command.c_str()) != 0) return std::nullopt;
    return read_file(out);
}

// The events of one type, in order: [time, text].
std::vector<std::pair<double, std::string>> events_of(const std::vector<Json>& lines, std::string_view type) {
    std::vector<std::pair<double, std::string>> events;
    for (std::size_t i = 1; i < lines.size(); ++i)
        if (lines[i].is_array() && lines[i].size() == 3 && lines[i][1] == type)
            events.emplace_back(lines[i][0].get<double>(), lines[i][2].get<std::string>());
    return events;
}

// A session with the real broker: multi-byte characters, a resize and
// typed input. asciinema gives back exactly what the terminal was shown.
TEST_F(RecordE2E, AsciinemaReadsBackWhatTheTerminalShowed) {
    const fs::path file = dir_ / "session.cast";
    OuterTerminal terminal(90, 20);
    terminal.start({"--record", file.string(), "--record-input"});
    ASSERT_TRUE(terminal.wait_for_any_output());
    std::string typed = "printf 'caf\\303\\251 \\342\\202\\254 \\360\\237\\231\\202 done.\\n'\r";
    terminal.type(typed);
    ASSERT_TRUE(terminal.wait_for_output("caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x99\x82 done.\r\n")) << terminal.output();
    terminal.resize(100, 30);
    bool shown = false;  // SIGWINCH may reach the client after the keys (see ShellSeesTheLocalSize...)
    for (const auto until = std::chrono::steady_clock::now() + attach_deadline;
         !shown && std::chrono::steady_clock::now() < until;) {
        terminal.type("stty size\r");
        typed += "stty size\r";
        shown = terminal.wait_for_output("30 100\r\n", 2s);
    }
    ASSERT_TRUE(shown) << terminal.output();
    terminal.type("exit\r");
    typed += "exit\r";
    ASSERT_TRUE(terminal.wait_exit());

    struct stat info{};
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);

    const auto shown_by_asciinema = asciinema_cat(file);
    ASSERT_TRUE(shown_by_asciinema);
    // The client's own reset of the terminal comes after the session.
    EXPECT_EQ(*shown_by_asciinema + std::string(attach::terminal_reset_sequence), terminal.output());

    const auto lines = read_lines(file);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0]["version"], 2);
    EXPECT_EQ(lines[0]["width"], 90);
    EXPECT_EQ(lines[0]["height"], 20);
    EXPECT_EQ(lines[0]["env"]["SHELL"], std::string(attach_shell));
    const auto resizes = events_of(lines, "r");
    ASSERT_EQ(resizes.size(), 1u);
    EXPECT_EQ(resizes[0].second, "100x30");
    std::string input;
    for (const auto& [time, text] : events_of(lines, "i")) input += text;
    EXPECT_EQ(input, typed);
    double last = 0;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        EXPECT_GE(lines[i][0].get<double>(), last) << lines[i];
        last = lines[i][0].get<double>();
    }
}

// A character split across two data events is one character, at the time
// the broker stamped the event that completed it; a character cut by the
// end of the output is U+FFFD.
TEST_F(RecordE2E, SplitCharacterAndTheBrokersTimes) {
    const fs::path file = dir_ / "split.cast";
    OuterTerminal terminal(90, 20);
    terminal.start({"--broker", TSB_RECORD_BROKER, "--record", file.string()});
    ASSERT_TRUE(terminal.wait_for_output(" b\r\n")) << terminal.output();
    terminal.resize(100, 30);
    const auto status = terminal.wait_exit();
    ASSERT_TRUE(status) << terminal.output();

    const auto lines = read_lines(file);
    ASSERT_EQ(lines.size(), 5u) << read_file(file);
    EXPECT_EQ(lines[0], Json::parse(R"({"version":2,"width":90,"height":20,"timestamp":1700000000,
                                        "env":{"SHELL":"fake-sh","TERM":")" +
                                    std::string(std::getenv("TERM") ? std::getenv("TERM") : "xterm-256color") +
                                    "\"}}"));
    EXPECT_EQ(lines[1], Json::parse(R"([0.1,"o","a"])"));
    EXPECT_EQ(lines[2], Json::parse("[1.6,\"o\",\"\xE2\x82\xAC b\\r\\n\"]"));
    EXPECT_EQ(lines[3][1], "r");
    EXPECT_EQ(lines[3][2], "100x30");
    EXPECT_GE(lines[3][0].get<double>(), 1.6);
    EXPECT_EQ(lines[4][1], "o");
    EXPECT_EQ(lines[4][2], "\xEF\xBF\xBD");
}

// A recording that reaches its limit ends with a note, stays within it,
// and is still read in full; the session goes on.
TEST_F(RecordE2E, SizeLimitEndsTheRecordingWithANote) {
    const fs::path file = dir_ / "limited.cast";
    OuterTerminal terminal;
    terminal.start({"--record", file.string(), "--record-limit", "2K", "--", "sh", "-c", "seq 1 5000"});
    const auto status = terminal.wait_exit();
    ASSERT_TRUE(status) << terminal.output();
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
    EXPECT_NE(terminal.output().find("\n5000\r\n"), std::string::npos);
    EXPECT_NE(terminal.output().find("ended early: it reached its size limit of 2048 bytes"), std::string::npos);

    EXPECT_LE(fs::file_size(file), 2048u);
    const auto lines = read_lines(file);
    ASSERT_GE(lines.size(), 2u);
    const std::string note = "\r\n[recording ended: it reached its size limit of 2048 bytes]\r\n";
    EXPECT_EQ(lines.back()[2], note);
    const auto shown = asciinema_cat(file);
    ASSERT_TRUE(shown);
    ASSERT_TRUE(shown->ends_with(note));
    EXPECT_TRUE(terminal.output().starts_with(shown->substr(0, shown->size() - note.size())));
}

// A recording never replaces a file: the name may be a link planted there.
TEST_F(RecordE2E, AnExistingFileIsNotOverwritten) {
    const fs::path file = dir_ / "existing.cast";
    std::ofstream(file) << "keep\n";
    OuterTerminal terminal;
    terminal.start({"--record", file.string()});
    const auto status = terminal.wait_exit();
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1) << *status;
    EXPECT_NE(terminal.output().find("cannot create the recording " + file.string() + ": File exists"),
              std::string::npos)
        << terminal.output();
    EXPECT_EQ(read_file(file), "keep\n");
}

}  // namespace
}  // namespace tsb::test
