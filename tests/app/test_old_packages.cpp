// Removing earlier runs' package directories, in a scratch folder below TEMP: only the program's
// own directories go, whatever they hold; look-alikes, the current run's directory and anything
// behind a junction stay.
#include <windows.h>
#include <sddl.h>
#include <winioctl.h>

#include <doctest.h>

#include <cstring>
#include <string>
#include <vector>

#include "old_packages.h"

namespace {
constexpr wchar_t kPackageSddl[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";  // as the worker makes them
constexpr wchar_t kOpenToAll[] = L"D:P(A;OICI;FA;;;WD)";

bool exists(const std::wstring& p) { return GetFileAttributesW(p.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool make_dir(const std::wstring& path, const wchar_t* sddl) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (sddl && !ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd, nullptr))
        return false;
    SECURITY_ATTRIBUTES sa = {sizeof sa, sd, FALSE};
    const BOOL made = CreateDirectoryW(path.c_str(), sd ? &sa : nullptr);
    LocalFree(sd);
    return made != FALSE;
}

bool make_file(const std::wstring& path) {
    HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return false;
    CloseHandle(f);
    return true;
}

// A package as extraction leaves it: files at the top and in two subdirectories, one deeper.
bool make_package(const std::wstring& path, const wchar_t* sddl) {
    return make_dir(path, sddl) && make_file(path + L"\\morvane-dfu.inf") && make_dir(path + L"\\x86", nullptr) &&
           make_file(path + L"\\x86\\winusbcoinstaller2.dll") && make_dir(path + L"\\amd64", nullptr) &&
           make_dir(path + L"\\amd64\\deeper", nullptr) && make_file(path + L"\\amd64\\deeper\\x.dll");
}

// A directory junction; false where the system cannot make one (Wine 8).
bool make_junction(const std::wstring& link, const std::wstring& target) {
    if (!CreateDirectoryW(link.c_str(), nullptr)) return false;
    HANDLE h = CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    bool ok = false;
    if (h != INVALID_HANDLE_VALUE) {
        const std::wstring nt = L"\\??\\" + target;
        const WORD name_bytes = static_cast<WORD>(nt.size() * sizeof(wchar_t));
        std::vector<BYTE> buffer(16 + name_bytes + 2 * sizeof(wchar_t));
        const DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
        const WORD fields[6] = {
            static_cast<WORD>(buffer.size() - 8), 0, 0, name_bytes, static_cast<WORD>(name_bytes + sizeof(wchar_t)), 0};
        std::memcpy(buffer.data(), &tag, 4);
        std::memcpy(buffer.data() + 4, fields, sizeof fields);
        std::memcpy(buffer.data() + 16, nt.c_str(), name_bytes);
        DWORD got = 0;
        ok = DeviceIoControl(h, FSCTL_SET_REPARSE_POINT, buffer.data(), static_cast<DWORD>(buffer.size()), nullptr, 0,
                             &got, nullptr) != FALSE;
        CloseHandle(h);
    }
    if (!ok) RemoveDirectoryW(link.c_str());
    return ok;
}

void remove_all(const std::wstring& path) {
    const DWORD a = GetFileAttributesW(path.c_str());
    if (a == INVALID_FILE_ATTRIBUTES) return;
    if ((a & FILE_ATTRIBUTE_DIRECTORY) && !(a & FILE_ATTRIBUTE_REPARSE_POINT)) {
        WIN32_FIND_DATAW d;
        HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &d);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                const std::wstring n = d.cFileName;
                if (n != L"." && n != L"..") remove_all(path + L"\\" + n);
            } while (FindNextFileW(find, &d));
            FindClose(find);
        }
    }
    if (a & FILE_ATTRIBUTE_DIRECTORY)
        RemoveDirectoryW(path.c_str());
    else
        DeleteFileW(path.c_str());
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
    remove_all(parent);
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
    for (const std::wstring& e : earlier) CHECK_FALSE(exists(e));
    CHECK(exists(current + L"\\amd64\\deeper\\x.dll"));
    CHECK(exists(nested + L"\\morvane-dfu.inf"));
    CHECK(exists(open_to_all + L"\\x86\\winusbcoinstaller2.dll"));
    CHECK(exists(plain_file));
    CHECK(exists(longer + L"\\morvane-dfu.inf"));
    CHECK(exists(lower_prefix + L"\\morvane-dfu.inf"));
    CHECK(exists(target + L"\\amd64\\deeper\\x.dll"));
    if (has_junction) CHECK(exists(junction));

    SUBCASE("a second run finds nothing more to remove") { CHECK(remove_earlier_packages(current.c_str()) == 0); }
    remove_all(parent);
}
