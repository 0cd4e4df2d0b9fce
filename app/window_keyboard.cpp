#include "window_keyboard.h"

namespace {
constexpr int kPushButtons[] = {IDC_CHECK_DEVICE, IDC_INSTALL_WINUSB, IDC_COPY_DIAGNOSTICS, IDC_OPEN_UPDATER};
}  // namespace

// The button Enter presses (DM_GETDEFID answers it), drawn as the default one.
void set_default_button(setup_window_state& state, int id) {
    state.default_id = id;
    for (int button : kPushButtons)
        SendMessageW(GetDlgItem(state.window, button), BM_SETSTYLE, button == id ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON,
                     TRUE);
}

// Before the controls that hold the focus are disabled, it goes to the next enabled tab stop
// that stays enabled, so the keyboard never loses the window.
void move_focus_off(const setup_window_state& state, HWND leaving_a, HWND leaving_b) {
    const HWND focus = GetFocus();
    if (focus != leaving_a && focus != leaving_b) return;
    HWND next = focus;
    for (int i = 0; i < kControlCount; ++i) {
        next = GetNextDlgTabItem(state.window, next, FALSE);
        if (next && next != leaving_a && next != leaving_b) {
            SetFocus(next);
            return;
        }
    }
}

// The focus leaves with the window and comes back with it, to a control that can take it.
LRESULT on_activate(setup_window_state& state, WPARAM wparam) {
    if (LOWORD(wparam) == WA_INACTIVE) {
        const HWND focus = GetFocus();
        if (focus && IsChild(state.window, focus)) state.focus = focus;
        return 0;
    }
    HWND target = state.focus;
    if (!target || !IsWindowEnabled(target) || !IsChild(state.window, target))
        target = GetNextDlgTabItem(state.window, nullptr, FALSE);
    if (target) SetFocus(target);
    return 0;
}

bool handle_dialog_keys(HWND window, MSG& msg) {
    // A multi-line edit asks for every key, Tab too; the pane is read-only, so Tab (without
    // Ctrl) leaves it as it leaves every other control.
    const setup_window_state* state = setup_window_state_of(window);
    if (state && msg.hwnd == state->pane && msg.message == WM_KEYDOWN && msg.wParam == VK_TAB &&
        GetKeyState(VK_CONTROL) >= 0) {
        const bool back = GetKeyState(VK_SHIFT) < 0;
        if (HWND next = GetNextDlgTabItem(window, state->pane, back ? TRUE : FALSE)) SetFocus(next);
        return true;
    }
    return IsDialogMessageW(window, &msg) != FALSE;
}
