// Filling the template fields of the token table for one preparation.
#pragma once

#include "dll_tables.h"
#include "libvesk.h"

// Every template field from the device, the options and the kind's version record: the INF and
// catalog names from inf_base, the description, hardware ID, interface GUID (none with
// compatible-ID matching, the caller's, Android's, or a new one), manufacturer, WDF and KMDF
// versions, and the driver's date and version.
vesk_result set_token_values(const Ole32& ole32, const vesk_device& device, const vesk_prepare_options* options,
                             int kind, const char* inf_base);
