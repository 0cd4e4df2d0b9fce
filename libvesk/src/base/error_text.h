#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

// Languages asked for a system message, in order: US English, which support reads best, then
// language 0, the system's own choice, for a Windows that has no English resources.
inline constexpr uint16_t kMessageLanguages[] = {0x0409, 0};

struct SystemMessage {
    bool found = false;         // a text is in the buffer
    uint32_t format_error = 0;  // when not found: the last error of the last request
};

// The system's message for `code`, in UTF-8, written to `out` (always NUL-terminated) and cut to
// whole characters to fit `cap` bytes; characters of `trim` are removed from its end. Each
// language is tried in turn until one has the text.
SystemMessage system_message(uint32_t code, char* out, std::size_t cap, const char* trim,
                             std::span<const uint16_t> languages = kMessageLanguages);

// "[0x%08lX] " and the system's message for a Windows error code's low 16 bits (0: the thread's
// last error), in a buffer of the calling thread. Leaves the thread's last error set to the
// described code.
const char* last_error_text(uint32_t code);

// Like last_error_text, but the system is asked for the whole code first (it has texts for most
// HRESULTs); only a FACILITY_WIN32 code falls back to its low 16 bits.
const char* hresult_text(uint32_t code);
