#pragma once
// Diagnostic lines on standard error, shared by every thread:
//   "[redizivo_varizu_rideze_do] {message}"
//   "[redizivo_varizu_rideze_do] {context}: {error}"
// Each line is written whole under one process-wide lock, so lines from
// different threads never interleave. A closed standard error drops the
// line silently; neither operation reports a failure.

#include <string>
#include <string_view>

#include "sys/error.hpp"

namespace tsb {

inline constexpr std::string_view log_prefix = "[redizivo_varizu_rideze_do] ";

void log_message(std::string_view message);
void log_error_with(std::string_view context, const Error& error);

// Text that came from the peer, made safe to insert into a diagnostic: the
// control bytes 0x00-0x1F and 0x7F are escaped JSON-style ("\n", "\t",
// "\u001b" ...) so that a diagnostic always stays one line. Text without
// control bytes comes back unchanged.
std::string escape_peer_text(std::string_view text);

}  // namespace tsb
