// Entry of the progress-window tests: the tests run in a child of this program that starts on
// a desktop of its own. Under Wine the prefix's default desktop was started by the suite
// without a display, so windows there have no driver; a new desktop is started from the
// child, with the DISPLAY of the test's Xvfb. (On Windows the extra desktop costs nothing.)
#define DOCTEST_CONFIG_IMPLEMENT
#include <windows.h>

#include <doctest.h>

#include <cstdlib>

namespace {
constexpr wchar_t kDesktop[] = L"vesk-progress-test";

int run_on_own_desktop() {
    HDESK desktop = CreateDesktopW(kDesktop, nullptr, nullptr, 0, GENERIC_ALL, nullptr);
    if (!desktop) return 90;
    SetEnvironmentVariableW(L"VESK_ON_TEST_DESKTOP", L"1");
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
    if (!std::getenv("VESK_ON_TEST_DESKTOP")) return run_on_own_desktop();
    doctest::Context context(argc, argv);
    return context.run();
}
