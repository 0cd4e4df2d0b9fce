#pragma once

#include "libvesk.h"

// Scans (all list options set) and picks the one supported device. On true *device points into
// *list; on false *device is null and every reason has been posted. The caller frees *list.
bool find_supported_device(vesk_device** list, vesk_device** device);
