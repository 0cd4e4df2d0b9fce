// Token values that come from outside the library (the device's description, the caller's
// manufacturer and interface GUID) made safe for their place in an INF: inside a quoted string
// of [Strings], where a quote, a percent sign or a line break would change the INF itself.
#pragma once

#include <cstddef>
#include <string_view>

#include "expand_tokens.h"

// Writes text as it may stand between the double quotes of an INF string: control characters
// (C0, DEL and the UTF-8 encoded C1 range) are dropped, '"' is written '""' and '%' is written
// '%%'. A text whose result does not fit is cut before the first character that would not fit
// whole (an escape pair or a UTF-8 sequence is never split); returns false then. Always
// NUL-terminates.
bool quote_inf_text(std::string_view text, char (&out)[kTokenValueBytes]);

// "VID_XXXX&PID_XXXX" or "VID_XXXX&PID_XXXX&MI_XX" (upper-case hexadecimal digits), or a
// compatible ID "MS_COMP_" followed by upper-case letters and digits.
bool is_hardware_id_shape(std::string_view id);
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" with hexadecimal digits of either case.
bool is_interface_guid_shape(std::string_view guid);
