// Installing a certificate that the program carries as a trusted publisher. Kept apart from
// the store operations so that signing does not pull the payload table in.
#include <windows.h>

#include "cert_store.h"
#include "dll_tables.h"
#include "libvesk.h"
#include "payload.h"
#include "platform.h"
#include "vesk_log.h"

vesk_result vesk_install_trusted_certificate(const char* cert_name, const vesk_cert_options* options) {
    static const char source[] = "vesk_install_trusted_certificate";
    if (!windows_version_supported(source)) return VESK_ERR_NOT_SUPPORTED;
    if (!cert_name || !*cert_name) return VESK_ERR_INVALID_PARAMETER;
    // Without IsUserAnAdmin there is no telling: the call fails rather than guess.
    Shell32 shell32;
    if (!load_table(shell32, source)) return VESK_ERR_NO_RESOURCE;
    if (!shell32.is_user_an_admin()) {
        vesk_log_message(VESK_LOG_ERROR, source, "This call must be run with elevated privileges");
        return VESK_ERR_NEEDS_ELEVATION;
    }
    const payload_entry* row = find_payload(nullptr, cert_name);
    if (!row) {
        vesk_log_message(VESK_LOG_ERROR, source, "Unable to locate certificate '%s' in embedded resources", cert_name);
        return VESK_ERR_NOT_FOUND;
    }
    const bool skip = options && options->skip_warning;
    HWND owner = options ? reinterpret_cast<HWND>(options->owner_window) : nullptr;
    if (!AddCertToTrustedPublisher(row->bytes, static_cast<uint32_t>(row->length), skip, owner)) {
        vesk_log_message(VESK_LOG_WARNING, source, "Could not add certificate '%s' as Trusted Publisher", cert_name);
        return VESK_ERR_NO_RESOURCE;
    }
    vesk_log_message(VESK_LOG_INFO, source, "Certificate '%s' successfully added as Trusted Publisher", cert_name);
    return VESK_OK;
}
