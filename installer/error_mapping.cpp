// Windows' verdict on a failed driver update or INF copy, as a result code and a sentence.
#include <windows.h>

#include <cstring>

#include "error_text.h"
#include "format_into.h"
#include "install_errors.h"
#include "installer.h"
#include "installer_protocol.h"

namespace {
thread_local char error_text[kInstallerErrorTextBytes];  // one per thread, like every error text
}  // namespace

vesk_result map_install_error(InstallerClient& client, uint32_t error, const char* inf_path) {
    // 0 stands for the thread's last error: taken now, before sending changes it.
    const DWORD last_error = GetLastError();
    if (const install_error_row* row = find_install_error(error)) {
        for (const char* text : row->texts) {
            if (!text) break;
            char filled[kInstallerPrintBytes];
            fill_install_error_text(text, inf_path, filled, sizeof filled);
            installer_log(client, "%s", filled);
        }
        return row->result;
    }
    installer_log(client, "Unhandled error 0x%X (%d)", static_cast<unsigned>(error), static_cast<int>(error));
    SetLastError(last_error);
    installer_log(client, "%s", installer_error_text(error));  // the system's text, never a format
    return VESK_ERR_OTHER;
}

const char* installer_error_text(uint32_t error) {
    if (error == 0) error = GetLastError();
    (void)format_into(error_text, sizeof error_text, "[%u] ", static_cast<unsigned>(error));
    const uint32_t code = system_message_code(error);
    const std::size_t prefix = std::strlen(error_text);
    const SystemMessage m = system_message(code, error_text + prefix, sizeof error_text - prefix, "\r\n");
    if (m.found) return error_text;
    if (m.format_error != 0)
        (void)format_into(error_text, sizeof error_text, "Windows error code %u (FormatMessage error code %u)",
                          static_cast<unsigned>(code), static_cast<unsigned>(m.format_error));
    else
        (void)format_into(error_text, sizeof error_text, "Unknown error code %u", static_cast<unsigned>(code));
    return error_text;
}
