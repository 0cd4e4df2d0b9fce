// The setup window: eight controls, the commands, the worker's and the library log's messages.
// Its state lives with the window (GWLP_USERDATA) and is touched on the window's thread only.
#include "setup_window.h"

#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>

#include "dll_tables.h"
#include "libvesk.h"
#include "setup_messages.h"
#include "setup_worker.h"
#include "user_session_open.h"

namespace {

constexpr wchar_t kNotice[] =
    L"Windows 10/11 x86/x64 only. Connect Morvane while holding BOOT0.\r\n"
    L"Disconnect other AT32 DFU devices. Only WinUSB for 2E3C:DF11 can be installed.\r\n"
    L"This does not flash firmware or erase your games and saved settings.";
constexpr wchar_t kUpdaterAddress[] = L"" SETUP_UPDATER_ADDRESS;
constexpr wchar_t kConfirmCaption[] = L"Confirm Morvane driver setup";
constexpr wchar_t kConfirmText[] =
    L"Install WinUSB for the connected AT32 DFU bootloader (2E3C:DF11)?\n\n"
    L"This ID is shared with other AT32 boards. Confirm only your Morvane is connected in DFU mode.\n\n"
    L"This does not flash firmware, erase games or change normal controller drivers.";

// The controls in creation (and tab) order, with their geometry; slot: where the state keeps it.
struct control_row {
    const wchar_t* cls;
    const wchar_t* text;
    DWORD style;
    int x, y, width, height, id;
    HWND setup_window_state::*slot;
};
constexpr DWORD kPaneStyle = WS_BORDER | WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL | ES_READONLY;
constexpr control_row kControls[] = {
    {L"STATIC", L"Morvane Windows Driver Setup", 0, 20, 16, 630, 24, 0, nullptr},
    {L"STATIC", kNotice, 0, 20, 46, 660, 62, 0, nullptr},
    {L"STATIC", L"Ready to check the device.", 0, 20, 116, 660, 24, 0, &setup_window_state::status_line},
    {L"BUTTON", L"Check device", WS_TABSTOP, 20, 150, 130, 32, IDC_CHECK_DEVICE, &setup_window_state::check_button},
    {L"BUTTON", L"Install WinUSB", WS_TABSTOP, 162, 150, 150, 32, IDC_INSTALL_WINUSB,
     &setup_window_state::install_button},
    {L"BUTTON", L"Copy diagnostics", WS_TABSTOP, 324, 150, 150, 32, IDC_COPY_DIAGNOSTICS, nullptr},
    {L"BUTTON", L"Open updater", WS_TABSTOP, 486, 150, 150, 32, IDC_OPEN_UPDATER, nullptr},
    {L"EDIT", L"", kPaneStyle, 20, 200, 660, 262, 0, &setup_window_state::pane},
};

void create_controls(setup_window_state& state) {
    for (const control_row& row : kControls) {
        HWND control = CreateWindowExW(0, row.cls, row.text, WS_CHILD | WS_VISIBLE | row.style, row.x, row.y, row.width,
                                       row.height, state.window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(row.id)),
                                       GetModuleHandleW(nullptr), nullptr);
        if (control) SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(state.font), TRUE);
        if (row.slot) state.*row.slot = control;
    }
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

void set_status(const setup_window_state& state, const wchar_t* text) { SetWindowTextW(state.status_line, text); }

// Asks for confirmation (install), marks the window busy and starts the worker.
void start_operation(setup_window_state& state, int32_t action) {
    if (state.busy) return;
    const bool install = action == SETUP_ACTION_INSTALL;
    if (install &&
        MessageBoxW(state.window, kConfirmText, kConfirmCaption, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) != IDYES)
        return;
    // The box ran a message loop: an operation may have started meanwhile, and two never overlap.
    if (state.busy) return;
    auto* request = static_cast<setup_request*>(std::calloc(1, sizeof(setup_request)));
    if (!request) {
        append_diagnostic_line(state.window, "Not enough memory to start the operation.");
        return;
    }
    request->action = action;
    request->window = state.window;
    std::memcpy(request->device_id, state.checked_device_id, sizeof request->device_id);

    state.busy = true;
    EnableWindow(state.check_button, FALSE);
    EnableWindow(state.install_button, FALSE);
    set_status(state, install ? L"Installing and verifying WinUSB..." : L"Checking the connected DFU device...");

    HANDLE thread = CreateThread(nullptr, 0, setup_worker, request, 0, nullptr);
    if (!thread) {
        state.busy = false;
        std::free(request);
        EnableWindow(state.check_button, TRUE);
        append_diagnostic_line(state.window, "Could not start the device worker. Check device to retry.");
        set_status(state, L"Operation could not start. See diagnostics.");
        return;
    }
    CloseHandle(thread);
}

// The state is made before any other message that needs it and freed with the window.
LRESULT on_nccreate(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    auto state = std::make_unique<setup_window_state>();
    state->window = window;
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(state.release()));
    return DefWindowProcW(window, message, wparam, lparam);
}

LRESULT on_ncdestroy(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    std::unique_ptr<setup_window_state> state(setup_window_state_of(window));
    SetWindowLongPtrW(window, GWLP_USERDATA, 0);
    return DefWindowProcW(window, message, wparam, lparam);
}

LRESULT on_create(setup_window_state& state) {
    const HWND window = state.window;
    setup_window_handle = window;
    state.font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    create_controls(state);

    EnableWindow(state.install_button, FALSE);
    SendMessageW(state.pane, EM_SETLIMITTEXT, kDiagnosticPaneLimit, 0);

#if VESK_CARRIES_STANDINS
    append_diagnostic_line(window, kTestBuildLine);
#endif
    append_diagnostic_line(window, kVersionLine);
    append_diagnostic_line(window,
                           "AT32 bootloader IDs are shared; this helper cannot uniquely identify the Morvane brand.");
    if (vesk_register_logger(window, WM_SETUP_LIBRARY_LOG, kLoggerBufferBytes) != VESK_OK)
        append_diagnostic_line(
            window, "Warning: detailed libvesk logging is unavailable; operation errors will still be recorded.");
    vesk_set_log_threshold(VESK_LOG_WARNING);
    // The first check starts as soon as the message loop runs.
    PostMessageW(window, WM_COMMAND, IDC_CHECK_DEVICE, 0);
    return 0;
}

void copy_diagnostics(const setup_window_state& state) {
    const int length = GetWindowTextLengthW(state.pane);
    const SIZE_T bytes = (static_cast<SIZE_T>(length < 0 ? 0 : length) + 1) * sizeof(wchar_t);
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, bytes);
    bool opened = false;
    bool handed_over = false;
    if (memory) {
        if (auto* text = static_cast<wchar_t*>(GlobalLock(memory))) {
            text[0] = L'\0';
            GetWindowTextW(state.pane, text, length + 1);
            GlobalUnlock(memory);
            opened = OpenClipboard(state.window) != FALSE;
            if (opened && EmptyClipboard() && SetClipboardData(CF_UNICODETEXT, memory)) handed_over = true;
        }
    }
    if (opened) CloseClipboard();
    if (handed_over) return;  // the memory belongs to the clipboard now
    if (memory) GlobalFree(memory);
    append_diagnostic_line(state.window, "Could not copy diagnostics to the clipboard. Please try again.");
}

// Through the desktop's shell, as the signed-in user: the handler of the address is the user's
// choice and must not run elevated. Without that shell nothing is started.
void open_updater(const setup_window_state& state) {
    if (!open_in_user_session(kUpdaterAddress))
        append_diagnostic_line(state.window, "Could not open the browser. Visit " SETUP_UPDATER_ADDRESS " manually.");
}

LRESULT on_command(setup_window_state& state, WORD id) {
    switch (id) {
        case IDC_CHECK_DEVICE:
            start_operation(state, SETUP_ACTION_CHECK);
            break;
        case IDC_INSTALL_WINUSB:
            if (IsWindowEnabled(state.install_button) && state.checked_device_id[0] != '\0')
                start_operation(state, SETUP_ACTION_INSTALL);
            break;
        case IDC_COPY_DIAGNOSTICS:
            copy_diagnostics(state);
            break;
        case IDC_OPEN_UPDATER:
            open_updater(state);
            break;
        default:
            break;
    }
    return 0;
}

LRESULT on_diagnostic(HWND window, WPARAM no_copy, char* line) {
    if (no_copy) {
        append_diagnostic_line(window, "Not enough memory to record a diagnostic message.");
        return 0;
    }
    append_diagnostic_line(window, line);
    std::free(line);
    return 0;
}

LRESULT on_done(setup_window_state& state, setup_request* request) {
    state.busy = false;
    if (!request) return 0;
    std::memcpy(state.checked_device_id, request->device_id, sizeof state.checked_device_id);
    state.checked_device_id[kDeviceIdBytes - 1] = '\0';
    EnableWindow(state.check_button, TRUE);
    EnableWindow(state.install_button, request->outcome == SETUP_OUTCOME_CHECKED);
    const wchar_t* status = kIncompleteStatus;
    for (const outcome_row& row : kOutcomes)
        if (row.outcome == request->outcome) status = row.status;
    set_status(state, status);
    std::free(request);
    return 0;
}

LRESULT on_library_log(HWND window) {
    char buffer[kLoggerBufferBytes];
    uint32_t size = 0;
    buffer[0] = '\0';
    if (vesk_read_logger(buffer, sizeof buffer, &size) == VESK_OK) {
        buffer[sizeof buffer - 1] = '\0';
        append_diagnostic_line(window, buffer);
    }
    return 0;
}

LRESULT on_close(const setup_window_state& state) {
    const HWND window = state.window;
    if (state.busy) {
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

setup_window_state* setup_window_state_of(HWND window) {
    return reinterpret_cast<setup_window_state*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

void append_diagnostic_line(HWND window, const char* line) {
    const setup_window_state* state = setup_window_state_of(window);
    if (!state) return;
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
    SendMessageW(state->pane, EM_SETSEL, static_cast<WPARAM>(-1), -1);
    SendMessageW(state->pane, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text));
    SendMessageW(state->pane, EM_SCROLLCARET, 0, 0);
}

LRESULT CALLBACK setup_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_NCCREATE) return on_nccreate(window, message, wparam, lparam);
    setup_window_state* state = setup_window_state_of(window);
    // A few messages come before WM_NCCREATE; none needs the state.
    if (!state) return DefWindowProcW(window, message, wparam, lparam);
    switch (message) {
        case WM_NCDESTROY:
            return on_ncdestroy(window, message, wparam, lparam);
        case WM_CREATE:
            return on_create(*state);
        case WM_COMMAND:
            return on_command(*state, LOWORD(wparam));
        case WM_SETUP_DIAGNOSTIC:
            return on_diagnostic(window, wparam, reinterpret_cast<char*>(lparam));
        case WM_SETUP_DONE:
            return on_done(*state, reinterpret_cast<setup_request*>(lparam));
        case WM_SETUP_LIBRARY_LOG:
            return on_library_log(window);
        case WM_CLOSE:
            return on_close(*state);
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
