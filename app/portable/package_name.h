// The name this program gives its package directories: "Morvane-Driver-" and a braced GUID
// ({8-4-4-4-12} hexadecimal digits). Windows-free, so the rule is checked natively as well.
#pragma once

#include <string_view>

inline constexpr std::string_view kPackagePrefix = "Morvane-Driver-";

// True only for exactly that form (either case of hexadecimal digits, the prefix as written).
bool is_package_directory_name(std::wstring_view name);
