// Writing the package's INF from its template.
#pragma once

#include "driver_kinds.h"
#include "libvesk.h"

// The kind's embedded INF template (or, with inf_is_template, the file inf_name), expanded with
// the token table and written to inf_path as UTF-16LE with a byte-order mark.
vesk_result write_inf(const vesk_prepare_options* options, const char* inf_name, const KindData& kd,
                      const char* inf_path);
