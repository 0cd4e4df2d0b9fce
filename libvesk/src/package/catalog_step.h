// The preparation's catalog step: the catalog over the package files, signed with a new
// certificate.
#pragma once

#include <cstdint>

#include "dll_tables.h"
#include "driver_kinds.h"
#include "libvesk.h"

constexpr uint32_t kCatListEntries = 16;             // names taken from a catalog list template
constexpr uint32_t kCatNames = kCatListEntries + 1;  // and the INF

// Splits an expanded catalog list in place into at most 16 file names, then appends inf_name.
// Returns the number of names in names[].
uint32_t cat_file_list(char* text, const char* inf_name, const char* (&names)[kCatNames]);

// Only for an administrator, and unless the options skip it: the catalog of the kind's list and
// the INF at cat_path, then signed. Where Windows insists on a signed catalog (Windows 10 and
// later without test signing) a failure fails the preparation; a signing key left behind always
// does.
vesk_result make_catalog(const Shell32& shell32, const vesk_prepare_options* options, const KindData& kd,
                         const char* inf_base, const char* dir, const char* cat_path);
