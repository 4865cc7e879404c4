#include "session/outbox.hpp"

#include <string>

#include "log/log.hpp"

namespace tsb {

void FlowWindow::set(std::uint32_t window) {
    window_ = window;
    unacked_.clear();
    unacked_bytes_ = 0;
}

void FlowWindow::sent(std::uint64_t seq, std::size_t bytes) {
    if (!on()) return;
    unacked_.push_back({seq, bytes});
    unacked_bytes_ += bytes;
}

void FlowWindow::acknowledged(std::uint64_t seq) {
    while (!unacked_.empty() && unacked_.front().seq <= seq) {
        unacked_bytes_ -= unacked_.front().bytes;
        unacked_.pop_front();
    }
}

void Outbox::note(const Result<void>& written) {
    if (!written && !failure_) failure_ = written.error();
}

void Outbox::write_line(const nlohmann::json& event) {
    if (!failure_) note(out_.write_json_line(event));
}

void Outbox::write_data(std::span<const char> bytes) {
    ++seq_;
    if (failure_) return;
    note(raw_data_ ? out_.write_raw_data_event(seq_, now_ms(), bytes)
                   : out_.write_data_event(seq_, now_ms(), bytes));
    window_.sent(seq_, bytes.size());
}

void Outbox::write_closed(const nlohmann::json& closed) {
    closed_sent_ = true;
    write_line(closed);
}

void Outbox::set_window(std::uint32_t window) {
    window_.set(window);
    write_line(make_flow_control_event(window));
}

void Outbox::acknowledge(std::uint64_t seq) {
    if (seq > seq_) {
        log_message("bad terminal.ack: seq " + std::to_string(seq) + " has not been sent (last " +
                    std::to_string(seq_) + ")");
        return;
    }
    window_.acknowledged(seq);
}

}  // namespace tsb
