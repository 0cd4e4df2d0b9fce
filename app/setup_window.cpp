// The setup window: nine controls, the commands, the worker's and the library log's messages.
// Its state lives with the window (GWLP_USERDATA) and is touched on the window's thread only.
#include "setup_window_state.h"

#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>

#include <dbt.h>

#include "dll_tables.h"
#include "libvesk.h"
#include "copy_diagnostics.h"
#include "setup_messages.h"
#include "setup_worker.h"
#include "status_line.h"
#include "user_session_open.h"
#include "window_keyboard.h"
#include "window_layout.h"

namespace {

constexpr wchar_t kUpdaterAddress[] = L"" SETUP_UPDATER_ADDRESS;
constexpr wchar_t kConfirmCaption[] = L"Confirm Morvane driver setup";
constexpr wchar_t kConfirmText[] =
    L"Install WinUSB for the connected AT32 DFU bootloader (2E3C:DF11)?\n\n"
    L"This ID is shared with other AT32 boards. Confirm only your Morvane is connected in DFU mode.\n\n"
    L"This does not flash firmware, erase games or change normal controller drivers.";

// Made in table order (the tab order); apply_dpi places them and gives them their fonts.
void create_controls(setup_window_state& state) {
    for (int i = 0; i < kControlCount; ++i) {
        const control_row& row = kControls[i];
        state.controls[i] =
            CreateWindowExW(0, row.cls, row.text, WS_CHILD | WS_VISIBLE | row.style, 0, 0, 0, 0, state.window,
                            reinterpret_cast<HMENU>(static_cast<INT_PTR>(row.id)), GetModuleHandleW(nullptr), nullptr);
    }
    state.status_line = state.controls[kStatusControl];
    state.check_button = state.controls[kCheckControl];
    state.install_button = state.controls[kInstallControl];
    state.pane = state.controls[kPaneControl];
}

struct outcome_row {
    int32_t outcome;
    const wchar_t* status;
    int default_id;  // the button Enter presses afterwards
};
constexpr outcome_row kOutcomes[] = {
    {SETUP_OUTCOME_CHECKED, L"DFU device checked. Install WinUSB when ready.", IDC_INSTALL_WINUSB},
    {SETUP_OUTCOME_ALREADY_WINUSB, L"WinUSB is already installed. Open the updater.", IDC_OPEN_UPDATER},
    {SETUP_OUTCOME_VERIFIED, L"Success: WinUSB binding verified. Reconnect in BOOT0.", IDC_OPEN_UPDATER},
};
constexpr wchar_t kIncompleteStatus[] = L"Driver setup did not complete. Read diagnostics and check the device again.";

// Asks for confirmation (install), marks the window busy and starts the worker.
void start_operation(setup_window_state& state, int32_t action) {
    if (state.busy) return;
    const bool install = action == SETUP_ACTION_INSTALL;
    if (install) {
        state.asking = true;  // device news meanwhile waits, as during an operation
        const int answer =
            MessageBoxW(state.window, kConfirmText, kConfirmCaption, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2);
        state.asking = false;
        if (answer != IDYES) {
            if (state.check_when_idle && !state.busy) {
                state.check_when_idle = false;
                start_operation(state, SETUP_ACTION_CHECK);
            }
            return;
        }
    }
    // The box ran a message loop: an operation may have started meanwhile, and two never overlap.
    if (state.busy) return;
    auto* request = static_cast<setup_request*>(std::calloc(1, sizeof(setup_request)));
    if (!request) {
        append_diagnostic_line(state.window, "Not enough memory to start the operation.");
        return;
    }
    request->action = action;
    request->window = state.window;
    request->signing_key = state.signing_key.get();
    std::memcpy(request->device_id, state.checked_device_id, sizeof request->device_id);

    state.busy = true;
    move_focus_off(state, state.check_button, state.install_button);
    EnableWindow(state.check_button, FALSE);
    EnableWindow(state.install_button, FALSE);
    if (install) {
        set_status(state, L"Installing and verifying WinUSB...", status_kind::none);
        show_taskbar_busy(state.taskbar, state.window);
    } else {
        set_status(state, L"Checking the connected DFU device...", status_kind::none);
    }

    HANDLE thread = CreateThread(nullptr, 0, setup_worker, request, 0, nullptr);
    if (!thread) {
        state.busy = false;
        std::free(request);
        if (install) end_taskbar_busy(state.taskbar, nullptr);
        EnableWindow(state.check_button, TRUE);
        set_default_button(state, IDC_CHECK_DEVICE);
        append_diagnostic_line(state.window, "Could not start the device worker. Check device to retry.");
        set_status(state, L"Operation could not start. See diagnostics.", status_kind::error);
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
    state.dpi = dpi_of(window);
    create_controls(state);
    apply_dpi(state, state.dpi, nullptr);
    set_status(state, L"Ready to check the device.", status_kind::none);
    set_default_button(state, IDC_CHECK_DEVICE);

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
    const bool install = request->action == SETUP_ACTION_INSTALL;
    keep_key_for_next_install(state.signing_key, state.checked_device_id, request->action, request->outcome,
                              request->device_id);
    std::memcpy(state.checked_device_id, request->device_id, sizeof state.checked_device_id);
    state.checked_device_id[kDeviceIdBytes - 1] = '\0';
    EnableWindow(state.check_button, TRUE);
    EnableWindow(state.install_button, request->outcome == SETUP_OUTCOME_CHECKED);
    const wchar_t* status = kIncompleteStatus;
    status_kind kind = request->no_device ? status_kind::warning : status_kind::error;
    int default_id = IDC_CHECK_DEVICE;
    for (const outcome_row& row : kOutcomes) {
        if (row.outcome != request->outcome) continue;
        status = row.status;
        kind = status_kind::information;
        default_id = row.default_id;
    }
    set_default_button(state, default_id);
    set_status(state, status, kind);
    const bool verified = request->outcome == SETUP_OUTCOME_VERIFIED;
    std::free(request);
    if (install) end_taskbar_busy(state.taskbar, state.window);
    // Devices that changed meanwhile are checked now; a verified installation has just seen its
    // device (its own re-binding is what changed) and keeps its outcome on the screen.
    if (state.check_when_idle) {
        state.check_when_idle = false;
        if (!(install && verified)) start_operation(state, SETUP_ACTION_CHECK);
    }
    return 0;
}

// Windows tells every top-level window that devices came or went; a burst of such news gives
// one check, kDeviceSettleMs after the last of it.
LRESULT on_device_change(const setup_window_state& state, WPARAM event) {
    if (event == DBT_DEVNODES_CHANGED) SetTimer(state.window, kDeviceChangeTimer, kDeviceSettleMs, nullptr);
    return TRUE;
}

LRESULT on_timer(setup_window_state& state, UINT_PTR id) {
    if (id == kStatusNoticeTimer) {
        restore_status(state);
    } else if (id == kDeviceChangeTimer) {
        KillTimer(state.window, kDeviceChangeTimer);
        if (state.busy || state.asking)
            state.check_when_idle = true;
        else
            start_operation(state, SETUP_ACTION_CHECK);  // a check, never an installation
    }
    return 0;
}

// The statics show the window's own background, whatever the theme; the pane keeps its own look.
LRESULT on_ctlcolor_static(const setup_window_state& state, HDC dc, HWND control) {
    if (control == state.pane)
        return DefWindowProcW(state.window, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                              reinterpret_cast<LPARAM>(control));
    SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
    SetBkColor(dc, GetSysColor(COLOR_WINDOW));
    return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
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
        case WM_DEVICECHANGE:
            return on_device_change(*state, wparam);
        case WM_TIMER:
            return on_timer(*state, wparam);
        case WM_ACTIVATE:
            return on_activate(*state, wparam);
        case WM_CTLCOLORSTATIC:
            return on_ctlcolor_static(*state, reinterpret_cast<HDC>(wparam), reinterpret_cast<HWND>(lparam));
        case WM_DRAWITEM:
            if (wparam == 0 && reinterpret_cast<const DRAWITEMSTRUCT*>(lparam)->hwndItem == state->status_line)
                draw_status_line(*state, *reinterpret_cast<const DRAWITEMSTRUCT*>(lparam));
            return TRUE;
        case WM_DPICHANGED:
            apply_dpi(*state, LOWORD(wparam), reinterpret_cast<const RECT*>(lparam));
            return 0;
        case DM_GETDEFID:
            return MAKELRESULT(state->default_id, DC_HASDEFID);
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
    wc.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(kSetupIconId));
    wc.hIconSm =
        static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(kSetupIconId), IMAGE_ICON,
                                      GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), LR_SHARED));
    if (!RegisterClassExW(&wc)) return nullptr;
    // Made at the system's DPI; WM_CREATE sizes it for the monitor it lands on.
    const SIZE size = setup_window_size(dpi_of(nullptr));
    return CreateWindowExW(0, kSetupWindowClass, kSetupWindowTitle, WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX,
                           CW_USEDEFAULT, CW_USEDEFAULT, size.cx, size.cy, nullptr, nullptr, instance, nullptr);
}

int run_setup_message_loop(HWND window) {
    MSG msg;
    for (;;) {
        const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0 || got == -1) break;
        if (handle_dialog_keys(window, msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return 0;
}
