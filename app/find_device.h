#pragma once

#include "libvesk.h"

// Scans (all list options set) and picks the one supported device. On true *device points into
// *list; on false *device is null and every reason has been posted. The caller frees *list.
// none_connected (may be null) says whether the scan found no bootloader at all (no USB device
// at all included).
bool find_supported_device(vesk_device** list, vesk_device** device, bool* none_connected = nullptr);
// The choice alone, over a list made elsewhere (find_supported_device's steps after its scan):
// posts the same reasons. On true *device points into list.
bool choose_supported_device(vesk_device* list, vesk_device** device, bool* none_connected = nullptr);
