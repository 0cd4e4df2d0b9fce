// The library's leveled log call. Source labels are, as a rule, the logging function's name.
#pragma once

#include <cstdint>

#include "format_into.h"

VESK_PRINTF(3, 4) void vesk_log_message(int level, const char* source, const char* fmt, ...);

// A guard's report (global_guard.h) as a log line under the guarded function's name.
void log_guard_report(int level, const char* source, const char* text);

// Current threshold (lines below it are dropped).
int vesk_log_threshold();

// Lines dropped because the registered window read none of the pending ones.
uint32_t vesk_log_dropped_lines();
