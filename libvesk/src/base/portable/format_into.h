// printf-style formatting into a fixed buffer; truncation is a result the caller judges.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdio>

enum class Fit { ok, truncated, error };

#if defined(__MINGW32__)
#define VESK_PRINTF(f, a) __attribute__((format(__MINGW_PRINTF_FORMAT, f, a)))
#else
#define VESK_PRINTF(f, a) __attribute__((format(printf, f, a)))
#endif

// Always NUL-terminates when cap > 0. C99 semantics (never _vsnprintf).
[[nodiscard]] inline Fit vformat_into(char* buf, std::size_t cap, const char* fmt, va_list ap) {
    if (cap == 0) return Fit::error;
    const int n = std::vsnprintf(buf, cap, fmt, ap);
    if (n < 0) {
        buf[0] = '\0';
        return Fit::error;
    }
    buf[cap - 1] = '\0';
    return static_cast<std::size_t>(n) < cap ? Fit::ok : Fit::truncated;
}

[[nodiscard]] VESK_PRINTF(3, 4) inline Fit format_into(char* buf, std::size_t cap, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const Fit f = vformat_into(buf, cap, fmt, ap);
    va_end(ap);
    return f;
}
