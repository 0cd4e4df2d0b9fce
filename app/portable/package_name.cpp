#include "package_name.h"

#include "ascii.h"

bool is_package_directory_name(std::wstring_view name) {
    constexpr std::wstring_view kGuidShape = L"{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}";
    if (name.size() != kPackagePrefix.size() + kGuidShape.size()) return false;
    for (std::size_t i = 0; i < kPackagePrefix.size(); ++i)
        if (name[i] != static_cast<wchar_t>(kPackagePrefix[i])) return false;
    const std::wstring_view guid = name.substr(kPackagePrefix.size());
    for (std::size_t i = 0; i < kGuidShape.size(); ++i) {
        if (kGuidShape[i] == L'x' ? !is_hex_digit(guid[i]) : guid[i] != kGuidShape[i]) return false;
    }
    return true;
}
