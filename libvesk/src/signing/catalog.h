// The package's catalog file (.cat) over the files of a driver package.
#pragma once

#include <windows.h>

#include <cstdint>

#include "crypto_api.h"

// Writes the catalog at cat_path for hw_id (must not be empty), over the files below
// search_dir whose bare names are listed. True when the catalog was written.
bool CreateCat(const char* cat_path, const char* hw_id, const char* search_dir, const char* const* file_names,
               uint32_t file_count);

// One directory level below the search root that CreateCat set ("" the root, else "\sub"),
// recursing into subdirectories; names are the lower-cased match list. The libraries are
// CreateCat's, loaded once for the whole scan.
void ScanDirAndHash(const WinTrust& wintrust, const Crypt32& crypt32, HANDLE cat, const char* relative,
                    char* const* names, uint32_t count);
// Adds the member of one file (bare name) with its 20-byte catalog hash.
bool AddFileHash(const WinTrust& wintrust, const Crypt32& crypt32, HANDLE cat, const char* file_name,
                 const uint8_t* hash);
// The platform's catalog hash of one file: Authenticode SHA-1 for PE files, SHA-1 otherwise.
bool CalcHash(const WinTrust& wintrust, uint8_t* hash, const char* path);

// Text of a CryptoAPI or Windows error code; 0 means the thread's last error.
const char* PkiErrorText(uint32_t code);
