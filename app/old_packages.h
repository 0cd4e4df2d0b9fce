// Package directories that earlier installations left under the common application-data folder.
#pragma once

// Removes the package directories of earlier runs beside `current` (the full path of this run's
// directory, which stays): only directories directly in the same folder that carry this
// program's name pattern and are owned by the Administrators group, or carry the package
// directory's own protected access list with this user as owner. Nothing is entered or removed
// through a reparse point. Returns how many directories were removed completely.
int remove_earlier_packages(const wchar_t* current);
