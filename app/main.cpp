// Setup program entry: refuses what it does not serve, then runs the setup window.
#include <windows.h>

#include "dll_tables.h"
#include "libvesk.h"
#include "setup_window.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
    restrict_dll_search();

    SYSTEM_INFO info = {};
    GetNativeSystemInfo(&info);
    if (info.wProcessorArchitecture != PROCESSOR_ARCHITECTURE_INTEL &&
        info.wProcessorArchitecture != PROCESSOR_ARCHITECTURE_AMD64) {
        MessageBoxW(nullptr, L"This helper supports Windows x86/x64, not Windows on ARM. No drivers were changed.",
                    L"Unsupported architecture", MB_OK | MB_ICONERROR);
        return 1;
    }
    // Loaded and released around the one question: the window's operations load their own.
    bool admin = false;
    {
        Shell32 shell32;
        admin = load_table(shell32, "wWinMain") && shell32.is_user_an_admin();
    }
    if (!admin) {
        MessageBoxW(nullptr, L"Windows administrator permission is required. No drivers were changed.",
                    L"Permission required", MB_OK | MB_ICONERROR);
        return 1;
    }
    HWND window = create_setup_window(instance);
    if (!window) {
        MessageBoxW(nullptr, L"Could not create the driver setup window. No drivers were changed.", L"Startup error",
                    MB_OK | MB_ICONERROR);
        return 1;
    }
    ShowWindow(window, show);
    UpdateWindow(window);
    return run_setup_message_loop(window);
}
