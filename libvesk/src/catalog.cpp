// Catalog creation is not built yet: fail honestly so that no caller reports a catalog that
// was never made.
#include "catalog.h"

#include "error_text.h"
#include "vesk_log.h"

bool CreateCat(const char* cat_path, const char*, const char*, const char* const*, uint32_t) {
    vesk_log_message(3, "CreateCat", "Catalog creation is not available in this build: '%s' was not written",
                     cat_path ? cat_path : "(null)");
    return false;
}

const char* PkiErrorText(uint32_t code) { return last_error_text(code); }
