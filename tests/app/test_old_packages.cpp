// Removing earlier runs' package directories, in a scratch folder below TEMP: only the program's
// own directories go, whatever they hold; look-alikes, the current run's directory and anything
// behind a junction stay. The rule itself is checked as data too (owner, descriptor, name), so
// that it holds where the system keeps descriptors as written (Windows), not only as Wine keeps
// them.
#include <windows.h>
#include <sddl.h>

#include <doctest.h>

#include <cstring>
#include <string>
#include <vector>

#include "old_packages.h"
#include "scratch_tree.h"
#include "security_descriptors.h"
#include "wine_cannot.h"

namespace {
constexpr const wchar_t* kPackageSddl = kPackageDirectorySddl;  // as the worker makes them
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

// A new, empty scratch folder below TEMP.
std::wstring fresh_parent(const wchar_t* tag) {
    wchar_t temp[MAX_PATH];
    REQUIRE(GetTempPathW(MAX_PATH, temp) > 0);
    const std::wstring parent = std::wstring(temp) + tag + std::to_wstring(GetCurrentProcessId());
    remove_tree(parent);
    REQUIRE(CreateDirectoryW(parent.c_str(), nullptr));
    return parent;
}
}  // namespace

TEST_CASE("earlier package directories go; the current one and look-alikes stay") {
    const std::wstring parent = fresh_parent(L"vesk-old-packages-");
    const std::wstring current = package(parent, 0);
    const std::wstring earlier[2] = {package(parent, 1), package(parent, 2)};
    const std::wstring open_to_all = package(parent, 3);
    const std::wstring plain_file = package(parent, 5);
    const std::wstring longer = package(parent, 6) + L".old";
    const std::wstring lower_prefix = parent + L"\\morvane-driver-{0BADF00D-0000-4000-8000-000000000007}";
    const std::wstring nested = current + L"\\" + package(L"", 8).substr(1);  // not directly under the parent
    REQUIRE(make_package(current, kPackageSddl));
    for (const std::wstring& e : earlier) REQUIRE(make_package(e, kPackageSddl));
    REQUIRE(make_package(open_to_all, kOpenToAll));
    REQUIRE(make_file(plain_file));
    REQUIRE(make_package(longer, kPackageSddl));
    REQUIRE(make_package(lower_prefix, kPackageSddl));
    REQUIRE(make_package(nested, kPackageSddl));

    CHECK(remove_earlier_packages(current.c_str()) == 2);
    for (const std::wstring& e : earlier) CHECK_FALSE(scratch::path_exists(e));
    CHECK(scratch::path_exists(current + L"\\amd64\\deeper\\x.dll"));
    CHECK(scratch::path_exists(nested + L"\\morvane-dfu.inf"));
    CHECK(scratch::path_exists(open_to_all + L"\\x86\\winusbcoinstaller2.dll"));
    CHECK(scratch::path_exists(plain_file));
    CHECK(scratch::path_exists(longer + L"\\morvane-dfu.inf"));
    CHECK(scratch::path_exists(lower_prefix + L"\\morvane-dfu.inf"));

    SUBCASE("a second run finds nothing more to remove") { CHECK(remove_earlier_packages(current.c_str()) == 0); }
    remove_tree(parent);
}

TEST_CASE("a junction named like a package stays, and so does what it leads to" * WINDOWS_ONLY) {
    if (wine_cannot("Wine 8 makes no directory junctions")) return;
    const std::wstring parent = fresh_parent(L"vesk-old-junction-");
    const std::wstring current = package(parent, 0);
    const std::wstring junction = package(parent, 4);
    const std::wstring target = parent + L"\\target";
    REQUIRE(make_package(current, kPackageSddl));
    REQUIRE(make_package(target, kPackageSddl));
    REQUIRE(make_junction(junction, target));
    CHECK(remove_earlier_packages(current.c_str()) == 0);
    CHECK(scratch::path_exists(junction));
    CHECK(scratch::path_exists(target + L"\\amd64\\deeper\\x.dll"));
    remove_tree(parent);
}

namespace {
std::wstring token_user() {
    HANDLE token = nullptr;
    REQUIRE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    alignas(TOKEN_USER) BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    const BOOL got = GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size);
    CloseHandle(token);
    REQUIRE(got);
    wchar_t* text = nullptr;
    REQUIRE(ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text));
    std::wstring out = text;
    LocalFree(text);
    return out;
}
}  // namespace

TEST_CASE("what counts as this program's package: owner, descriptor and name as data") {
    const std::wstring user = token_user();
    const std::wstring name = L"Morvane-Driver-{0BADF00D-0000-4000-8000-000000000001}";
    struct Row {
        const char* what;
        std::wstring sddl;  // owner and DACL as read back
        std::wstring name;
        bool ours;
    };
    const std::wstring package = std::wstring(L"O:BA") + kPackageDirectorySddl;
    const Row rows[] = {
        {"as Windows keeps it", package, name, true},
        {"as Wine keeps it: SYSTEM and the user, the user owning",
         L"O:" + user + L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;" + user + L")", name, true},
        {"an Administrators folder open to everyone", L"O:BAD:P(A;OICI;FA;;;WD)", name, false},
        {"the package list and Users", package + L"(A;OICI;FR;;;BU)", name, false},
        {"the package list and Everyone", package + L"(A;OICI;FR;;;WD)", name, false},
        {"the package list and Authenticated Users", package + L"(A;OICI;FA;;;AU)", name, false},
        {"a deny entry", L"O:BAD:P(D;OICI;FA;;;BU)(A;OICI;FA;;;SY)", name, false},
        {"another user owning", L"O:S-1-5-21-1-2-3-4242" + std::wstring(kPackageDirectorySddl), name, false},
        {"SYSTEM owning", L"O:SY" + std::wstring(kPackageDirectorySddl), name, false},
        {"the user owning a list with Users", L"O:" + user + L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BU)", name, false},
        {"no access list at all", L"O:BA", name, false},
        {"an empty access list", L"O:BAD:P", name, false},
        {"another name", package, L"Morvane-Driver-{0BADF00D-0000-4000-8000-000000000001}.old", false},
        {"lower-case prefix", package, L"morvane-driver-{0BADF00D-0000-4000-8000-000000000001}", false},
        {"no GUID", package, L"Morvane-Driver-", false},
    };
    for (const Row& r : rows) {
        CAPTURE(std::string(r.what));
        PSECURITY_DESCRIPTOR sd = nullptr;
        REQUIRE(ConvertStringSecurityDescriptorToSecurityDescriptorW(r.sddl.c_str(), SDDL_REVISION_1, &sd, nullptr));
        PSID owner = nullptr;
        PACL dacl = nullptr;
        BOOL present = FALSE, defaulted = FALSE;
        REQUIRE(GetSecurityDescriptorOwner(sd, &owner, &defaulted));
        REQUIRE(GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted));
        CHECK(is_own_package(r.name, owner, present ? dacl : nullptr) == r.ours);
        LocalFree(sd);
    }
}
