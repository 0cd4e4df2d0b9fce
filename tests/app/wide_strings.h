// Wide strings and lists of lines in doctest's failure messages, as UTF-8.
#pragma once

#include <doctest.h>

#include <string>
#include <vector>

#include "gui_support.h"

namespace doctest {
template <> struct StringMaker<std::wstring> {
    static String convert(const std::wstring& w) {
        std::string s(1, '"');
        s.append(gui::narrow(w)).push_back('"');
        return s.c_str();
    }
};
template <> struct StringMaker<std::vector<std::wstring>> {
    static String convert(const std::vector<std::wstring>& lines) {
        std::string s = "{";
        for (const std::wstring& l : lines) s.append("\n  \"").append(gui::narrow(l)).push_back('"');
        return (s + "}").c_str();
    }
};
}  // namespace doctest

// The package directory's DACL: protected, full access for SYSTEM and Administrators, inherited
// by files and subdirectories. Where the platform cannot keep such a DACL (Wine maps it to Unix
// permission bits), the directory must read back exactly like a probe made with the same
// descriptor, and unlike one made without.
inline void check_package_dacl(const std::wstring& dir) {
    static const wchar_t kSddl[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
    const std::string exact = "protected S-1-5-18:001f01ff:03 S-1-5-32-544:001f01ff:03";
    CHECK(gui::narrow(gui::describe_sddl(kSddl)) == exact);
    const std::wstring stored = gui::stored_dacl_for(kSddl);
    const std::wstring read = gui::describe_dacl(dir);
    CHECK(read == stored);
    if (gui::narrow(stored) != exact) {
        CHECK(stored != gui::stored_dacl_for(nullptr));
        MESSAGE("this platform keeps the package DACL only as: " << gui::narrow(stored));
    }
}
