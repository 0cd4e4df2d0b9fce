// The taskbar button during an installation: indeterminate progress while it runs, and a flash
// at its end when the window is not in front.
#pragma once

#include <windows.h>
#include <shobjidl.h>

#include "dll_tables.h"

struct taskbar_button {
    Ole32 ole32;
    bool com_initialized = false;
    UniqueCom<ITaskbarList3> list;
};

// Both do nothing where the shell offers no taskbar list.
void show_taskbar_busy(taskbar_button& button, HWND window);
void end_taskbar_busy(taskbar_button& button, HWND window);
