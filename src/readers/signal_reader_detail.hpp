#pragma once
// The signal reader's bookkeeping, shared between its handler and its
// thread; exposed so that the order of reporting can be checked without
// racing real signal deliveries.

#include "protocol/channel.hpp"

namespace tsb::detail {

// What the handler records for a delivered signal (async-signal-safe). It
// does not wake the reader.
void mark_signal_pending(int signal_number) noexcept;

// Sends one Signal for every marked signal, lowest number first, clearing
// each mark as it is reported. False when the receiver is gone.
bool report_pending_signals(const CommandSender& sender);

}  // namespace tsb::detail
