// Driver package preparation (vesk_prepare_driver) and the pieces of it worth testing alone.
#pragma once

#include <cstdint>

constexpr uint32_t kCatListEntries = 16;             // names taken from a catalog list template
constexpr uint32_t kCatNames = kCatListEntries + 1;  // and the INF

// Splits an expanded catalog list in place into at most 16 file names, then appends inf_name.
// Returns the number of names in names[].
uint32_t cat_file_list(char* text, const char* inf_name, const char* (&names)[kCatNames]);
