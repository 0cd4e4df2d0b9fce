// The status line: bold text with the system's icon for the outcome beside it, and passing
// notices (such as "copied") after which the status comes back.
#pragma once

#include <windows.h>

#include "setup_window_state.h"

inline constexpr UINT_PTR kStatusNoticeTimer = 2;

// Sets the status line's own text and icon (any passing notice ends).
void set_status(setup_window_state& state, const wchar_t* text, status_kind kind);
// Shows text for kCopiedNoticeMs, then the status again.
void show_status_notice(setup_window_state& state, const wchar_t* text, status_kind kind);
// The notice's timer: the status comes back.
void restore_status(setup_window_state& state);
// WM_DRAWITEM of the status line.
void draw_status_line(const setup_window_state& state, const DRAWITEMSTRUCT& item);
