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
            SendMessageW(state.window, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(next), TRUE);
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
