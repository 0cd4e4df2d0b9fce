// Messages posted to the setup window by its worker and by the library log.
#pragma once

#include <windows.h>

inline constexpr UINT WM_SETUP_DIAGNOSTIC = WM_APP + 1;   // wParam 0 + heap line, or wParam 1 + null
inline constexpr UINT WM_SETUP_DONE = WM_APP + 2;         // lParam: the finished setup_request
inline constexpr UINT WM_SETUP_LIBRARY_LOG = WM_APP + 3;  // one library log line to read

// The window that post_diagnostic and the worker post to; set by the window when it is created.
extern HWND setup_window_handle;
