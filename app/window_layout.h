// The setup window's geometry: one table in 96-DPI units, scaled by the window's DPI, and the
// system's message font at that DPI.
#pragma once

#include <windows.h>

#include "setup_window_state.h"

inline constexpr UINT kBaseDpi = 96;
inline constexpr int kStatusIconSize = 16;  // at 96 DPI, beside the status text
inline constexpr int kStatusIconGap = 6;

// One control: class, text, extra style, place at 96 DPI (the specified pixels), control ID.
struct control_row {
    const wchar_t* cls;
    const wchar_t* text;
    DWORD style;
    RECT at96;
    int id;
};
extern const control_row kControls[kControlCount];

int scale_to_dpi(int value, UINT dpi);
// The window's DPI; the system's where the per-window query is missing (before Windows 10 1607).
UINT dpi_of(HWND window);
// The outer size whose client area holds the 96-DPI layout scaled to dpi; at 96 DPI 716 by 510.
SIZE setup_window_size(UINT dpi);
// Makes the fonts for dpi, gives them to the controls and places the controls; with a
// suggested rectangle (WM_DPICHANGED) the window goes there, else it takes its size for dpi.
void apply_dpi(setup_window_state& state, UINT dpi, const RECT* suggested);
