#pragma once
// Drives the real broker binary over pipes, as a peer would. Every wait has
// a deadline, so a broken broker fails a test instead of hanging the suite.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace tsb::test {

using namespace std::chrono_literals;

// Generous: the suite also runs under sanitizers on busy shared machines.
inline constexpr std::chrono::milliseconds default_deadline = 30s;

struct BrokerOptions {
    std::vector<std::string> args{};                        // after the program name
    std::map<std::string, std::optional<std::string>> env{};  // nothing = unset
    std::optional<std::vector<std::string>> shell{};        // as TERMINAL_STREAM_SHELL_CMD_JSON
    bool stdin_closed = false;                              // start with fd 0 not open
    bool stderr_closed = false;                             // start with fd 2 not open
};

class BrokerProcess {
public:
    explicit BrokerProcess(const BrokerOptions& options = {});
    ~BrokerProcess();
    BrokerProcess(const BrokerProcess&) = delete;
    BrokerProcess& operator=(const BrokerProcess&) = delete;

    pid_t pid() const { return pid_; }

    void send_raw(std::string_view bytes);
    void send_line(std::string_view line) { send_raw(std::string(line) + "\n"); }
    void send_input(std::string_view bytes);
    void send_ping(const nlohmann::json& nonce);
    void send_resize(int cols, int rows);
    void send_destroy();
    void send_method(std::string_view method, const nlohmann::json& params);
    // Writes without blocking until all of `bytes` is written or the pipe
    // has stayed full for `quiet`; returns how much was written.
    std::size_t send_until_full(std::string_view bytes, std::chrono::milliseconds quiet);
    // Bytes the broker has written to stdout that this side has not read.
    std::size_t stdout_unread() const;
    void close_stdin();
    void close_stdout();

    // The next event line, or nothing when the deadline passes or stdout
    // ends. Every event read is also kept in events().
    std::optional<nlohmann::json> next_event(std::chrono::milliseconds deadline = default_deadline);
    // Reads events until one of the given type arrives.
    std::optional<nlohmann::json> wait_for(std::string_view type,
                                           std::chrono::milliseconds deadline = default_deadline);
    // Reads events until the decoded terminal output contains `text`.
    bool wait_for_output(std::string_view text,
                         std::chrono::milliseconds deadline = default_deadline);
    // Reads until stdout ends; false on deadline.
    bool read_to_end(std::chrono::milliseconds deadline = default_deadline);

    // The exit status (or 128 + signal); nothing if it did not end in time.
    std::optional<int> wait_exit(std::chrono::milliseconds deadline = default_deadline);

    const std::vector<nlohmann::json>& events() const { return events_; }
    // Terminal output decoded from the data events read so far.
    const std::string& output() const { return output_; }
    // Raw stdout bytes read so far.
    const std::string& stdout_bytes() const { return stdout_raw_; }
    // Everything on stderr so far (reads what is waiting first).
    const std::string& stderr_text();
    // Waits until stderr contains `text`.
    bool wait_for_stderr(std::string_view text,
                         std::chrono::milliseconds deadline = default_deadline);

private:
    bool fill_stdout(std::chrono::steady_clock::time_point until);
    void drain_stderr(int timeout_ms);

    pid_t pid_ = -1;
    int stdin_fd_ = -1, stdout_fd_ = -1, stderr_fd_ = -1;
    std::optional<int> exit_status_;
    std::string stdout_raw_, pending_, output_, stderr_;
    std::vector<nlohmann::json> events_;
    bool stdout_ended_ = false;
};

// Shell command vectors for the programs the tests run as the shell.
std::vector<std::string> sh(std::string script);
std::vector<std::string> python(std::string script);

// A python program that puts its terminal in raw mode and echoes every byte
// it reads until it has echoed `total` bytes, then exits. It writes "R" once
// raw mode is on: input sent before then would meet the cooked terminal.
std::vector<std::string> raw_echo_program(std::size_t total);

std::string base64(std::string_view bytes);
std::string decode_base64(std::string_view text);

}  // namespace tsb::test
