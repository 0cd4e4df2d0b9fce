// The setup window: eight controls, the commands, the worker's and the library log's messages.
#include "setup_window.h"

#include <shellapi.h>

#include <cstdlib>
#include <cstring>
#include <iterator>

#include "libvesk.h"
#include "setup_messages.h"
#include "setup_worker.h"

setup_window_state setup_state;

namespace {

constexpr wchar_t kNotice[] =
    L"Windows 10/11 x86/x64 only. Connect Morvane while holding BOOT0.\r\n"
    L"Disconnect other AT32 DFU devices. Only WinUSB for 2E3C:DF11 can be installed.\r\n"
    L"This does not flash firmware or erase your games and saved settings.";
constexpr wchar_t kUpdaterAddress[] = L"" SETUP_UPDATER_ADDRESS;

HWND create_child_control(const wchar_t* cls, const wchar_t* text, DWORD style, int x, int y, int width,
                          int height, int id) {
    HWND control = CreateWindowExW(0, cls, text, WS_CHILD | WS_VISIBLE | style, x, y, width, height,
                                   setup_state.window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                   GetModuleHandleW(nullptr), nullptr);
    if (control) SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(setup_state.font), TRUE);
    return control;
}

struct outcome_row {
    int32_t outcome;
    const wchar_t* status;
};
constexpr outcome_row kOutcomes[] = {
    {SETUP_OUTCOME_CHECKED, L"DFU device checked. Install WinUSB when ready."},
    {SETUP_OUTCOME_ALREADY_WINUSB, L"WinUSB is already installed. Open the updater."},
    {SETUP_OUTCOME_VERIFIED, L"Success: WinUSB binding verified. Reconnect in BOOT0."},
};
constexpr wchar_t kIncompleteStatus[] = L"Driver setup did not complete. Read diagnostics and check the device again.";

LRESULT on_create(HWND window) {
    setup_state.window = window;
    setup_window_handle = window;
    setup_state.font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));

    create_child_control(L"STATIC", L"Morvane Windows Driver Setup", 0, 20, 16, 630, 24, 0);
    create_child_control(L"STATIC", kNotice, 0, 20, 46, 660, 62, 0);
    setup_state.status_line = create_child_control(L"STATIC", L"Ready to check the device.", 0, 20, 116, 660, 24, 0);
    setup_state.check_button =
        create_child_control(L"BUTTON", L"Check device", WS_TABSTOP, 20, 150, 130, 32, IDC_CHECK_DEVICE);
    setup_state.install_button =
        create_child_control(L"BUTTON", L"Install WinUSB", WS_TABSTOP, 162, 150, 150, 32, IDC_INSTALL_WINUSB);
    create_child_control(L"BUTTON", L"Copy diagnostics", WS_TABSTOP, 324, 150, 150, 32, IDC_COPY_DIAGNOSTICS);
    create_child_control(L"BUTTON", L"Open updater", WS_TABSTOP, 486, 150, 150, 32, IDC_OPEN_UPDATER);
    setup_state.pane = create_child_control(
        L"EDIT", L"", WS_BORDER | WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL | ES_READONLY, 20, 200, 660, 262, 0);

    EnableWindow(setup_state.install_button, FALSE);
    SendMessageW(setup_state.pane, EM_SETLIMITTEXT, kDiagnosticPaneLimit, 0);

#if VESK_CARRIES_STANDINS
    append_diagnostic_line(kTestBuildLine);
#endif
    append_diagnostic_line(kVersionLine);
    append_diagnostic_line("AT32 bootloader IDs are shared; this helper cannot uniquely identify the Morvane brand.");
    if (vesk_register_logger(window, WM_SETUP_LIBRARY_LOG, kLoggerBufferBytes) != VESK_OK)
        append_diagnostic_line(
            "Warning: detailed libvesk logging is unavailable; operation errors will still be recorded.");
    vesk_set_log_threshold(VESK_LOG_WARNING);
    // The first check starts as soon as the message loop runs.
    PostMessageW(window, WM_COMMAND, IDC_CHECK_DEVICE, 0);
    return 0;
}

void copy_diagnostics() {
    const int length = GetWindowTextLengthW(setup_state.pane);
    const SIZE_T bytes = (static_cast<SIZE_T>(length < 0 ? 0 : length) + 1) * sizeof(wchar_t);
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, bytes);
    bool opened = false;
    bool handed_over = false;
    if (memory) {
        if (auto* text = static_cast<wchar_t*>(GlobalLock(memory))) {
            text[0] = L'\0';
            GetWindowTextW(setup_state.pane, text, length + 1);
            GlobalUnlock(memory);
            opened = OpenClipboard(setup_state.window) != FALSE;
            if (opened && EmptyClipboard() && SetClipboardData(CF_UNICODETEXT, memory)) handed_over = true;
        }
    }
    if (opened) CloseClipboard();
    if (handed_over) return;  // the memory belongs to the clipboard now
    if (memory) GlobalFree(memory);
    append_diagnostic_line("Could not copy diagnostics to the clipboard. Please try again.");
}

void open_updater() {
    const HINSTANCE result =
        ShellExecuteW(setup_state.window, L"open", kUpdaterAddress, nullptr, nullptr, SW_SHOWNORMAL);
    if (reinterpret_cast<INT_PTR>(result) <= 32)
        append_diagnostic_line("Could not open the browser. Visit " SETUP_UPDATER_ADDRESS " manually.");
}

LRESULT on_command(WORD id) {
    switch (id) {
    case IDC_CHECK_DEVICE:
        start_operation(SETUP_ACTION_CHECK);
        break;
    case IDC_INSTALL_WINUSB:
        if (IsWindowEnabled(setup_state.install_button) && setup_state.checked_device_id[0] != '\0')
            start_operation(SETUP_ACTION_INSTALL);
        break;
    case IDC_COPY_DIAGNOSTICS:
        copy_diagnostics();
        break;
    case IDC_OPEN_UPDATER:
        open_updater();
        break;
    default:
        break;
    }
    return 0;
}

LRESULT on_diagnostic(WPARAM no_copy, char* line) {
    if (no_copy) {
        append_diagnostic_line("Not enough memory to record a diagnostic message.");
        return 0;
    }
    append_diagnostic_line(line);
    std::free(line);
    return 0;
}

LRESULT on_done(setup_request* request) {
    setup_state.busy = false;
    if (!request) return 0;
    std::memcpy(setup_state.checked_device_id, request->device_id, sizeof setup_state.checked_device_id);
    setup_state.checked_device_id[kDeviceIdBytes - 1] = '\0';
    EnableWindow(setup_state.check_button, TRUE);
    EnableWindow(setup_state.install_button, request->outcome == SETUP_OUTCOME_CHECKED);
    const wchar_t* status = kIncompleteStatus;
    for (const outcome_row& row : kOutcomes)
        if (row.outcome == request->outcome) status = row.status;
    set_status_line(status);
    std::free(request);
    return 0;
}

LRESULT on_library_log() {
    char buffer[kLoggerBufferBytes];
    uint32_t size = 0;
    buffer[0] = '\0';
    if (vesk_read_logger(buffer, sizeof buffer, &size) == VESK_OK) {
        buffer[sizeof buffer - 1] = '\0';
        append_diagnostic_line(buffer);
    }
    return 0;
}

LRESULT on_close(HWND window) {
    if (setup_state.busy) {
        MessageBoxW(window, L"Please wait for the current driver operation to finish.", L"Driver setup is busy",
                    MB_OK | MB_ICONINFORMATION);
        return 0;
    }
    DestroyWindow(window);
    return 0;
}

LRESULT on_destroy(HWND window) {
    vesk_unregister_logger(window);
    PostQuitMessage(0);
    return 0;
}

}  // namespace

void set_status_line(const wchar_t* text) { SetWindowTextW(setup_state.status_line, text); }

void append_diagnostic_line(const char* line) {
    static constexpr wchar_t kUndecodable[] = L"[Could not decode diagnostic message]";
    wchar_t text[kPaneLineUnits];
    int units = line ? MultiByteToWideChar(CP_UTF8, 0, line, -1, text, kPaneLineMaxUnits) : 0;
    if (units <= 0) {
        std::memcpy(text, kUndecodable, sizeof kUndecodable);
        units = static_cast<int>(std::size(kUndecodable));
    }
    // units counts the terminator: CR LF take its place.
    text[units - 1] = L'\r';
    text[units] = L'\n';
    text[units + 1] = L'\0';
    SendMessageW(setup_state.pane, EM_SETSEL, static_cast<WPARAM>(-1), -1);
    SendMessageW(setup_state.pane, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text));
    SendMessageW(setup_state.pane, EM_SCROLLCARET, 0, 0);
}

LRESULT CALLBACK setup_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
    case WM_CREATE:
        return on_create(window);
    case WM_COMMAND:
        return on_command(LOWORD(wparam));
    case WM_SETUP_DIAGNOSTIC:
        return on_diagnostic(wparam, reinterpret_cast<char*>(lparam));
    case WM_SETUP_DONE:
        return on_done(reinterpret_cast<setup_request*>(lparam));
    case WM_SETUP_LIBRARY_LOG:
        return on_library_log();
    case WM_CLOSE:
        return on_close(window);
    case WM_DESTROY:
        return on_destroy(window);
    default:
        return DefWindowProcW(window, message, wparam, lparam);
    }
}

HWND create_setup_window(HINSTANCE instance) {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = setup_window_proc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));
    wc.lpszClassName = kSetupWindowClass;
    if (!RegisterClassExW(&wc)) return nullptr;
    return CreateWindowExW(0, kSetupWindowClass, kSetupWindowTitle, WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX,
                           CW_USEDEFAULT, CW_USEDEFAULT, kSetupWindowWidth, kSetupWindowHeight, nullptr, nullptr,
                           instance, nullptr);
}

int run_setup_message_loop(HWND window) {
    MSG msg;
    for (;;) {
        const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0 || got == -1) break;
        if (IsDialogMessageW(window, &msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return 0;
}
