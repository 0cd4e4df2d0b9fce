// The installation run: one at a time per system (the run mutex), directly on the caller's
// thread or behind the progress window.
#pragma once

#include <windows.h>

#include <cstdint>

#include "libvesk.h"

// The four values of one run, owned by the caller of vesk_install_driver until it returns.
struct install_params {
    const vesk_device* device;
    const char* path;      // package directory; null or empty is refused
    const char* inf_name;  // base name
    const vesk_install_options* options;
    HANDLE stop = nullptr;  // signalled: end the run now (progress window's time limit); may be null
};

vesk_result install_driver_internal(const install_params* params);
// The same run for the given machine type (install_driver_internal passes this machine's).
vesk_result install_for_machine(const install_params* params, uint16_t arch);
vesk_result run_with_progress_bar(HWND parent, const install_params* params);
