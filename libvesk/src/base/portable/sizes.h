// Fixed buffer sizes that the system's behaviour depends on (each includes the NUL).
#pragma once

#include <cstddef>

constexpr std::size_t kLogLineBytes = 512;          // one log line and its NUL
constexpr std::size_t kLogDrainBytes = 8192;        // pending bytes before a writer drains
constexpr std::size_t kLogPipeDefaultBytes = 8192;  // logger pipe buffer when none is named
constexpr std::size_t kUnknownCodeBytes = 37;       // "Unknown Error: %d"
constexpr std::size_t kErrorTextBytes = 256;        // last_error_text
constexpr std::size_t kErrorTextPrefixChars = 13;   // "[0x%08lX] "
constexpr std::size_t kPathBytes = 260;             // a composed UTF-8 path (259 bytes and NUL)
constexpr std::size_t kMutexNameBytes = 128;        // "Global\%s" with a function name
