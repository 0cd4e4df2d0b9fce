// The modal progress window of an installation: a marquee bar and a rotating line of text while
// the run proceeds on a worker thread; it cannot be moved, resized or closed, and it asks a run
// that has gone on for five minutes of counted time to stop, and waits for it. Its geometry is
// one table in 96-DPI units, scaled to the owner's DPI and again whenever its own DPI changes.
#include <windows.h>
#include <commctrl.h>

#include <iterator>
#include <utility>

#include "error_text.h"
#include "install_run.h"
#include "security_prompt.h"
#include "dll_tables.h"
#include "owners.h"
#include "vesk_log.h"

namespace {
constexpr char kSource[] = "run_with_progress_bar";
constexpr wchar_t kClassName[] = L"vesk_progress_class";
constexpr wchar_t kTitle[] = L"Installing Driver...";
constexpr UINT WM_PROGRESS_START = WM_APP;
constexpr UINT WM_PROGRESS_DONE = WM_APP + 1;
constexpr UINT_PTR kTimerId = 1;
constexpr UINT kTimerPeriodMs = 1000;
constexpr int kTicksPerText = 15;
constexpr int kTimeoutTicks = 300;
constexpr int kCaptionOffset = 35;  // the owner's centre lies this far below the window's
constexpr UINT kBaseDpi = 96;
constexpr DWORD kStyle = WS_POPUP | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN | WS_CAPTION | WS_THICKFRAME;
constexpr DWORD kExStyle = WS_EX_CONTROLPARENT | WS_EX_WINDOWEDGE;

// The geometry in 96-DPI units: the window's outer size, the children's places in its client
// area. At 96 DPI the fixed one; scaled, a wider line, since the longest texts need about 270
// units at 144 and 192 DPI (the font's pixel height is rounded up).
struct geometry {
    SIZE window;
    RECT bar;
    RECT text;
};
constexpr geometry kAt96 = {{287, 102}, {10, 35, 260, 47}, {12, 12, 262, 28}};
constexpr geometry kScaled = {{309, 102}, {10, 35, 282, 47}, {12, 12, 284, 28}};
constexpr const geometry& geometry_for(UINT dpi) { return dpi == 96 ? kAt96 : kScaled; }
constexpr int kFontHeightAt96 = 11;

constexpr const wchar_t* kTexts[] = {
    L"Installation can take some time...",
    L"The installation process can take up to 5 minutes...",
    L"You may also be asked to reboot for KMDF upgrades.",
    L"If so, please watch for additional popup windows.",
    L"The reason driver installation may take time...",
    L"...is because a System Restore point is created.",
    L"Microsoft offers no means of checking progress...",
    L"...so we can't say how long it'll take...",
    L"Please continue to be patient...",
    L"There's a 5 minute timeout eventually...",
    L"...so if there's a problem, the process will abort.",
    L"I've really seen an installation take 5 minutes...",
    L"...on a Vista 64 machine with a very large disk.",
    L"So how was your day...",
    L"...before it got ruined by this endless installation?",
    L"Seriously, what is taking this process so long?!",
    L"Aborting in 45 seconds...",
    L"Aborting in 30 seconds...",
    L"Aborting in 15 seconds...",
};
constexpr int kTextCount = static_cast<int>(std::size(kTexts));

// Everything of one dialog: made by run_with_progress_bar, handed to the window through
// lpCreateParams (then GWLP_USERDATA) and to the worker as its thread parameter.
struct progress_state {
    const install_params* params = nullptr;
    HINSTANCE instance = nullptr;
    HANDLE stop_run = nullptr;  // the run's stop request: set once by the time limit
    HWND window = nullptr;
    HWND bar = nullptr;
    HWND text = nullptr;
    UniqueFont font;
    UINT dpi = 96;
    int ticks = 0;
    PromptPause prompt_pause;  // the time Windows' security prompts have held the clock
    int text_index = 0;
    bool stopping = false;
    SRWLOCK worker_lock = SRWLOCK_INIT;  // the worker handle is shared with the worker thread
    HANDLE worker = nullptr;
};

progress_state* state_of(HWND h) { return reinterpret_cast<progress_state*>(GetWindowLongPtrW(h, GWLP_USERDATA)); }

int px(int value, UINT dpi) { return MulDiv(value, static_cast<int>(dpi), static_cast<int>(kBaseDpi)); }

// The frame around a client area of nothing, as the system draws it at dpi.
RECT frame_for(UINT dpi) {
    RECT r = {0, 0, 0, 0};
    User32Dpi api;
    load_table(api);
    if (!api.adjust_rect_for_dpi || !api.adjust_rect_for_dpi(&r, kStyle, FALSE, kExStyle, dpi))
        AdjustWindowRectEx(&r, kStyle, FALSE, kExStyle);
    return r;
}

// The outer size whose client area is the 96-DPI one scaled: the frame itself does not grow
// in proportion, so scaling the outer size would cut the client area short.
SIZE window_size(UINT dpi) {
    const SIZE at96 = geometry_for(dpi).window;
    if (dpi == kBaseDpi) return at96;
    const RECT base = frame_for(kBaseDpi);
    const RECT frame = frame_for(dpi);
    return SIZE{px(at96.cx - (base.right - base.left), dpi) + (frame.right - frame.left),
                px(at96.cy - (base.bottom - base.top), dpi) + (frame.bottom - frame.top)};
}

void move_to(HWND control, const RECT& at96, UINT dpi) {
    if (control)
        MoveWindow(control, px(at96.left, dpi), px(at96.top, dpi), px(at96.right - at96.left, dpi),
                   px(at96.bottom - at96.top, dpi), TRUE);
}

// The children's places and the text's font for the window's DPI.
void lay_out(progress_state& state) {
    move_to(state.bar, geometry_for(state.dpi).bar, state.dpi);
    move_to(state.text, geometry_for(state.dpi).text, state.dpi);
    UniqueFont font(CreateFontW(-px(kFontHeightAt96, state.dpi), 0, 0, 0, FW_DONTCARE, FALSE, FALSE, FALSE,
                                DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                                DEFAULT_PITCH | FF_DONTCARE, L"MS Shell Dlg 2"));
    if (!font) return;  // the old font stays with the text
    if (state.text) SendMessageW(state.text, WM_SETFONT, reinterpret_cast<WPARAM>(font.get()), TRUE);
    state.font = std::move(font);  // released only once the text no longer uses it
}

// The owner's DPI (the window is made for it); 96 where the system cannot say.
UINT dpi_for(HWND owner) {
    User32Dpi api;
    load_table(api);
    const UINT dpi = api.dpi_for_window ? api.dpi_for_window(owner) : 0;
    return dpi ? dpi : 96;
}

DWORD WINAPI progress_thread(void* parameter) {
    auto& state = *static_cast<progress_state*>(parameter);
    const vesk_result r = install_driver_internal(state.params);
    AcquireSRWLockExclusive(&state.worker_lock);
    HANDLE self = state.worker;
    state.worker = nullptr;  // gone before the dialog hears of it
    ReleaseSRWLockExclusive(&state.worker_lock);
    if (self) CloseHandle(self);
    PostMessageW(state.window, WM_PROGRESS_DONE, static_cast<WPARAM>(r), 0);
    return 0;
}

// Every ending goes this way, so the owner is always enabled again.
void end_dialog(HWND h, vesk_result result) {
    if (HWND owner = GetWindow(h, GW_OWNER)) EnableWindow(owner, TRUE);
    PostQuitMessage(static_cast<int>(result));
    DestroyWindow(h);
}

void place(HWND h, UINT dpi) {
    HWND owner = GetWindow(h, GW_OWNER);
    if (!owner) return;
    RECT self, client;
    if (!GetWindowRect(h, &self) || !GetClientRect(owner, &client)) return;
    POINT centre{(client.left + client.right) / 2, (client.top + client.bottom) / 2};
    ClientToScreen(owner, &centre);
    const int width = self.right - self.left;
    const int height = self.bottom - self.top;
    MoveWindow(h, centre.x - width / 2, centre.y - px(kCaptionOffset, dpi) - height / 2, width, height, FALSE);
}

void init_children(progress_state& state) {
    const HWND h = state.window;
    state.bar = CreateWindowExW(WS_EX_NOPARENTNOTIFY, PROGRESS_CLASSW, nullptr, WS_CHILD | WS_VISIBLE | PBS_MARQUEE, 0,
                                0, 0, 0, h, nullptr, state.instance, nullptr);
    if (!state.bar)
        vesk_log_message(VESK_LOG_ERROR, "init_children", "Unable to create progress bar: %s", last_error_text(0));
    PostMessageW(state.bar, PBM_SETMARQUEE, TRUE, 0);
    state.text = CreateWindowExW(WS_EX_TRANSPARENT | WS_EX_NOPARENTNOTIFY, L"Static", kTitle,
                                 WS_CHILD | WS_VISIBLE | WS_GROUP, 0, 0, 0, 0, h, nullptr, state.instance, nullptr);
    if (!state.text)
        vesk_log_message(VESK_LOG_ERROR, "init_children", "Unable to create progress text: %s", last_error_text(0));
    lay_out(state);
}

// Moved to a screen of another DPI: Windows suggests the window's new rectangle.
LRESULT on_dpi_changed(HWND h, progress_state& state, WPARAM wp, LPARAM lp) {
    const UINT dpi = HIWORD(wp);
    state.dpi = dpi ? dpi : kBaseDpi;
    if (const auto* suggested = reinterpret_cast<const RECT*>(lp))
        SetWindowPos(h, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                     suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
    lay_out(state);
    return 0;
}

LRESULT on_create(HWND h, progress_state& state) {
    state.ticks = 0;
    state.prompt_pause = PromptPause{};
    state.stopping = false;
    state.text_index = 0;
    state.window = h;
    if (HWND owner = GetWindow(h, GW_OWNER)) EnableWindow(owner, FALSE);
    init_children(state);
    place(h, state.dpi);
    SetTimer(h, kTimerId, kTimerPeriodMs, nullptr);
    PostMessageW(h, WM_PROGRESS_START, 0, 0);
    return 0;
}

LRESULT on_start(HWND h, progress_state& state) {
    AcquireSRWLockExclusive(&state.worker_lock);
    if (state.worker) {
        ReleaseSRWLockExclusive(&state.worker_lock);
        vesk_log_message(VESK_LOG_ERROR, "progress_callback",
                         "program assertion failed - another operation is in progress");
        end_dialog(h, VESK_ERR_NO_RESOURCE);
        return 0;
    }
    // Suspended until recorded, so the worker always finds its own handle.
    state.worker = CreateThread(nullptr, 0, progress_thread, &state, CREATE_SUSPENDED, nullptr);
    HANDLE started = state.worker;
    ReleaseSRWLockExclusive(&state.worker_lock);
    if (!started) {
        vesk_log_message(VESK_LOG_ERROR, "progress_callback", "unable to create progress_thread");
        end_dialog(h, VESK_ERR_NO_RESOURCE);
        return 0;
    }
    ResumeThread(started);
    return 0;
}

LRESULT on_timer(HWND h, progress_state& state) {
    if (pause_for_security_prompt(state.prompt_pause)) return 0;  // time while Windows asks the user is not counted
    ++state.ticks;
    if (state.text_index < kTextCount && state.ticks > kTicksPerText * (state.text_index + 1)) {
        if (state.text) {
            // The control is transparent: hiding and showing it clears the old text.
            SetWindowTextW(state.text, kTexts[state.text_index]);
            ShowWindow(state.text, SW_HIDE);
            UpdateWindow(h);
            ShowWindow(state.text, SW_SHOW);
            UpdateWindow(h);
        }
        ++state.text_index;
        return 0;
    }
    if (state.ticks > kTimeoutTicks && !state.stopping) {
        AcquireSRWLockExclusive(&state.worker_lock);
        const bool running = state.worker != nullptr;
        ReleaseSRWLockExclusive(&state.worker_lock);
        if (!running) return 0;
        // The run ends its installer and releases what it holds; its result closes the window.
        vesk_log_message(VESK_LOG_ERROR, "progress_callback", "progress timeout expired - stopping the installation");
        state.stopping = true;
        SetEvent(state.stop_run);
    }
    return 0;
}

LRESULT on_ctlcolor_static(HDC dc) {
    // The text in the theme's button-text colour: black on a high-contrast black face otherwise.
    SetTextColor(dc, GetSysColor(COLOR_BTNTEXT));
    SetBkMode(dc, TRANSPARENT);
    return reinterpret_cast<LRESULT>(GetStockObject(NULL_BRUSH));
}

LRESULT on_nchittest(HWND h, WPARAM wp, LPARAM lp) {
    switch (DefWindowProcW(h, WM_NCHITTEST, wp, lp)) {
        case HTLEFT:
        case HTRIGHT:
        case HTTOP:
        case HTBOTTOM:
        case HTSIZE:
        case HTTOPLEFT:
        case HTTOPRIGHT:
        case HTBOTTOMLEFT:
        case HTBOTTOMRIGHT:
            return HTCLIENT;
        default:
            return HTNOWHERE;  // the caption too: the window cannot be dragged
    }
}

LRESULT on_destroy(progress_state& state) {
    state.window = nullptr;
    state.bar = nullptr;
    state.text = nullptr;
    state.font.reset();
    return 0;
}

LRESULT CALLBACK progress_callback(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_NCCREATE)
        SetWindowLongPtrW(h, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTW*>(lp)->lpCreateParams));
    progress_state* state = state_of(h);
    if (!state) return DefWindowProcW(h, msg, wp, lp);
    switch (msg) {
        case WM_CREATE:
            return on_create(h, *state);
        case WM_PROGRESS_START:
            return on_start(h, *state);
        case WM_PROGRESS_DONE:
            end_dialog(h, static_cast<vesk_result>(wp));
            return 0;
        case WM_TIMER:
            return on_timer(h, *state);
        case WM_DPICHANGED:
            return on_dpi_changed(h, *state, wp, lp);
        case WM_CTLCOLORSTATIC:
            return on_ctlcolor_static(reinterpret_cast<HDC>(wp));
        case WM_NCHITTEST:
            return on_nchittest(h, wp, lp);
        case WM_CLOSE:
            return 0;
        case WM_DESTROY:
            return on_destroy(*state);
    }
    return DefWindowProcW(h, msg, wp, lp);
}

bool register_class(HINSTANCE instance) {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    if (GetClassInfoExW(instance, kClassName, &wc)) return true;
    wc = WNDCLASSEXW{};
    wc.cbSize = sizeof wc;
    wc.style = CS_DBLCLKS | CS_SAVEBITS;
    wc.lpfnWndProc = progress_callback;
    wc.hInstance = instance;
    wc.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
    wc.hIconSm = LoadIconW(nullptr, IDI_APPLICATION);
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = kClassName;
    return RegisterClassExW(&wc) != 0;
}
}  // namespace

vesk_result run_with_progress_bar(HWND parent, const install_params* params) {
    if (!parent) return VESK_ERR_INVALID_PARAMETER;
    // By name once the program's activation context is in place: its manifest's Common-Controls
    // dependency makes this version 6, which the marquee needs.
    Comctl32 comctl32;
    if (!load_table(comctl32, kSource)) return VESK_ERR_NO_RESOURCE;
    progress_state state;
    state.instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(parent, GWLP_HINSTANCE));
    state.dpi = dpi_for(parent);

    // Unnamed, so no other dialog can ever hold it (ERROR_ALREADY_EXISTS cannot come): one
    // dialog at a time is kept by the run's own guard. Only a failure to make it is a failure.
    UniqueHandle mutex(CreateMutexW(nullptr, TRUE, nullptr));
    if (!mutex) {
        vesk_log_message(VESK_LOG_ERROR, kSource, "could not obtain progress dialog mutex - is another dialog active?");
        return VESK_ERR_BUSY;
    }
    UniqueHandle stop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!stop) return VESK_ERR_NO_RESOURCE;
    install_params run_params = params ? *params : install_params{nullptr, nullptr, nullptr, nullptr, nullptr};
    run_params.stop = stop.get();
    state.stop_run = stop.get();
    state.params = &run_params;

    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_PROGRESS_CLASS};
    comctl32.init_common_controls(&icc);

    const SIZE size = window_size(state.dpi);
    vesk_result result = VESK_OK;
    if (!register_class(state.instance)) {
        vesk_log_message(VESK_LOG_ERROR, kSource, "can't register class %s", last_error_text(0));
        result = VESK_ERR_NO_RESOURCE;
    } else if (HWND h = CreateWindowExW(kExStyle, kClassName, kTitle, kStyle, px(100, state.dpi), px(100, state.dpi),
                                        size.cx, size.cy, parent, nullptr, state.instance, &state);
               !h) {
        vesk_log_message(VESK_LOG_ERROR, kSource, "Unable to create progress dialog: %s", last_error_text(0));
        result = VESK_ERR_NO_RESOURCE;
    } else {
        ShowWindow(h, SW_SHOWNORMAL);
        UpdateWindow(h);
        MSG m;
        for (;;) {
            const BOOL got = GetMessageW(&m, nullptr, 0, 0);
            if (got == 0) break;
            if (got == -1) {
                vesk_log_message(VESK_LOG_ERROR, kSource, "GetMessage error");
                continue;
            }
            TranslateMessage(&m);
            DispatchMessageW(&m);
        }
        result = static_cast<vesk_result>(m.wParam);
    }
    // Every ending waits for the run's own end (the window is gone), so the state, the
    // parameters and the stop event outlive both.
    return result;
}
