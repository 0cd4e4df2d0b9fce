// Windows' verdict on a failed driver update or INF copy, as a result code and a sentence.
#include <windows.h>

#include <cstring>
#include <iterator>

#include "format_into.h"
#include "install_errors.h"
#include "installer.h"
#include "installer_protocol.h"

namespace {
char error_text[kInstallerErrorTextBytes];
constexpr DWORD kNeutralUserDefault = 0x0400;  // neutral language, the user's default sublanguage
}  // namespace

vesk_result map_install_error(uint32_t error, const char* inf_path) {
    // 0 stands for the thread's last error: taken now, before sending changes it.
    const DWORD last_error = GetLastError();
    if (const install_error_row* row = find_install_error(error)) {
        for (const char* text : row->texts) {
            if (!text) break;
            char filled[kInstallerPrintBytes];
            fill_install_error_text(text, inf_path, filled, sizeof filled);
            installer_log("%s", filled);
        }
        return row->result;
    }
    installer_log("Unhandled error 0x%X (%d)", static_cast<unsigned>(error), static_cast<int>(error));
    SetLastError(last_error);
    installer_log("%s", installer_error_text(error));  // the system's text, never a format
    return VESK_ERR_OTHER;
}

const char* installer_error_text(uint32_t error) {
    if (error == 0) error = GetLastError();
    (void)format_into(error_text, sizeof error_text, "[%u] ", static_cast<unsigned>(error));
    const uint32_t code = system_message_code(error);
    const std::size_t prefix = std::strlen(error_text);
    wchar_t message[kInstallerErrorTextBytes];
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                   kNeutralUserDefault, message, static_cast<DWORD>(std::size(message) - prefix), nullptr);
    const DWORD format_error = n == 0 ? GetLastError() : 0;
    if (n > 0) {
        // Into the space behind the prefix; a text that does not fit is cut a character at a time.
        int len = static_cast<int>(n);
        while (len > 0 && WideCharToMultiByte(CP_UTF8, 0, message, len, error_text + prefix,
                                              static_cast<int>(sizeof error_text - prefix - 1), nullptr, nullptr) <= 0)
            --len;
        if (len > 0) {
            const int bytes = WideCharToMultiByte(CP_UTF8, 0, message, len, error_text + prefix,
                                                  static_cast<int>(sizeof error_text - prefix - 1), nullptr, nullptr);
            error_text[prefix + static_cast<std::size_t>(bytes)] = '\0';
            std::size_t end = std::strlen(error_text);
            while (end > prefix && (error_text[end - 1] == '\r' || error_text[end - 1] == '\n')) error_text[--end] = '\0';
            return error_text;
        }
    }
    if (format_error != 0)
        (void)format_into(error_text, sizeof error_text, "Windows error code %u (FormatMessage error code %u)",
                          static_cast<unsigned>(code), static_cast<unsigned>(format_error));
    else
        (void)format_into(error_text, sizeof error_text, "Unknown error code %u", static_cast<unsigned>(code));
    return error_text;
}
