// Splitting what was just read from the Windows setup log into complete lines. Windows-free:
// the conversion and sending of each line is the caller's.
#pragma once

#include <cstddef>

// A line that ends forwarding: neither it nor anything after it is consumed.
inline constexpr char kSyslogStopLine[] = "<ins>";

using syslog_line_sink = void (*)(const char* line, void* context);

// `chunk` holds `length` bytes followed by a NUL at chunk[length]. Every carriage return and
// line feed becomes NUL; `sink` gets each complete line (up to its first NUL, possibly empty).
// Returns the bytes consumed: everything before the start of the first incomplete line, or of
// the stop line.
std::size_t split_syslog_lines(char* chunk, std::size_t length, syslog_line_sink sink, void* context);
