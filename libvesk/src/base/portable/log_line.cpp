#include "log_line.h"

#include <cstring>

#include "format_into.h"

const char* log_level_name(int level) {
    switch (level) {
        case 0:
            return "debug";
        case 1:
            return "info";
        case 2:
            return "warning";
        case 3:
            return "error";
        default:
            return "unknown";
    }
}

LogLine format_log_line(char (&line)[kLogLineBytes], int level, const char* source, const char* fmt, va_list ap) {
    const Fit prefix = format_into(line, sizeof line, "libvesk:%s [%s] ", log_level_name(level), source ? source : "");
    if (prefix != Fit::ok) return {sizeof line, true};  // the message is not formatted at all
    const std::size_t used = std::strlen(line);
    const Fit message = vformat_into(line + used, sizeof line - used, fmt, ap);
    if (message == Fit::truncated) return {sizeof line, true};
    if (message == Fit::error) line[used] = '\0';
    return {std::strlen(line) + 1, false};
}
