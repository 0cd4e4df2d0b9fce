// Signing is not built yet: fail honestly so that no caller reports a signature that was
// never made.
#include "signing.h"

#include "vesk_log.h"

bool SelfSignFile(const char* file_path, const char*) {
    vesk_log_message(3, "SelfSignFile", "Signing is not available in this build: '%s' was not signed",
                     file_path ? file_path : "(null)");
    return false;
}
