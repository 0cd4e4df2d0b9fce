#include "syslog_lines.h"

#include <cstring>

namespace {
bool is_break(char c) { return c == '\r' || c == '\n'; }
}  // namespace

std::size_t split_syslog_lines(char* chunk, std::size_t length, syslog_line_sink sink, void* context) {
    std::size_t start = 0;
    std::size_t i = 0;
    while (i < length) {
        if (!is_break(chunk[i])) {
            ++i;
            continue;
        }
        std::size_t next = i;
        while (next < length && is_break(chunk[next])) chunk[next++] = '\0';
        if (std::strcmp(chunk + start, kSyslogStopLine) == 0) return start;
        sink(chunk + start, context);
        start = next;
        i = next + 1;  // chunk[next] is no line break (or the closing NUL)
    }
    return start;
}
