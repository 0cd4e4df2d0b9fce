#include <windows.h>

#include <cstdio>
#include <cstring>
#include <iterator>

#include "error_text.h"
#include "format_into.h"
#include "owners.h"
#include "sizes.h"

namespace {
char error_text[kErrorTextBytes];
}

const char* last_error_text(uint32_t code) {
    if (code == 0) code = GetLastError();
    (void)format_into(error_text, sizeof error_text, "[0x%08lX] ", static_cast<unsigned long>(code));
    const std::size_t room = sizeof error_text - kErrorTextPrefixChars;
    // The system allocates the message, so one longer than our buffer is cut rather than lost.
    wchar_t* message = nullptr;
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                             nullptr, code & 0xFFFF, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
                             reinterpret_cast<wchar_t*>(&message), 0, nullptr);
    const DWORD format_error = n > 0 ? 0 : GetLastError();
    UniqueLocal owned(message);
    const wchar_t* wide = message;
    if (n > room - 1) n = static_cast<DWORD>(room - 1);
    int bytes = 0;
    if (n > 0) {
        char* out = error_text + kErrorTextPrefixChars;
        bytes = WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(n), out, static_cast<int>(room - 1), nullptr,
                                    nullptr);
        if (bytes == 0 && GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
            // A message longer than the buffer is cut; convert what fits, whole characters only.
            int chars = static_cast<int>(n);
            while (chars > 0 && bytes == 0) {
                --chars;
                bytes = WideCharToMultiByte(CP_UTF8, 0, wide, chars, out, static_cast<int>(room - 1), nullptr, nullptr);
            }
        }
        if (bytes > 0) {
            out[bytes] = '\0';
            for (std::size_t len = std::strlen(out); len > 0; --len) {
                const char c = out[len - 1];
                if (c != '\r' && c != '\n' && c != ' ') break;
                out[len - 1] = '\0';
            }
        }
    }
    if (bytes <= 0) {
        if (format_error == 0 || format_error == ERROR_MR_MID_NOT_FOUND || format_error == ERROR_MUI_FILE_NOT_FOUND)
            (void)format_into(error_text, sizeof error_text, "Windows error code 0x%08lX", static_cast<unsigned long>(code));
        else
            (void)format_into(error_text, sizeof error_text, "Windows error code 0x%08lX (FormatMessage error code 0x%08lX)",
                              static_cast<unsigned long>(code), static_cast<unsigned long>(format_error));
    }
    SetLastError(code);
    return error_text;
}
