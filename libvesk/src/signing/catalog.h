// The package's catalog file (.cat) over the files of a driver package.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "crypto_api.h"

// Writes the catalog at cat_path for hw_id (must not be empty), over the files below
// search_dir whose bare names are listed. True when the catalog was written.
bool CreateCat(const char* cat_path, const char* hw_id, const char* search_dir, const char* const* file_names,
               uint32_t file_count);

inline constexpr std::size_t kSearchRootBytes = 260;  // the search root, UTF-8 with its NUL

// One catalog's scan: its libraries (CreateCat's, loaded once for the whole scan), the open
// catalog, the search root and the lower-cased names to match.
struct CatalogScan {
    const WinTrust& wintrust;
    const Crypt32& crypt32;
    HANDLE cat;
    char root[kSearchRootBytes];  // absolute, backslashes only
    char* const* names;
    uint32_t count;
};

// One directory level below the scan's root ("" the root, else "\sub"), recursing into
// subdirectories.
void ScanDirAndHash(const CatalogScan& scan, const char* relative);
// Adds the member of one file (bare name) with its 20-byte catalog hash.
bool AddFileHash(const WinTrust& wintrust, const Crypt32& crypt32, HANDLE cat, const char* file_name,
                 const uint8_t* hash);
// The platform's catalog hash of one file: Authenticode SHA-1 for PE files, SHA-1 otherwise.
bool CalcHash(const WinTrust& wintrust, uint8_t* hash, const char* path);
