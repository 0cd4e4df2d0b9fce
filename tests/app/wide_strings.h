// Wide strings and lists of lines in doctest's failure messages, as UTF-8.
#pragma once

#include <doctest.h>

#include <string>
#include <vector>

#include "gui_support.h"
#include "security_descriptors.h"
#include "wine_cannot.h"

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

// The package directory's DACL as Windows keeps it: protected, full access for SYSTEM and
// Administrators and read and execute for OWNER RIGHTS, inherited by files and subdirectories.
// Wine keeps no DACL on files (it maps them to Unix permission bits): there the descriptor
// itself is checked as data (test_security_descriptors) and the read-back is skipped.
inline void check_package_dacl(const std::wstring& dir) {
    const std::string exact = "protected S-1-5-18:001f01ff:03 S-1-5-32-544:001f01ff:03 S-1-3-4:001200a9:03";
    CHECK(gui::narrow(gui::describe_sddl(kPackageDirectorySddl)) == exact);
    if (wine_cannot("Wine keeps no access list on files: the package folder's DACL is not read back")) return;
    CHECK(gui::narrow(gui::describe_dacl(dir)) == exact);
}

// Every file and directory inside the package: owned by Administrators, with the package's three
// entries inherited and nothing else. Wine keeps neither owners nor DACLs as set.
inline void check_package_entries(const std::wstring& dir) {
    const std::string file_exact =
        "O:S-1-5-32-544 inherits S-1-5-18:001f01ff:10 S-1-5-32-544:001f01ff:10 S-1-3-4:001200a9:10";
    const std::string dir_exact =
        "O:S-1-5-32-544 inherits S-1-5-18:001f01ff:13 S-1-5-32-544:001f01ff:13 S-1-3-4:001200a9:13";
    std::vector<std::wstring> entries;
    gui::list_entries(dir, entries);
    REQUIRE(entries.size() >= 8);
    if (wine_cannot("Wine reads owners back as the Unix user and keeps no DACL: package entries are not read back"))
        return;
    for (const std::wstring& e : entries) {
        CAPTURE(gui::narrow(e));
        const bool is_dir = (GetFileAttributesW(e.c_str()) & FILE_ATTRIBUTE_DIRECTORY) != 0;
        CHECK(gui::narrow(gui::describe_owner_and_dacl(e)) == (is_dir ? dir_exact : file_exact));
    }
}
