#include "window_layout.h"

#include "dll_tables.h"

namespace {

constexpr wchar_t kNotice[] =
    L"Windows 10/11 x86/x64 only. Connect Morvane while holding BOOT0.\r\n"
    L"Disconnect other AT32 DFU devices. Only WinUSB for 2E3C:DF11 can be installed.\r\n"
    L"This does not flash firmware or erase your games and saved settings.";
constexpr DWORD kWindowStyle = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr DWORD kPaneStyle = WS_BORDER | WS_VSCROLL | WS_TABSTOP | ES_MULTILINE | ES_AUTOVSCROLL | ES_READONLY;

RECT frame_for(UINT dpi) {
    RECT r = {0, 0, 0, 0};
    User32Dpi api;
    load_table(api);
    if (!api.adjust_rect_for_dpi || !api.adjust_rect_for_dpi(&r, kWindowStyle, FALSE, 0, dpi))
        AdjustWindowRectEx(&r, kWindowStyle, FALSE, 0);
    return r;
}

UINT system_dpi() {
    HDC screen = GetDC(nullptr);
    const int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 0;
    if (screen) ReleaseDC(nullptr, screen);
    return dpi > 0 ? static_cast<UINT>(dpi) : kBaseDpi;
}

// The message font (and its bold form) as the system sets it for dpi.
void make_fonts(setup_window_state& state, UINT dpi) {
    NONCLIENTMETRICSW metrics = {};
    metrics.cbSize = sizeof metrics;
    User32Dpi api;
    load_table(api);
    bool got =
        api.parameters_for_dpi && api.parameters_for_dpi(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0, dpi);
    if (!got && SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) {
        // The system's metrics are for its own DPI.
        metrics.lfMessageFont.lfHeight =
            MulDiv(metrics.lfMessageFont.lfHeight, static_cast<int>(dpi), static_cast<int>(system_dpi()));
        got = true;
    }
    if (!got) {
        state.font.reset();
        state.bold_font.reset();
        return;
    }
    state.font.reset(CreateFontIndirectW(&metrics.lfMessageFont));
    LOGFONTW bold = metrics.lfMessageFont;
    bold.lfWeight = FW_BOLD;
    state.bold_font.reset(CreateFontIndirectW(&bold));
}

}  // namespace

const control_row kControls[kControlCount] = {
    {L"STATIC", L"Morvane Windows Driver Setup", 0, {20, 16, 650, 40}, 0},
    {L"STATIC", kNotice, 0, {20, 46, 680, 108}, 0},
    // Drawn here: the outcome's icon beside the bold text.
    {L"STATIC", L"", SS_OWNERDRAW, {20, 116, 680, 140}, 0},
    {L"BUTTON", L"Check device", WS_TABSTOP, {20, 150, 150, 182}, IDC_CHECK_DEVICE},
    {L"BUTTON", L"Install WinUSB", WS_TABSTOP, {162, 150, 312, 182}, IDC_INSTALL_WINUSB},
    {L"BUTTON", L"Copy diagnostics", WS_TABSTOP, {324, 150, 474, 182}, IDC_COPY_DIAGNOSTICS},
    {L"BUTTON", L"Open updater", WS_TABSTOP, {486, 150, 636, 182}, IDC_OPEN_UPDATER},
    // Names the pane for screen readers (the static before an edit control), Alt+D reaches it.
    {L"STATIC", L"&Diagnostics:", 0, {20, 184, 680, 200}, 0},
    {L"EDIT", L"", kPaneStyle, {20, 200, 680, 462}, 0},
};

int scale_to_dpi(int value, UINT dpi) { return MulDiv(value, static_cast<int>(dpi), static_cast<int>(kBaseDpi)); }

UINT dpi_of(HWND window) {
    User32Dpi api;
    load_table(api);
    const UINT dpi = api.dpi_for_window && window ? api.dpi_for_window(window) : 0;
    return dpi ? dpi : system_dpi();
}

SIZE setup_window_size(UINT dpi) {
    const RECT base = frame_for(kBaseDpi);
    const RECT frame = frame_for(dpi);
    const int client_width = kSetupWindowWidth - (base.right - base.left);
    const int client_height = kSetupWindowHeight - (base.bottom - base.top);
    return SIZE{scale_to_dpi(client_width, dpi) + (frame.right - frame.left),
                scale_to_dpi(client_height, dpi) + (frame.bottom - frame.top)};
}

void apply_dpi(setup_window_state& state, UINT dpi, const RECT* suggested) {
    state.dpi = dpi;
    make_fonts(state, dpi);
    if (suggested) {
        SetWindowPos(state.window, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                     suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
    } else {
        const SIZE size = setup_window_size(dpi);
        SetWindowPos(state.window, nullptr, 0, 0, size.cx, size.cy, SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOMOVE);
    }
    HFONT fallback = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    for (int i = 0; i < kControlCount; ++i) {
        const HWND control = state.controls[i];
        if (!control) continue;
        const RECT& r = kControls[i].at96;
        MoveWindow(control, scale_to_dpi(r.left, dpi), scale_to_dpi(r.top, dpi), scale_to_dpi(r.right - r.left, dpi),
                   scale_to_dpi(r.bottom - r.top, dpi), TRUE);
        HFONT font = i == kStatusControl ? state.bold_font.get() : state.font.get();
        SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font ? font : fallback), TRUE);
    }
}
