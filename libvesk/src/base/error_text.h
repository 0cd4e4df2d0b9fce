#pragma once

#include <cstdint>

// "[0x%08lX] " and the system's English message for a Windows error code (0: the thread's last
// error), in one process-wide buffer. Leaves the thread's last error set to the described code.
const char* last_error_text(uint32_t code);
