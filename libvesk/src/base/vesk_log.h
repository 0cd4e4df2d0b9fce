// The library's leveled log call. Source labels are, as a rule, the logging function's name.
#pragma once

#include <cstdint>

#include "format_into.h"

VESK_PRINTF(3, 4) void vesk_log_message(int level, const char* source, const char* fmt, ...);

// Current threshold (lines below it are dropped).
int vesk_log_threshold();

// Lines dropped because the registered window read none of the pending ones.
uint32_t vesk_log_dropped_lines();
