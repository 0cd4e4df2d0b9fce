// Which driver kinds this build prepares, and the co-installer's file version and date that
// the generated INF declares.
#pragma once

#include <windows.h>

#include "libvesk.h"

constexpr int kVersionCacheSlots = 4;  // kinds 0 to 3
// Filled by get_version_info; vesk_prepare_driver passes a slot itself as the record.
extern VS_FIXEDFILEINFO version_cache[kVersionCacheSlots];

vesk_result get_version_info(int kind, VS_FIXEDFILEINFO* info);
