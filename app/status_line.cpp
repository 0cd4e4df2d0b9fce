#include "status_line.h"

#include <iterator>

#include "window_layout.h"

namespace {

void show(setup_window_state& state, const wchar_t* text, status_kind kind) {
    state.shown_kind = kind;
    SetWindowTextW(state.status_line, text);
    InvalidateRect(state.status_line, nullptr, TRUE);
}

HICON icon_for(status_kind kind) {
    switch (kind) {
        case status_kind::information:
            return LoadIconW(nullptr, IDI_INFORMATION);
        case status_kind::warning:
            return LoadIconW(nullptr, IDI_WARNING);
        case status_kind::error:
            return LoadIconW(nullptr, IDI_ERROR);
        default:
            return nullptr;
    }
}

}  // namespace

void set_status(setup_window_state& state, const wchar_t* text, status_kind kind) {
    KillTimer(state.window, kStatusNoticeTimer);
    state.status = text;
    state.kind = kind;
    show(state, text, kind);
}

void show_status_notice(setup_window_state& state, const wchar_t* text, status_kind kind) {
    show(state, text, kind);
    SetTimer(state.window, kStatusNoticeTimer, kCopiedNoticeMs, nullptr);
}

void restore_status(setup_window_state& state) {
    KillTimer(state.window, kStatusNoticeTimer);
    show(state, state.status, state.kind);
}

void draw_status_line(const setup_window_state& state, const DRAWITEMSTRUCT& item) {
    const HDC dc = item.hDC;
    RECT r = item.rcItem;
    // The window's own background and text colours, whatever the theme.
    FillRect(dc, &r, GetSysColorBrush(COLOR_WINDOW));
    const int icon = scale_to_dpi(kStatusIconSize, state.dpi);
    if (HICON h = icon_for(state.shown_kind))
        DrawIconEx(dc, r.left, r.top + (r.bottom - r.top - icon) / 2, h, icon, icon, 0, nullptr, DI_NORMAL);
    r.left += icon + scale_to_dpi(kStatusIconGap, state.dpi);
    wchar_t text[256] = {};
    GetWindowTextW(item.hwndItem, text, static_cast<int>(std::size(text)));
    const HGDIOBJ old = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(item.hwndItem, WM_GETFONT, 0, 0)));
    SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
    SetBkMode(dc, TRANSPARENT);
    DrawTextW(dc, text, -1, &r, DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX | DT_END_ELLIPSIS);
    SelectObject(dc, old);
}
