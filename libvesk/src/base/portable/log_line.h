// Building one log line in its fixed buffer: "libvesk:%s [%s] " and the message.
#pragma once

#include <cstdarg>
#include <cstddef>

#include "sizes.h"

inline constexpr const char kTruncationNotice[] =
    "TRUNCATION detected for above line - Please send this log excerpt to the libvesk developers so we can fix it.";

const char* log_level_name(int level);

struct LogLine {
    std::size_t size;  // bytes to write, NUL included
    bool truncated;
};

LogLine format_log_line(char (&line)[kLogLineBytes], int level, const char* source, const char* fmt, va_list ap);
