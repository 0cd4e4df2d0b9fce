// Driver package preparation (vesk_prepare_driver, in libvesk.h), in steps of their own:
// token_values.h, inf_file.h, catalog_step.h.
#pragma once

// The source label of every line the preparation logs.
inline constexpr char kPrepareSource[] = "vesk_prepare_driver";
