#include <windows.h>

#include <cstring>

#include "error_text.h"
#include "format_into.h"
#include "owners.h"
#include "sizes.h"

namespace {
// Each thread has its own text: the window, the worker and the installation thread log at once.
thread_local char error_text[kErrorTextBytes];

bool ask_system(uint32_t code, uint16_t language, char* out, std::size_t cap, DWORD* format_error) {
    // The system allocates the message, so one longer than the buffer is cut rather than lost.
    wchar_t* message = nullptr;
    const DWORD n =
        FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                       nullptr, code, language, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
    *format_error = n > 0 ? 0 : GetLastError();
    UniqueLocal owned(message);
    if (n == 0) return false;
    const int room = static_cast<int>(cap - 1);
    // A message longer than the buffer is cut; convert what fits, whole characters only.
    int chars = static_cast<int>(n < cap ? n : cap - 1);
    int bytes = 0;
    while (chars > 0 && (bytes = WideCharToMultiByte(CP_UTF8, 0, message, chars, out, room, nullptr, nullptr)) <= 0)
        --chars;
    if (bytes <= 0) return false;
    out[bytes] = '\0';
    return true;
}

void trim_end(char* text, const char* trim) {
    for (std::size_t len = std::strlen(text); len > 0 && std::strchr(trim, text[len - 1]); --len) text[len - 1] = '\0';
}

// "[0x%08lX] " and the text of `code`, else of `fallback_code` when it differs, else the fallback line.
const char* code_text(uint32_t code, uint32_t message_code, uint32_t fallback_code) {
    (void)format_into(error_text, sizeof error_text, "[0x%08lX] ", static_cast<unsigned long>(code));
    char* out = error_text + kErrorTextPrefixChars;
    const std::size_t room = sizeof error_text - kErrorTextPrefixChars;
    SystemMessage m = system_message(message_code, out, room, "\r\n ");
    if (!m.found && fallback_code != message_code) m = system_message(fallback_code, out, room, "\r\n ");
    if (!m.found) {
        const DWORD e = m.format_error;
        if (e == 0 || e == ERROR_MR_MID_NOT_FOUND || e == ERROR_MUI_FILE_NOT_FOUND)
            (void)format_into(error_text, sizeof error_text, "Windows error code 0x%08lX",
                              static_cast<unsigned long>(code));
        else
            (void)format_into(error_text, sizeof error_text,
                              "Windows error code 0x%08lX (FormatMessage error code 0x%08lX)",
                              static_cast<unsigned long>(code), static_cast<unsigned long>(e));
    }
    SetLastError(code);
    return error_text;
}
}  // namespace

SystemMessage system_message(uint32_t code, char* out, std::size_t cap, const char* trim,
                             std::span<const uint16_t> languages) {
    SystemMessage result;
    if (cap == 0) return result;
    out[0] = '\0';
    for (const uint16_t language : languages) {
        DWORD error = 0;
        if (ask_system(code, language, out, cap, &error)) {
            trim_end(out, trim);
            result.found = true;
            result.format_error = 0;
            return result;
        }
        result.format_error = error;
    }
    out[0] = '\0';
    return result;
}

const char* last_error_text(uint32_t code) {
    if (code == 0) code = GetLastError();
    return code_text(code, code & 0xFFFF, code & 0xFFFF);
}

const char* hresult_text(uint32_t code) {
    if (code == 0) code = GetLastError();
    const bool win32 = HRESULT_FACILITY(code) == FACILITY_WIN32;
    return code_text(code, code, win32 ? code & 0xFFFF : code);
}
