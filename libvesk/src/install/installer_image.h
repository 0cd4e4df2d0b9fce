// The installer file held against writing and deleting from the comparison of its bytes until
// its process has started, so that what runs elevated is the installer this program carries.
#pragma once

#include <windows.h>

#include <span>

#include "libvesk.h"
#include "owners.h"

// The bytes of the named program as this program carries it (its payload row); empty when it
// carries none. In an object file of its own: the tests of the run link a definition of theirs.
std::span<const unsigned char> installer_reference(const char* program);

// Opens directory\program for reading with a share mode that lets nobody write or delete it,
// and compares its bytes with installer_reference(program). On VESK_OK `held` keeps the file
// open; the caller closes it once the process has started. One log line for each refusal.
vesk_result hold_installer(const char* directory, const char* program, UniqueFile& held);
