// Package directories that earlier installations left under the common application-data folder.
#pragma once

#include <windows.h>

#include <string_view>

// The rule that a directory is one this program made, from what it reads back: this program's
// name pattern, the Administrators group as owner (or this user, where the system names the
// user instead, as Wine does), and an access list that allows only SYSTEM, the Administrators,
// OWNER RIGHTS and that owner and denies nothing. A folder anyone else may enter is not ours,
// whoever owns it.
bool is_own_package(std::wstring_view name, PSID owner, PACL dacl);

// Removes the package directories of earlier runs beside `current` (the full path of this run's
// directory, which stays): only directories directly in the same folder for which
// is_own_package holds. Nothing is entered or removed through a reparse point. Returns how many
// directories were removed completely.
int remove_earlier_packages(const wchar_t* current);
