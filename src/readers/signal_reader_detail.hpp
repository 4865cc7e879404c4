#pragma once
// The signal reader's one step, from the marks its handler set (see
// sys/signal_pipe.hpp) to commands; exposed so that the order of reporting
// can be checked without racing real signal deliveries.

#include "protocol/channel.hpp"

namespace tsb::detail {

// Sends one Signal for every marked signal, lowest number first, clearing
// each mark as it is reported. False when the receiver is gone.
bool report_pending_signals(const CommandSender& sender);

}  // namespace tsb::detail
