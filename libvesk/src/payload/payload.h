// The files the setup program carries: one constant table generated at build time. Template
// rows have an empty directory and are never written out.
#pragma once

#include <cstddef>
#include <cstdint>

struct payload_entry {
    const char* directory;  // "." the package directory itself; "" a template
    const char* file_name;
    uint64_t length;    // writers and readers use the low 32 bits
    int64_t timestamp;  // seconds since 1970-01-01 00:00 UTC
    const unsigned char* bytes;
};

inline constexpr std::size_t kPayloadRows = 14;
extern const payload_entry payload_table[kPayloadRows];

// The row of that file name (compared exactly) in that directory, or in any directory when
// directory is null; null when there is none or file_name is null.
const payload_entry* find_payload(const char* directory, const char* file_name);
