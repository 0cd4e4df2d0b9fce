// Entry of the setup-window tests: the tests run in a child of this program on a desktop of its
// own. The suite's prefix started its default desktop without a display; a desktop created here
// gets the DISPLAY of the test's Xvfb, so windows, message boxes and the clipboard work. The
// setup program started by a test inherits that desktop.
#define DOCTEST_CONFIG_IMPLEMENT
#include <windows.h>

#include <doctest.h>

#include <cstdlib>

namespace {
constexpr wchar_t kDesktop[] = L"vesk-setup-test";

int run_on_own_desktop() {
    HDESK desktop = CreateDesktopW(kDesktop, nullptr, nullptr, 0, GENERIC_ALL, nullptr);
    if (!desktop) return 90;
    SetEnvironmentVariableW(L"VESK_ON_SETUP_DESKTOP", L"1");
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    si.lpDesktop = const_cast<wchar_t*>(kDesktop);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    for (HANDLE h : {si.hStdInput, si.hStdOutput, si.hStdError})
        if (h && h != INVALID_HANDLE_VALUE) SetHandleInformation(h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(nullptr, GetCommandLineW(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) return 91;
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 92;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    CloseDesktop(desktop);
    return static_cast<int>(code);
}
}  // namespace

int main(int argc, char** argv) {
    if (!std::getenv("VESK_ON_SETUP_DESKTOP")) return run_on_own_desktop();
    doctest::Context context(argc, argv);
    return context.run();
}
