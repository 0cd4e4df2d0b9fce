// libFuzzer target for split_syslog_lines: sanitizers catch memory faults, and a plain
// std::string model of the same rules catches wrong lines or a wrong consumed count. Built by
// scripts/fuzz.sh, not by CMake.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "syslog_lines.h"

namespace {
bool is_break(char c) { return c == '\r' || c == '\n'; }

// Lines end at a run of CR/LF; a line's text stops at its first NUL; "<ins>" stops everything.
std::size_t model(const std::string& s, std::vector<std::string>& lines) {
    std::size_t start = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (!is_break(s[i])) continue;
        std::string line = s.substr(start, i - start);
        line = line.substr(0, line.find('\0'));
        if (line == "<ins>") return start;
        lines.push_back(line);
        while (i < s.size() && is_break(s[i])) ++i;
        start = i;
    }
    return start;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    // Exactly length bytes and the NUL: the sanitizer sees any read or write beyond them.
    char* chunk = static_cast<char*>(std::malloc(size + 1));
    if (!chunk) return 0;
    std::memcpy(chunk, data, size);
    chunk[size] = '\0';
    std::vector<std::string> got;
    const std::size_t consumed = split_syslog_lines(
        chunk, size, [](const char* line, void* ctx) { static_cast<std::vector<std::string>*>(ctx)->push_back(line); },
        &got);
    std::vector<std::string> want;
    const std::size_t want_consumed = model(input, want);
    if (consumed != want_consumed || got != want || consumed > size) std::abort();
    for (std::size_t i = 0; i < consumed; ++i)  // consumed breaks are NULs, other bytes unchanged
        if (is_break(input[i]) ? chunk[i] != '\0' : chunk[i] != input[i]) std::abort();
    std::free(chunk);
    return 0;
}
