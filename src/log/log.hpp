#pragma once
// Diagnostic lines on standard error, shared by every thread:
//   "[redizivo_varizu_rideze_do] {message}"
//   "[redizivo_varizu_rideze_do] {context}: {error}"
// Each line is written whole under one process-wide lock, so lines from
// different threads never interleave. A closed standard error drops the
// line silently; no operation reports a failure.

#include <string>
#include <string_view>

#include "sys/error.hpp"

namespace tsb {

// The tag that starts every line the broker writes on standard error. A
// peer often shares that stream with other programs (a launcher such as
// ssh, the shell's own start-up), and picks the broker's diagnostics out
// by this fixed text; peers match it, so it never changes.
inline constexpr std::string_view log_prefix = "[redizivo_varizu_rideze_do] ";

void log_message(std::string_view message);
void log_error_with(std::string_view context, const Error& error);
void log_diagnostic(const Diagnostic& diagnostic);

// The whole line, line feed included, as log_diagnostic writes it.
std::string format_diagnostic(const Diagnostic& diagnostic);

}  // namespace tsb
