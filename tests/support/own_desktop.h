// Under Wine a test prefix's default desktop was started without a display, so windows there
// have no driver. A desktop created by a program that has DISPLAY set gets that display: the
// program runs itself again, as a child on a new desktop of its own. (On Windows the extra
// desktop costs nothing.)
#pragma once

#include <windows.h>

#include <string>

namespace gui_desktop {

// Starts this program's command line again on a new desktop, with the environment variable
// `variable` set to `value` (removed where value is null) so the child knows it is there; the
// child's exit code, or 90-92 when the desktop or the child could not be had.
inline int run_again_on_own_desktop(const wchar_t* variable, const wchar_t* value) {
    // One name per process: tests that run side by side must not share a desktop and its display.
    const std::wstring name = L"vesk-test-" + std::to_wstring(GetCurrentProcessId());
    HDESK desktop = CreateDesktopW(name.c_str(), nullptr, nullptr, 0, GENERIC_ALL, nullptr);
    if (!desktop) return 90;
    SetEnvironmentVariableW(variable, value);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    si.lpDesktop = const_cast<wchar_t*>(name.c_str());
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    for (HANDLE h : {si.hStdInput, si.hStdOutput, si.hStdError})
        if (h && h != INVALID_HANDLE_VALUE) SetHandleInformation(h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(nullptr, GetCommandLineW(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
        CloseDesktop(desktop);
        return 91;
    }
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 92;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    CloseDesktop(desktop);
    return static_cast<int>(code);
}

}  // namespace gui_desktop
