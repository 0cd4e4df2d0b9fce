// The setup window's state: one record per window, kept in its GWLP_USERDATA.
#pragma once

#include <windows.h>

#include <cstdint>

#include "key_ahead.h"
#include "owners.h"
#include "setup_window.h"
#include "taskbar_button.h"

// What the status line's icon says: nothing (start, busy), ready or success, no device, failure.
enum class status_kind { none, information, warning, error };

// The controls, in creation (and tab) order: index into setup_window_state::controls.
enum control_index : int {
    kTitleControl,
    kNoticeControl,
    kStatusControl,
    kCheckControl,
    kInstallControl,
    kCopyControl,
    kUpdaterControl,
    kPaneLabelControl,
    kPaneControl,
    kControlCount
};

// One window's state: made at WM_NCCREATE, kept in its GWLP_USERDATA, freed at WM_NCDESTROY;
// touched on the window's thread only.
struct setup_window_state {
    HWND window = nullptr;
    HWND controls[kControlCount] = {};
    HWND status_line = nullptr;
    HWND check_button = nullptr;
    HWND install_button = nullptr;
    HWND pane = nullptr;
    UINT dpi = 96;
    UniqueFont font;       // the system's message font at the window's DPI
    UniqueFont bold_font;  // the same, bold: the status line
    bool busy = false;
    bool asking = false;           // the install confirmation is up
    bool check_when_idle = false;  // the devices changed while busy or asking
    int default_id = IDC_CHECK_DEVICE;
    taskbar_button taskbar;
    HWND focus = nullptr;         // the control that had the focus when the window was last deactivated
    const wchar_t* status = L"";  // the status line's own text, back after a passing confirmation
    status_kind kind = status_kind::none;
    status_kind shown_kind = status_kind::none;
    char checked_device_id[kDeviceIdBytes] = {};
    unique_signing_key signing_key;  // for the next install; lent to its worker
};
