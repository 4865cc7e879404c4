#include "attach/asciicast_recording.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include <nlohmann/json.hpp>

namespace tsb::attach {

namespace {

using Json = nlohmann::ordered_json;

// Room kept for the note that ends a recording at its size limit, whatever
// its time.
constexpr std::size_t note_room = 160;

std::string json_line(const Json& value) {
    // The decoders hand over valid UTF-8 only; replace rather than throw all the same.
    std::string line = value.dump(-1, ' ', false, Json::error_handler_t::replace);
    line.push_back('\n');
    return line;
}

std::string limit_note(std::uint64_t limit) {
    return "\r\n[recording ended: it reached its size limit of " + std::to_string(limit) + " bytes]\r\n";
}

}  // namespace

Result<AsciicastRecording> AsciicastRecording::create(const std::string& path, RecordingOptions options) {
    // O_EXCL: never through a link planted at that name, never over another file.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return fail(Error::last_os());
    return AsciicastRecording(Fd(fd), std::move(options));
}

void AsciicastRecording::start(const RecordingStart& start) {
    if (started_) return;
    started_ = true;
    // A broker that gives no time: this machine's clock.
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    start_ts_ = broker_ts_ =
        start.ts > 0 ? start.ts
                     : static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
    broker_ts_seen_ = std::chrono::steady_clock::now();
    Json env = Json::object();
    env["SHELL"] = start.shell;
    env["TERM"] = options_.term;
    const Json header = {{"version", 2}, {"width", start.cols}, {"height", start.rows},
                         {"timestamp", start_ts_ / 1000}, {"env", std::move(env)}};
    pending_ = json_line(header);
}

void AsciicastRecording::output(std::uint64_t ts, std::string_view bytes) {
    if (!recording()) return;
    broker_ts_ = ts;
    broker_ts_seen_ = std::chrono::steady_clock::now();
    text_.clear();
    output_decoder_.decode(bytes, text_);
    if (!text_.empty()) add_event(elapsed_ms(ts), "o", text_);
}

void AsciicastRecording::resize(std::uint16_t cols, std::uint16_t rows) {
    if (!recording()) return;
    add_event(elapsed_ms(local_ts()), "r", std::to_string(cols) + "x" + std::to_string(rows));
}

void AsciicastRecording::input(std::string_view bytes) {
    if (!recording() || !options_.input) return;
    text_.clear();
    input_decoder_.decode(bytes, text_);
    if (!text_.empty()) add_event(elapsed_ms(local_ts()), "i", text_);
}

void AsciicastRecording::finish() {
    if (recording()) {
        text_.clear();
        output_decoder_.finish(text_);
        if (!text_.empty()) add_event(last_ms_, "o", text_);
        ended_ = true;
    }
    flush();
}

void AsciicastRecording::flush() {
    std::size_t done = 0;
    while (done < pending_.size()) {
        const ssize_t wrote = ::write(file_.get(), pending_.data() + done, pending_.size() - done);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) {
            const Error error = wrote < 0 ? Error::last_os() : Error::os(ENOSPC);
            // A line cut in the middle would make the rest of the file
            // unreadable: keep the whole lines only.
            const std::size_t last_line_end = pending_.rfind('\n', done == 0 ? 0 : done - 1);
            const std::size_t whole = done == 0 || last_line_end == std::string::npos ? 0 : last_line_end + 1;
            (void)::ftruncate(file_.get(), static_cast<off_t>(written_ + whole));
            pending_.clear();
            ended_ = true;
            if (!cut_short_) cut_short_ = "writing it failed: " + error.describe();
            return;
        }
        done += static_cast<std::size_t>(wrote);
    }
    written_ += pending_.size();
    pending_.clear();
}

// Milliseconds after the start, never going back: a resize stamped here
// may come after output stamped by a broker whose clock runs ahead.
std::uint64_t AsciicastRecording::elapsed_ms(std::uint64_t ts) {
    const std::uint64_t ms = ts > start_ts_ ? ts - start_ts_ : 0;
    if (ms > last_ms_) last_ms_ = ms;
    return last_ms_;
}

// The broker may run on another machine, whose clock is not this one's.
std::uint64_t AsciicastRecording::local_ts() const {
    const auto since = std::chrono::steady_clock::now() - broker_ts_seen_;
    return broker_ts_ + static_cast<std::uint64_t>(
                            std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
}

void AsciicastRecording::add_event(std::uint64_t ms, std::string_view type, std::string_view text) {
    const double seconds = static_cast<double>(ms) / 1000.0;
    std::string line = json_line(Json::array({seconds, type, text}));
    const std::uint64_t limit = options_.limit_bytes;
    if (limit > 0 && written_ + pending_.size() + line.size() + note_room > limit) {
        pending_.append(json_line(Json::array({seconds, "o", limit_note(limit)})));
        ended_ = true;
        cut_short_ = "it reached its size limit of " + std::to_string(limit) + " bytes";
        return;
    }
    pending_.append(line);
}

}  // namespace tsb::attach
