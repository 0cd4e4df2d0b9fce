// The package's catalog file (.cat) over the files of a driver package.
#pragma once

#include <cstdint>

// Writes the catalog at cat_path for hw_id (must not be empty), over the files below
// search_dir whose bare names are listed. True when the catalog was written.
bool CreateCat(const char* cat_path, const char* hw_id, const char* search_dir, const char* const* file_names,
               uint32_t file_count);

// Text of a CryptoAPI or Windows error code; 0 means the thread's last error.
const char* PkiErrorText(uint32_t code);
