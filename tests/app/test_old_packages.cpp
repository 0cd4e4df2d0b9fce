// Removing earlier runs' package directories, in a scratch folder below TEMP: only the program's
// own directories go, whatever they hold; look-alikes, the current run's directory and anything
// behind a junction stay.
#include <windows.h>

#include <doctest.h>

#include <cstring>
#include <string>
#include <vector>

#include "old_packages.h"
#include "scratch_tree.h"

namespace {
constexpr wchar_t kPackageSddl[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";  // as the worker makes them
constexpr wchar_t kOpenToAll[] = L"D:P(A;OICI;FA;;;WD)";

using scratch::make_dir;
using scratch::make_file;
using scratch::make_junction;
using scratch::remove_tree;

// A package as extraction leaves it: files at the top and in two subdirectories, one deeper.
bool make_package(const std::wstring& path, const wchar_t* sddl) {
    return make_dir(path, sddl) && make_file(path + L"\\morvane-dfu.inf") && make_dir(path + L"\\x86", nullptr) &&
           make_file(path + L"\\x86\\winusbcoinstaller2.dll") && make_dir(path + L"\\amd64", nullptr) &&
           make_dir(path + L"\\amd64\\deeper", nullptr) && make_file(path + L"\\amd64\\deeper\\x.dll");
}

std::wstring package(const std::wstring& parent, int n) {
    wchar_t name[64];
    swprintf(name, 64, L"\\Morvane-Driver-{0BADF00D-0000-4000-8000-%012d}", n);
    return parent + name;
}
}  // namespace

TEST_CASE("earlier package directories go; the current one, look-alikes and junction targets stay") {
    wchar_t temp[MAX_PATH];
    REQUIRE(GetTempPathW(MAX_PATH, temp) > 0);
    const std::wstring parent = std::wstring(temp) + L"vesk-old-packages-" + std::to_wstring(GetCurrentProcessId());
    remove_tree(parent);
    REQUIRE(CreateDirectoryW(parent.c_str(), nullptr));
    const std::wstring current = package(parent, 0);
    const std::wstring earlier[2] = {package(parent, 1), package(parent, 2)};
    const std::wstring open_to_all = package(parent, 3);
    const std::wstring junction = package(parent, 4);
    const std::wstring plain_file = package(parent, 5);
    const std::wstring longer = package(parent, 6) + L".old";
    const std::wstring lower_prefix = parent + L"\\morvane-driver-{0BADF00D-0000-4000-8000-000000000007}";
    const std::wstring target = parent + L"\\target";
    const std::wstring nested = current + L"\\" + package(L"", 8).substr(1);  // not directly under the parent
    REQUIRE(make_package(current, kPackageSddl));
    for (const std::wstring& e : earlier) REQUIRE(make_package(e, kPackageSddl));
    REQUIRE(make_package(open_to_all, kOpenToAll));
    REQUIRE(make_file(plain_file));
    REQUIRE(make_package(longer, kPackageSddl));
    REQUIRE(make_package(lower_prefix, kPackageSddl));
    REQUIRE(make_package(target, kPackageSddl));
    REQUIRE(make_package(nested, kPackageSddl));
    const bool has_junction = make_junction(junction, target);
    if (!has_junction) MESSAGE("no directory junctions on this system (Wine 8): the junction case needs Windows");

    CHECK(remove_earlier_packages(current.c_str()) == 2);
    for (const std::wstring& e : earlier) CHECK_FALSE(scratch::path_exists(e));
    CHECK(scratch::path_exists(current + L"\\amd64\\deeper\\x.dll"));
    CHECK(scratch::path_exists(nested + L"\\morvane-dfu.inf"));
    CHECK(scratch::path_exists(open_to_all + L"\\x86\\winusbcoinstaller2.dll"));
    CHECK(scratch::path_exists(plain_file));
    CHECK(scratch::path_exists(longer + L"\\morvane-dfu.inf"));
    CHECK(scratch::path_exists(lower_prefix + L"\\morvane-dfu.inf"));
    CHECK(scratch::path_exists(target + L"\\amd64\\deeper\\x.dll"));
    if (has_junction) CHECK(scratch::path_exists(junction));

    SUBCASE("a second run finds nothing more to remove") { CHECK(remove_earlier_packages(current.c_str()) == 0); }
    remove_tree(parent);
}
