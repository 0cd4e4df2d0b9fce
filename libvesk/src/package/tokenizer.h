// Expansion of the driver package templates with the process-wide token table. The table is
// filled by vesk_prepare_driver while it holds its machine-wide lock.
#pragma once

#include <cstdint>
#include <cstdlib>

#include "expand_tokens.h"
#include "libvesk.h"

// Owns a tokenizer result, which may be set even when the length is 0.
struct Tokenized {
    char* p = nullptr;
    Tokenized() = default;
    Tokenized(const Tokenized&) = delete;
    Tokenized& operator=(const Tokenized&) = delete;
    ~Tokenized() { std::free(p); }
};

// 16 named entries and the terminating one.
extern token_entry token_table[kTokenCount + 1];

// Stores value (cut at kTokenValueBytes - 1 bytes) into the entry of that name; false when no
// entry has the name.
bool set_token_value(const char* name, const char* value);
const char* token_value(const char* name);

// The template row of the payload table with that file name, expanded. Length, or a value
// below 1 on failure (see expand_tokens.h); *out is for free().
int32_t tokenize_embedded_template(const char* template_name, char** out);
// vesk_tokenize_file, the same for a template file named by a path, is in libvesk.h.
