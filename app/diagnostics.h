// Diagnostic lines for the setup window's pane, from any thread; never waits for the window.
#pragma once

#include "format_into.h"

inline constexpr std::size_t kDiagnosticLineBytes = 2048;  // at most 2047 bytes of UTF-8

VESK_PRINTF(1, 2) void post_diagnostic(const char* fmt, ...);
