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

Result<void> Outbox::write_data(std::span<const char> bytes) {
    ++seq_;
    if (auto written = out_.write_data_event(seq_, now_ms(), bytes); !written) return written;
    window_.sent(seq_, bytes.size());
    return {};
}

Result<void> Outbox::write_last_line(const nlohmann::json& closed) {
    if (auto written = out_.write_json_line(closed); !written) return written;
    return out_.flush_all();
}

Result<void> Outbox::set_window(std::uint32_t window) {
    window_.set(window);
    return out_.write_json_line(make_flow_control_event(window));
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
