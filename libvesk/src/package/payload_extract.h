// Writing the payload table's files (not its templates) into a driver package directory.
#pragma once

#include <cstddef>

#include "dll_tables.h"
#include "libvesk.h"

// D\x86\..., D\amd64\..., D\installer_x86.exe, D\installer_x64.exe; existing files are
// overwritten. Stops at the first row that fails; rows already written stay. The directories
// are made through the preparation's Shell32 table.
vesk_result extract_binaries(const Shell32& shell32, const char* package_dir);

// Appends src to the NUL-terminated path in buf (capacity kPathBytes), cutting it so that the
// buffer always holds a terminated string.
void append_cut(char* buf, std::size_t cap, const char* src);
