// Template expansion: copies a byte string and replaces every field (start delimiter, a token
// name, end delimiter) whose name is in the table by that entry's value. No Windows call.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr std::size_t kTokenValueBytes = 1024;  // a token value and its NUL
constexpr std::size_t kTokenCount = 16;         // entries before the terminating one

struct token_entry {
    const char* name;  // null ends the table
    char value[kTokenValueBytes];
};

// The tokenizer's own failure values (negated Windows error codes, and one library code).
constexpr int32_t kTokenBadArguments = -160;  // ERROR_BAD_ARGUMENTS
constexpr int32_t kTokenNoMemory = -8;        // ERROR_NOT_ENOUGH_MEMORY
constexpr int32_t kTokenNotFound = -1812;     // ERROR_RESOURCE_DATA_NOT_FOUND
constexpr int32_t kTokenNoReadBuffer = -11;   // VESK_ERR_NO_RESOURCE (file reads only)

// Returns the length of the expanded text (a heap string for free() in *out) or a failure
// value; 0 means the expansion produced nothing. One pass: values are never scanned again.
int32_t expand_tokens(const char* src, uint32_t length, char** out, const token_entry* table, const char* start_delim,
                      const char* end_delim);
