#include "copy_diagnostics.h"

#include "status_line.h"

void copy_diagnostics(setup_window_state& state) {
    const int length = GetWindowTextLengthW(state.pane);
    const SIZE_T bytes = (static_cast<SIZE_T>(length < 0 ? 0 : length) + 1) * sizeof(wchar_t);
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, bytes);
    bool opened = false;
    bool handed_over = false;
    if (memory) {
        if (auto* text = static_cast<wchar_t*>(GlobalLock(memory))) {
            text[0] = L'\0';
            GetWindowTextW(state.pane, text, length + 1);
            GlobalUnlock(memory);
            opened = OpenClipboard(state.window) != FALSE;
            if (opened && EmptyClipboard() && SetClipboardData(CF_UNICODETEXT, memory)) handed_over = true;
        }
    }
    if (opened) CloseClipboard();
    if (handed_over) {  // the memory belongs to the clipboard now
        show_status_notice(state, L"Diagnostics copied to the clipboard.", status_kind::information);
        return;
    }
    if (memory) GlobalFree(memory);
    append_diagnostic_line(state.window, "Could not copy diagnostics to the clipboard. Please try again.");
}
