// Runs one test case of this program again in children started with the display at 96, 144
// and 192 DPI: Wine reads the display's DPI (LogPixels) only when a process starts. The child
// finds its DPI in VESK_LAYOUT_DPI; the earlier LogPixels comes back afterwards.
#pragma once

#include <windows.h>

#include <doctest.h>

#include <string>

namespace display_dpi {

inline void run_at_each_dpi(const wchar_t* test_case) {
    HKEY desktop = nullptr;
    REQUIRE(RegCreateKeyExW(HKEY_CURRENT_USER, L"Control Panel\\Desktop", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &desktop, nullptr) == ERROR_SUCCESS);
    DWORD old = 0, old_size = sizeof old;
    const bool had = RegQueryValueExW(desktop, L"LogPixels", nullptr, nullptr, reinterpret_cast<BYTE*>(&old),
                                      &old_size) == ERROR_SUCCESS;
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    for (DWORD dpi : {96u, 144u, 192u}) {
        CAPTURE(dpi);
        RegSetValueExW(desktop, L"LogPixels", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dpi), sizeof dpi);
        SetEnvironmentVariableW(L"VESK_LAYOUT_DPI", std::to_wstring(dpi).c_str());
        std::wstring command = L"\"" + std::wstring(self) + L"\" --no-skip \"-tc=" + test_case + L"\"";
        STARTUPINFOW si = {};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi = {};
        REQUIRE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
        CHECK(WaitForSingleObject(pi.hProcess, 120000) == WAIT_OBJECT_0);
        DWORD code = 1;
        GetExitCodeProcess(pi.hProcess, &code);
        CHECK(code == 0);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    SetEnvironmentVariableW(L"VESK_LAYOUT_DPI", nullptr);
    if (had)
        RegSetValueExW(desktop, L"LogPixels", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&old), sizeof old);
    else
        RegDeleteValueW(desktop, L"LogPixels");
    RegCloseKey(desktop);
}

}  // namespace display_dpi
