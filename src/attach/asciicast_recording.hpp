#pragma once
// A session recorded as asciicast v2, the format asciinema plays: a header
// line (version, size, start time, TERM and SHELL), then one line per event,
// `[t, "o", text]` for output, `[t, "r", "COLSxROWS"]` for a resize and
// `[t, "i", text]` for input. Times are seconds after the start, from the
// broker's own time stamps.
//
// Lines are gathered and written whole by flush(), so a recording cut
// short (a crash, a full disk) is valid up to its last line: a failed
// write is cut back to the last whole line and ends the recording.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "attach/utf8_stream_decoder.hpp"
#include "sys/error.hpp"
#include "sys/fd.hpp"

namespace tsb::attach {

struct RecordingOptions {
    std::uint64_t limit_bytes = 0;  // 0: no limit
    bool input = false;             // record input too (it holds passwords)
    std::string term;               // the shell's TERM, for the header
};

struct RecordingStart {
    std::uint64_t ts = 0;  // the broker's ready event: milliseconds since the epoch
    std::uint16_t cols = 80, rows = 24;
    std::string shell;     // the shell's program
};

class AsciicastRecording {
public:
    // Creates `path`, which must not exist yet, with mode 0600: a
    // recording holds all that a session showed. The limit bounds the
    // file; the event that would cross it is replaced by a note, and the
    // recording ends there.
    static Result<AsciicastRecording> create(const std::string& path, RecordingOptions options);

    void start(const RecordingStart& start);
    // Output of a data event stamped `ts` by the broker.
    void output(std::uint64_t ts, std::string_view bytes);
    // A resize or input made here: stamped on the broker's clock, as the
    // last broker time seen plus the time since it arrived.
    void resize(std::uint16_t cols, std::uint16_t rows);
    void input(std::string_view bytes);  // nothing unless options.input
    // The session's end: what the decoders hold, then everything written.
    void finish();

    // Writes the lines gathered so far; an error ends the recording.
    void flush();

    // Why the recording ended early: the size limit, or a failed write.
    const std::optional<std::string>& cut_short() const { return cut_short_; }

private:
    AsciicastRecording(Fd file, RecordingOptions options) : file_(std::move(file)), options_(std::move(options)) {}

    bool recording() const { return started_ && !ended_; }
    std::uint64_t elapsed_ms(std::uint64_t ts);
    std::uint64_t local_ts() const;
    void add_event(std::uint64_t ms, std::string_view type, std::string_view text);
    void end_early(std::string reason);

    Fd file_;
    RecordingOptions options_;
    std::uint64_t written_ = 0;  // bytes in the file, whole lines only
    std::string pending_;        // whole lines not written yet
    bool started_ = false, ended_ = false;
    std::uint64_t start_ts_ = 0, last_ms_ = 0;
    std::uint64_t broker_ts_ = 0;  // the last broker time seen, and when
    std::chrono::steady_clock::time_point broker_ts_seen_{};
    Utf8StreamDecoder output_decoder_, input_decoder_;
    std::string text_;  // reused for decoded text
    std::optional<std::string> cut_short_;
};

}  // namespace tsb::attach
