#include "diagnostics.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "owners.h"
#include "setup_messages.h"

// The one definition: the window sets it when it is created, posters read it.
HWND setup_window_handle = nullptr;

void post_diagnostic(const char* fmt, ...) {
    // Posting to a null window would queue the copy on this thread, where nothing frees it.
    const HWND window = setup_window_handle;
    if (!window) return;
    char line[kDiagnosticLineBytes];
    va_list ap;
    va_start(ap, fmt);
    // A cut line is kept: it is display text, and at most 2047 bytes of it fit.
    if (vformat_into(line, sizeof line, fmt, ap) == Fit::error) line[0] = '\0';
    va_end(ap);

    const std::size_t n = std::strlen(line) + 1;
    MallocPtr<char> copy(static_cast<char*>(std::malloc(n)));  // the window frees it once posted
    if (!copy) {
        PostMessageW(window, WM_SETUP_DIAGNOSTIC, 1, 0);
        return;
    }
    std::memcpy(copy.get(), line, n);
    if (PostMessageW(window, WM_SETUP_DIAGNOSTIC, 0, reinterpret_cast<LPARAM>(copy.get()))) (void)copy.release();
}
