// Wide strings and lists of lines in doctest's failure messages, as UTF-8.
#pragma once

#include <doctest.h>

#include <string>
#include <vector>

#include "gui_support.h"

namespace doctest {
template <>
struct StringMaker<std::wstring> {
    static String convert(const std::wstring& w) {
        std::string s(1, '"');
        s.append(gui::narrow(w)).push_back('"');
        return s.c_str();
    }
};
template <>
struct StringMaker<std::vector<std::wstring>> {
    static String convert(const std::vector<std::wstring>& lines) {
        std::string s = "{";
        for (const std::wstring& l : lines) s.append("\n  \"").append(gui::narrow(l)).push_back('"');
        return (s + "}").c_str();
    }
};
}  // namespace doctest

// The package directory's DACL: protected, full access for SYSTEM and Administrators and read
// and execute for OWNER RIGHTS, inherited by files and subdirectories. Where the platform cannot
// keep such a DACL (Wine maps it to Unix permission bits), the directory must read back exactly
// like a probe made with the same descriptor, and unlike one made without.
inline constexpr wchar_t kPackageSddl[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FRFX;;;OW)";
inline void check_package_dacl(const std::wstring& dir) {
    const std::string exact = "protected S-1-5-18:001f01ff:03 S-1-5-32-544:001f01ff:03 S-1-3-4:001200a9:03";
    CHECK(gui::narrow(gui::describe_sddl(kPackageSddl)) == exact);
    const std::wstring stored = gui::stored_dacl_for(kPackageSddl);
    const std::wstring read = gui::describe_dacl(dir);
    CHECK(read == stored);
    if (gui::narrow(stored) != exact) {
        CHECK(stored != gui::stored_dacl_for(nullptr));
        MESSAGE("this platform keeps the package DACL only as: " << gui::narrow(stored));
    }
}

// Every file and directory inside the package: owned by Administrators, with the package's three
// entries inherited and nothing else. Where the platform keeps neither owners nor DACLs as set
// (Wine), each must read back like a probe made the library's way (an explicit Administrators
// owner, no DACL) in a probe directory with the package descriptor.
inline void check_package_entries(const std::wstring& dir) {
    const std::string file_exact =
        "O:S-1-5-32-544 inherits S-1-5-18:001f01ff:10 S-1-5-32-544:001f01ff:10 S-1-3-4:001200a9:10";
    const std::string dir_exact =
        "O:S-1-5-32-544 inherits S-1-5-18:001f01ff:13 S-1-5-32-544:001f01ff:13 S-1-3-4:001200a9:13";
    const gui::EntryProbe probe = gui::probe_entries(kPackageSddl);
    const bool kept = gui::narrow(probe.file) == file_exact && gui::narrow(probe.directory) == dir_exact;
    if (!kept) MESSAGE("this platform keeps a package file only as: " << gui::narrow(probe.file));
    std::vector<std::wstring> entries;
    gui::list_entries(dir, entries);
    REQUIRE(entries.size() >= 8);
    for (const std::wstring& e : entries) {
        CAPTURE(gui::narrow(e));
        const bool is_dir = (GetFileAttributesW(e.c_str()) & FILE_ATTRIBUTE_DIRECTORY) != 0;
        const std::wstring read = gui::describe_owner_and_dacl(e);
        CHECK(read == (is_dir ? probe.directory : probe.file));
        if (kept) CHECK(gui::narrow(read) == (is_dir ? dir_exact : file_exact));
    }
}
