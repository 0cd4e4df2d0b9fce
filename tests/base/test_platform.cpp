// Windows release and machine detection. Other releases are simulated per child program with
// Wine's settings: a per-program version (AppDefaults) for Windows 7 and Vista, and the
// registry's build number for Windows 11. Each change is undone before the test ends.
#include <windows.h>

#include <doctest.h>

#include <string>

#include "platform.h"

namespace {
const wchar_t kCurrentVersion[] = L"Software\\Microsoft\\Windows NT\\CurrentVersion";

std::wstring module_dir() {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring p(path);
    return p.substr(0, p.rfind(L'\\'));
}

// Runs version_probe.exe and returns its output: log lines, then the result line.
std::string run_probe() {
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    HANDLE read = nullptr, write = nullptr;
    REQUIRE(CreatePipe(&read, &write, &sa, 0));
    SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = write;
    si.hStdError = write;
    PROCESS_INFORMATION pi = {};
    std::wstring cmd = L"\"" + module_dir() + L"\\version_probe.exe\"";
    REQUIRE(CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi));
    CloseHandle(write);
    std::string out;
    char buf[256];
    DWORD n = 0;
    while (ReadFile(read, buf, sizeof buf, &n, nullptr) && n > 0) out.append(buf, n);
    WaitForSingleObject(pi.hProcess, 10000);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    CloseHandle(read);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

std::string last_line(const std::string& out) {
    const std::size_t nl = out.find_last_of('\n');
    std::string line = nl == std::string::npos ? out : out.substr(nl + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

// Sets a registry string for the life of the object, then restores or deletes it.
struct ScopedValue {
    HKEY root;
    std::wstring key, name;
    REGSAM view;
    bool had = false;
    std::wstring old;
    ScopedValue(HKEY r, const wchar_t* k, const wchar_t* n, const wchar_t* value, REGSAM v = 0)
        : root(r), key(k), name(n), view(v) {
        HKEY h = nullptr;
        REQUIRE(RegCreateKeyExW(root, key.c_str(), 0, nullptr, 0, KEY_READ | KEY_WRITE | view, nullptr, &h, nullptr) ==
                ERROR_SUCCESS);
        wchar_t buf[256];
        DWORD size = sizeof buf, type = 0;
        if (RegQueryValueExW(h, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buf), &size) == ERROR_SUCCESS &&
            type == REG_SZ) {
            had = true;
            old.assign(buf, size / sizeof(wchar_t));
            if (!old.empty() && old.back() == L'\0') old.pop_back();
        }
        set(h, value);
        RegCloseKey(h);
    }
    void set(HKEY h, const std::wstring& v) {
        RegSetValueExW(h, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(v.c_str()),
                       static_cast<DWORD>((v.size() + 1) * sizeof(wchar_t)));
    }
    ~ScopedValue() {
        HKEY h = nullptr;
        if (RegOpenKeyExW(root, key.c_str(), 0, KEY_WRITE | view, &h) != ERROR_SUCCESS) return;
        if (had)
            set(h, old);
        else
            RegDeleteValueW(h, name.c_str());
        RegCloseKey(h);
    }
};
}  // namespace

TEST_CASE("this prefix is Windows 10 build 19045, 64-bit") {
    detect_windows_version();
    CHECK(windows_version.load() == kWindows10);
    CHECK(windows_version_supported("test"));
    // IsWow64Process2 exists here in both bitnesses, so no guess (and no warning) is needed.
    CHECK(GetPlatformArch() == IMAGE_FILE_MACHINE_AMD64);
    CHECK(run_probe() == "version=0xA0 arch=0x8664 supported=1");
}

TEST_CASE("other releases give their codes") {
    struct Row {
        const wchar_t* app_version;  // Wine's per-program version, or null
        const wchar_t* build;        // registry build number, or null
        const char* want;
    };
    // (Windows 8.1 is left out: a program that declares only Windows 10 support is told 6.2
    // by Wine's version calls and its VerifyVersionInfo alike.)
    static const Row rows[] = {
        {nullptr, L"22000", "version=0xB0 arch=0x8664 supported=1"},  // Windows 11
        {nullptr, L"20348", "version=0xB0 arch=0x8664 supported=1"},  // Server 2022 has the same rule
        {nullptr, L"19999", "version=0xA0 arch=0x8664 supported=1"},
        {L"win7", nullptr, "version=0x61 arch=0x8664 supported=1"},
        {L"vista", nullptr, "version=0x60 arch=0x8664 supported=0"},
    };
    for (const Row& r : rows) {
        CAPTURE(r.want);
        if (r.app_version) {
            ScopedValue v(HKEY_CURRENT_USER, L"Software\\Wine\\AppDefaults\\version_probe.exe", L"Version",
                          r.app_version);
            const std::string out = run_probe();
            CHECK(last_line(out) == r.want);
            // Below Windows 7 the refusal is logged under the caller's label.
            const bool refused =
                out.find("libvesk:error [version_probe] This version of Windows is no longer supported") !=
                std::string::npos;
            CHECK(refused == (std::string(r.want).find("supported=0") != std::string::npos));
        } else {
            ScopedValue b32(HKEY_LOCAL_MACHINE, kCurrentVersion, L"CurrentBuildNumber", r.build, KEY_WOW64_32KEY);
            ScopedValue b64(HKEY_LOCAL_MACHINE, kCurrentVersion, L"CurrentBuildNumber", r.build, KEY_WOW64_64KEY);
            ScopedValue c32(HKEY_LOCAL_MACHINE, kCurrentVersion, L"CurrentBuild", r.build, KEY_WOW64_32KEY);
            ScopedValue c64(HKEY_LOCAL_MACHINE, kCurrentVersion, L"CurrentBuild", r.build, KEY_WOW64_64KEY);
            CHECK(last_line(run_probe()) == r.want);
        }
    }
}
