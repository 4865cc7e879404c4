#include "support/broker_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>


extern char** environ;

namespace tsb::test {
namespace {

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point until) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

std::vector<std::string> broker_environment(const BrokerOptions& options) {
    std::map<std::string, std::optional<std::string>> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view text(*entry);
        const auto equals = text.find('=');
        if (equals == std::string_view::npos) continue;
        const std::string name(text.substr(0, equals));
        // Nothing of the test runner's own broker settings leaks in.
        if (name.starts_with("TERMINAL_STREAM_")) continue;
        env[name] = std::string(text.substr(equals + 1));
    }
    if (options.shell) env["TERMINAL_STREAM_SHELL_CMD_JSON"] = nlohmann::json(*options.shell).dump();
    for (const auto& [name, value] : options.env) env[name] = value;
    std::vector<std::string> out;
    for (const auto& [name, value] : env)
        if (value) out.push_back(name + "=" + *value);
    return out;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (auto& s : strings) out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

}  // namespace

BrokerProcess::BrokerProcess(const BrokerOptions& options) {
    // A broker that has already gone must show up as a failed write here.
    ::signal(SIGPIPE, SIG_IGN);
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) < 0 || ::pipe2(out, O_CLOEXEC) < 0 || ::pipe2(err, O_CLOEXEC) < 0)
        throw std::runtime_error("pipe2 failed");

    std::vector<std::string> argv_strings{TSB_BROKER_PATH};
    argv_strings.insert(argv_strings.end(), options.args.begin(), options.args.end());
    std::vector<std::string> env_strings = broker_environment(options);
    std::vector<char*> argv = pointers(argv_strings);
    std::vector<char*> envp = pointers(env_strings);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (options.stdin_closed)
        posix_spawn_file_actions_addclose(&actions, STDIN_FILENO);
    else
        posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    if (options.stderr_closed)
        posix_spawn_file_actions_addclose(&actions, STDERR_FILENO);
    else
        posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    // The broker starts with every signal at its default and none blocked,
    // whatever this test process has set up (the C library would otherwise
    // hand some of its own internal signals over as ignored).
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    const int spawned = ::posix_spawn(&pid_, TSB_BROKER_PATH, &actions, &attributes, argv.data(),
                                      envp.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    if (spawned != 0) throw std::runtime_error("posix_spawn failed");
    stdin_fd_ = in[1];
    stdout_fd_ = out[0];
    stderr_fd_ = err[0];
    if (options.stdin_closed) close_stdin();
}

BrokerProcess::~BrokerProcess() {
    if (!exit_status_ && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    for (const int fd : {stdin_fd_, stdout_fd_, stderr_fd_})
        if (fd >= 0) ::close(fd);
}

void BrokerProcess::send_raw(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(stdin_fd_, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw std::runtime_error("write to broker stdin failed");
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

void BrokerProcess::send_method(std::string_view method, const nlohmann::json& params) {
    send_line(nlohmann::json{{"jsonrpc", "2.0"}, {"method", method}, {"params", params}}.dump());
}

std::size_t BrokerProcess::send_until_full(std::string_view bytes, std::chrono::milliseconds quiet) {
    const int flags = ::fcntl(stdin_fd_, F_GETFL);
    ::fcntl(stdin_fd_, F_SETFL, flags | O_NONBLOCK);
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(stdin_fd_, bytes.data() + written, bytes.size() - written);
        if (n > 0) {
            written += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) break;
        pollfd entry{.fd = stdin_fd_, .events = POLLOUT, .revents = 0};
        if (::poll(&entry, 1, static_cast<int>(quiet.count())) == 0) break;
    }
    ::fcntl(stdin_fd_, F_SETFL, flags);
    return written;
}

std::size_t BrokerProcess::stdout_unread() const {
    int unread = 0;
    if (::ioctl(stdout_fd_, FIONREAD, &unread) < 0) return 0;
    return static_cast<std::size_t>(unread);
}

void BrokerProcess::send_input(std::string_view bytes) {
    send_line(nlohmann::json{{"jsonrpc", "2.0"},
                             {"method", "terminal.input"},
                             {"params", {{"data_b64", base64(bytes)}}}}
                  .dump());
}

void BrokerProcess::send_ping(const nlohmann::json& nonce) {
    send_line(nlohmann::json{{"jsonrpc", "2.0"}, {"method", "terminal.ping"}, {"params", {{"nonce", nonce}}}}
                  .dump());
}

void BrokerProcess::send_resize(int cols, int rows) {
    send_line(nlohmann::json{{"jsonrpc", "2.0"},
                             {"method", "terminal.resize"},
                             {"params", {{"cols", cols}, {"rows", rows}}}}
                  .dump());
}

void BrokerProcess::send_destroy() {
    send_line(R"({"jsonrpc":"2.0","method":"terminal.destroy"})");
}

void BrokerProcess::close_stdin() {
    if (stdin_fd_ >= 0) ::close(stdin_fd_);
    stdin_fd_ = -1;
}

void BrokerProcess::close_stdout() {
    if (stdout_fd_ >= 0) ::close(stdout_fd_);
    stdout_fd_ = -1;
    stdout_ended_ = true;
}

bool BrokerProcess::fill_stdout(Clock::time_point until) {
    if (stdout_ended_) return false;
    pollfd fd{stdout_fd_, POLLIN, 0};
    const int ready = ::poll(&fd, 1, remaining_ms(until));
    if (ready <= 0) return false;
    char buffer[65536];
    const ssize_t n = ::read(stdout_fd_, buffer, sizeof buffer);
    if (n <= 0) {
        stdout_ended_ = true;
        return false;
    }
    stdout_raw_.append(buffer, static_cast<std::size_t>(n));
    pending_.append(buffer, static_cast<std::size_t>(n));
    return true;
}

std::optional<nlohmann::json> BrokerProcess::next_event(std::chrono::milliseconds deadline) {
    const auto until = Clock::now() + deadline;
    for (;;) {
        const auto newline = pending_.find('\n');
        if (newline != std::string::npos) {
            nlohmann::json event = nlohmann::json::parse(pending_.substr(0, newline));
            const bool data = event.value("type", "") == "data";
            // A raw data event's bytes follow its line.
            const bool is_raw = data && event.contains("bytes");
            const std::size_t raw = is_raw ? event["bytes"].get<std::size_t>() : 0;
            if (pending_.size() - newline - 1 >= raw) {
                if (data)
                    output_ += is_raw ? pending_.substr(newline + 1, raw)
                                      : decode_base64(event.at("data_b64").get<std::string>());
                pending_.erase(0, newline + 1 + raw);
                events_.push_back(event);
                return event;
            }
        }
        if (!fill_stdout(until) && (stdout_ended_ || Clock::now() >= until)) return std::nullopt;
    }
}

std::optional<nlohmann::json> BrokerProcess::wait_for(std::string_view type,
                                                      std::chrono::milliseconds deadline) {
    const auto until = Clock::now() + deadline;
    while (auto event = next_event(std::chrono::duration_cast<std::chrono::milliseconds>(
               until - Clock::now()))) {
        if (event->value("type", "") == type) return event;
    }
    return std::nullopt;
}

bool BrokerProcess::wait_for_output(std::string_view text, std::chrono::milliseconds deadline) {
    const auto until = Clock::now() + deadline;
    while (output_.find(text) == std::string::npos) {
        if (!next_event(std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now())))
            return false;
    }
    return true;
}

bool BrokerProcess::read_to_end(std::chrono::milliseconds deadline) {
    const auto until = Clock::now() + deadline;
    while (next_event(std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()))) {
    }
    return stdout_ended_;
}

std::optional<int> BrokerProcess::wait_exit(std::chrono::milliseconds deadline) {
    if (exit_status_) return exit_status_;
    const auto until = Clock::now() + deadline;
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return exit_status_;
        }
        if (Clock::now() >= until) return std::nullopt;
        // Keep the pipes flowing so the broker never blocks on them.
        drain_stderr(0);
        if (!stdout_ended_) fill_stdout(Clock::now() + 5ms);
        else ::usleep(2000);
    }
}

void BrokerProcess::drain_stderr(int timeout_ms) {
    if (stderr_fd_ < 0) return;
    pollfd fd{stderr_fd_, POLLIN, 0};
    while (::poll(&fd, 1, timeout_ms) > 0) {
        char buffer[4096];
        const ssize_t n = ::read(stderr_fd_, buffer, sizeof buffer);
        if (n <= 0) {
            ::close(stderr_fd_);
            stderr_fd_ = -1;
            return;
        }
        stderr_.append(buffer, static_cast<std::size_t>(n));
        timeout_ms = 0;
    }
}

const std::string& BrokerProcess::stderr_text() {
    drain_stderr(0);
    return stderr_;
}

bool BrokerProcess::wait_for_stderr(std::string_view text, std::chrono::milliseconds deadline) {
    const auto until = Clock::now() + deadline;
    for (;;) {
        drain_stderr(0);
        if (stderr_.find(text) != std::string::npos) return true;
        if (Clock::now() >= until || stderr_fd_ < 0) return false;
        drain_stderr(std::min(remaining_ms(until), 50));
    }
}

std::vector<std::string> sh(std::string script) { return {"sh", "-c", std::move(script)}; }

std::vector<std::string> python(std::string script) {
    return {"python3", "-c", std::move(script)};
}

std::vector<std::string> raw_echo_program(std::size_t total) {
    return python(
        "import os, sys, tty\n"
        "tty.setraw(0)\n"
        "os.write(1, b'R')\n"
        "left = " + std::to_string(total) + "\n"
        "while left > 0:\n"
        "    data = os.read(0, 65536)\n"
        "    if not data: break\n"
        "    left -= len(data)\n"
        "    view = memoryview(data)\n"
        "    while view:\n"
        "        view = view[os.write(1, view):]\n");
}

// The tests' own Base64, a plain transcription of RFC 4648, so that a fault
// in the broker's codec cannot hide itself behind the same fault here.
constexpr std::string_view base64_alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string base64(std::string_view bytes) {
    std::string text;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
        std::uint32_t group = 0;
        for (std::size_t j = 0; j < 3; ++j)
            group = group << 8 | (j < n ? static_cast<unsigned char>(bytes[i + j]) : 0u);
        for (std::size_t j = 0; j < 4; ++j)
            text.push_back(j <= n ? base64_alphabet[group >> (18 - 6 * j) & 0x3F] : '=');
    }
    return text;
}

std::string decode_base64(std::string_view text) {
    if (text.size() % 4 != 0) throw std::runtime_error("broker sent Base64 of a bad length");
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); i += 4) {
        std::uint32_t group = 0;
        std::size_t pads = 0;
        for (std::size_t j = 0; j < 4; ++j) {
            const char c = text[i + j];
            const std::size_t value = base64_alphabet.find(c);
            const bool last_group = i + 4 == text.size();
            if (c == '=' && last_group && j >= 2 && (j == 3 || text[i + 3] == '=')) {
                ++pads;
            } else if (value == std::string_view::npos || pads > 0) {
                throw std::runtime_error("broker sent bad Base64");
            }
            group = group << 6 | (c == '=' ? 0u : static_cast<std::uint32_t>(value));
        }
        for (std::size_t j = 0; j < 3 - pads; ++j) bytes.push_back(static_cast<char>(group >> (16 - 8 * j)));
    }
    return bytes;
}

}  // namespace tsb::test
