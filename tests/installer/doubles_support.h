// Test-side helpers for the installer's doubles: registering the group policy object double in
// the prefix (for this process's registry view), and reading or resetting what the doubles
// recorded (tests/fixtures/doubles/test_registry.h).
#pragma once

#include <windows.h>

#include <doctest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "test_registry.h"

namespace doubles {

inline constexpr wchar_t kGpoClassKey[] = L"Software\\Classes\\CLSID\\{EA502722-A23D-11D1-A7D3-0000F87571E3}";

// The double's DLL, named by the test's environment (a Windows path).
inline std::wstring env_path(const wchar_t* name) {
    wchar_t value[MAX_PATH * 2] = {};
    const DWORD n = GetEnvironmentVariableW(name, value, MAX_PATH * 2);
    return n > 0 && n < MAX_PATH * 2 ? value : L"";
}

// Registers the group policy object double as an in-process server of the given view
// (0: this process's own) for as long as it lives.
class ScopedGpoDouble {
public:
    explicit ScopedGpoDouble(const std::wstring& dll, REGSAM view = 0) : view_(view) {
        REQUIRE(!dll.empty());
        HKEY key = nullptr;
        const std::wstring server = std::wstring(kGpoClassKey) + L"\\InprocServer32";
        REQUIRE(RegCreateKeyExW(HKEY_LOCAL_MACHINE, server.c_str(), 0, nullptr, 0, KEY_SET_VALUE | view_, nullptr, &key,
                                nullptr) == ERROR_SUCCESS);
        const wchar_t model[] = L"Apartment";
        RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(dll.c_str()),
                       static_cast<DWORD>((dll.size() + 1) * sizeof(wchar_t)));
        RegSetValueExW(key, L"ThreadingModel", 0, REG_SZ, reinterpret_cast<const BYTE*>(model), sizeof model);
        RegCloseKey(key);
    }
    ScopedGpoDouble(const ScopedGpoDouble&) = delete;
    ScopedGpoDouble& operator=(const ScopedGpoDouble&) = delete;
    ~ScopedGpoDouble() {
        HKEY classes = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Classes\\CLSID", 0, KEY_ALL_ACCESS | view_, &classes) ==
            ERROR_SUCCESS) {
            RegDeleteTreeW(classes, L"{EA502722-A23D-11D1-A7D3-0000F87571E3}");
            RegCloseKey(classes);
        }
    }

private:
    REGSAM view_;
};

// Everything the doubles recorded, and the group policy double's machine section, are gone.
inline void reset_records() {
    HKEY root = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software", 0, KEY_ALL_ACCESS | kVeskDoublesView, &root) == ERROR_SUCCESS) {
        RegDeleteTreeW(root, L"VeskTest");
        RegCloseKey(root);
    }
}

inline HKEY open_doubles_key(const wchar_t* path, REGSAM access) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, access | kVeskDoublesView, &key) != ERROR_SUCCESS) return nullptr;
    return key;
}

inline std::vector<std::string> gpo_saves() {
    std::vector<std::string> out;
    HKEY key = open_doubles_key(VESK_GPO_KEY, KEY_QUERY_VALUE);
    if (!key) return out;
    std::vector<char> list(8192, '\0');
    DWORD size = static_cast<DWORD>(list.size() - 2), type = 0;
    if (RegQueryValueExA(key, "Saves", nullptr, &type, reinterpret_cast<BYTE*>(list.data()), &size) == ERROR_SUCCESS)
        for (const char* p = list.data(); *p; p += std::strlen(p) + 1) out.emplace_back(p);
    RegCloseKey(key);
    return out;
}

// The policy key below the double's machine root: created or opened, or null when absent.
inline HKEY policy_key(bool create) {
    HKEY key = nullptr;
    const std::wstring path = std::wstring(VESK_GPO_MACHINE_KEY) + L"\\" + VESK_GPO_POLICY_SUBKEY;
    const LONG r = create ? RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                                            KEY_ALL_ACCESS | kVeskDoublesView, nullptr, &key, nullptr)
                          : RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS | kVeskDoublesView, &key);
    return r == ERROR_SUCCESS ? key : nullptr;
}

// "absent", "no key" or the value in decimal.
inline std::string policy_value() {
    HKEY key = policy_key(false);
    if (!key) return "no key";
    DWORD value = 0, size = sizeof value, type = 0;
    const LONG r =
        RegQueryValueExW(key, L"DisableSystemRestore", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    RegCloseKey(key);
    return r == ERROR_SUCCESS ? std::to_string(value) : "absent";
}

inline void set_policy_value(DWORD value) {
    HKEY key = policy_key(true);
    REQUIRE(key);
    RegSetValueExW(key, L"DisableSystemRestore", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    RegCloseKey(key);
}

}  // namespace doubles
