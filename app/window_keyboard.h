// The setup window from the keyboard: the default button per state, the focus kept on a
// control that can take it.
#pragma once

#include <windows.h>

#include "setup_window_state.h"

// The button Enter presses (DM_GETDEFID answers it), drawn as the default one.
void set_default_button(setup_window_state& state, int id);
// Call before disabling controls: the focus moves off them to the next enabled tab stop.
void move_focus_off(const setup_window_state& state, HWND leaving_a, HWND leaving_b);
// WM_ACTIVATE: the focus leaves with the window and comes back with it.
LRESULT on_activate(setup_window_state& state, WPARAM wparam);
// The message loop's keyboard handling (Tab, Enter, mnemonics): true when the key was used.
bool handle_dialog_keys(HWND window, MSG& msg);
