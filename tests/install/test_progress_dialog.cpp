// The progress window of a progress-bar installation, driven tick by tick by the test.
#include <windows.h>
#include <commctrl.h>

#include <doctest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "at_display_dpi.h"
#include "progress_support.h"
#include "prompt_support.h"
#include "security_prompt.h"

using namespace run_test;
using namespace progress_test;
using namespace prompt_test;

namespace {
struct Frame {
    LRESULT def_caption = 0, def_left = 0, def_corner = 0;
    LRESULT caption = 0, left = 0, corner = 0, client = 0;
    bool alive_after_close = false;
    bool alive_after_alt_f4 = false;
    RECT window{};
    POINT owner_centre{};
};

LPARAM at(int x, int y) { return MAKELPARAM(static_cast<short>(x), static_cast<short>(y)); }

struct EnumOrder {
    HWND a, b, last;
};
BOOL CALLBACK note_last(HWND h, LPARAM lp) {
    auto* o = reinterpret_cast<EnumOrder*>(lp);
    if (h == o->a || h == o->b) o->last = h;
    return TRUE;
}

void setup() {
    capture_log();
    install_hook();
    if (!owner) owner = make_owner();
}
}  // namespace

TEST_CASE("texts rotate by counted ticks, a security prompt stops the count, the frame holds") {
    setup();
    hold_standin();
    Package p("code:5 print:installing wait code:6 status:0 close exit:0");
    Run r{{}, &p};
    Frame frame;
    PromptProgram consent(system_directory() + "\\consent.exe");
    at_checkpoint = [&](HWND d) {
        switch (checkpoints.size()) {
            case 5:
                consent.open("#32770", "Windows Security");
                break;
            case 6:
                consent.close();
                break;
            case 9: {
                RECT w;
                GetWindowRect(d, &w);
                const int frame_y = GetSystemMetrics(SM_CYFRAME) + GetSystemMetrics(SM_CYCAPTION) / 2;
                const LPARAM caption = at((w.left + w.right) / 2, w.top + frame_y);
                const LPARAM left = at(w.left + 1, (w.top + w.bottom) / 2);
                const LPARAM corner = at(w.right - 1, w.bottom - 1);
                const LPARAM client = at((w.left + w.right) / 2, (w.top + w.bottom) / 2 + 10);
                frame.def_caption = DefWindowProcW(d, WM_NCHITTEST, 0, caption);
                frame.def_left = DefWindowProcW(d, WM_NCHITTEST, 0, left);
                frame.def_corner = DefWindowProcW(d, WM_NCHITTEST, 0, corner);
                frame.caption = SendMessageW(d, WM_NCHITTEST, 0, caption);
                frame.left = SendMessageW(d, WM_NCHITTEST, 0, left);
                frame.corner = SendMessageW(d, WM_NCHITTEST, 0, corner);
                frame.client = SendMessageW(d, WM_NCHITTEST, 0, client);
                SendMessageW(d, WM_CLOSE, 0, 0);
                frame.alive_after_close = IsWindow(d) != FALSE;
                SendMessageW(d, WM_SYSCOMMAND, SC_CLOSE, 0);  // what Alt+F4 asks for
                frame.alive_after_alt_f4 = IsWindow(d) != FALSE;
                break;
            }
        }
    };
    clear_log();
    const vesk_result result = r.go([&] {
        RECT w, c;
        GetWindowRect(dialog, &frame.window);
        w = frame.window;
        GetClientRect(owner, &c);
        frame.owner_centre = {(c.left + c.right) / 2, (c.top + c.bottom) / 2};
        ClientToScreen(owner, &frame.owner_centre);
        (void)w;
        checkpoint();              // 0: as created
        ticks(15), checkpoint();   // 1: tick 15
        ticks(1), checkpoint();    // 2: tick 16
        ticks(14), checkpoint();   // 3: tick 30
        ticks(1), checkpoint();    // 4: tick 31
        checkpoint();              // 5: the prompt opens
        ticks(40), checkpoint();   // 6: still tick 31; the prompt closes
        ticks(254), checkpoint();  // 7: tick 285
        ticks(1), checkpoint();    // 8: tick 286
        ticks(10), checkpoint();   // 9: tick 296, the frame
        release_standin();
    });
    CHECK(result == VESK_OK);
    CAPTURE(dump_log());
    REQUIRE(checkpoints.size() == 10);
    struct Row {
        std::size_t at;
        const wchar_t* text;
    };
    static const Row rows[] = {
        {0, L"Installing Driver..."},
        {1, L"Installing Driver..."},
        {2, L"Installation can take some time..."},
        {3, L"Installation can take some time..."},
        {4, L"The installation process can take up to 5 minutes..."},
        {5, L"The installation process can take up to 5 minutes..."},
        {6, L"The installation process can take up to 5 minutes..."},
        {7, L"Aborting in 30 seconds..."},
        {8, L"Aborting in 15 seconds..."},
        {9, L"Aborting in 15 seconds..."},
    };
    for (const Row& row : rows) {
        CAPTURE(row.at);
        CHECK(checkpoints[row.at].text == row.text);
        CHECK_FALSE(checkpoints[row.at].owner_enabled);
    }
    CHECK(IsWindowEnabled(owner));
    CHECK(count_lines("progress timeout expired") == 0);
    CHECK(has_line("libvesk:debug [vesk_install_driver] Using progress bar mode"));
    CHECK(has_line("libvesk:debug [installer process] installing"));

    // Borders answer as client area, everything else as nowhere: no sizing, no dragging.
    CHECK(frame.def_caption == HTCAPTION);
    CHECK(frame.def_left == HTLEFT);
    CHECK(frame.def_corner == HTBOTTOMRIGHT);
    CHECK(frame.caption == HTNOWHERE);
    CHECK(frame.left == HTCLIENT);
    CHECK(frame.corner == HTCLIENT);
    CHECK(frame.client == HTNOWHERE);
    CHECK(frame.alive_after_close);
    CHECK(frame.alive_after_alt_f4);

    // Centred on the owner's client area horizontally, 35 pixels above its centre.
    const RECT& w = frame.window;
    CHECK(w.right - w.left == 287);
    CHECK(w.bottom - w.top == 102);
    CHECK(std::abs((w.left + w.right) / 2 - frame.owner_centre.x) <= 1);
    CHECK(std::abs((w.top + w.bottom) / 2 - (frame.owner_centre.y - 35)) <= 1);
}

TEST_CASE("a run that ends within 15 seconds shows only the first text") {
    setup();
    Package p("status:0 close exit:0");
    Run r{{}, &p};
    CHECK(r.go([] {}) == VESK_OK);
    CHECK(text_at_end == L"Installing Driver...");
    CHECK(IsWindowEnabled(owner));
    REQUIRE(dialog != nullptr);
    CHECK_FALSE(IsWindow(dialog));
}

TEST_CASE("every other ending of a run closes the dialog and enables the owner") {
    setup();
    struct Row {
        const char* script;
        vesk_result want;
    };
    static const Row rows[] = {
        {"status:-99 exit:0", VESK_ERR_OTHER},
        {"raw:09", VESK_ERR_NOT_FOUND},
        {"noconnect exit:3", VESK_ERR_OTHER},
        {"print:hi exit:5", VESK_ERR_OTHER},
    };
    for (const Row& row : rows) {
        CAPTURE(row.script);
        Package p(row.script);
        Run r{{}, &p};
        const DWORD start = GetTickCount();
        CHECK(r.go([] {}) == row.want);
        CHECK(GetTickCount() - start < 10000);
        CHECK(IsWindowEnabled(owner));
    }
    // A package without the installer fails inside the worker, behind the dialog.
    Package missing("", false);
    Run r{{}, &missing};
    CHECK(r.go([] {}) == VESK_ERR_NOT_FOUND);
    CHECK(IsWindowEnabled(owner));
}

TEST_CASE("the dialog needs a parent window") {
    setup();
    TestDevice d;
    const install_params params{&d.record, "C:\\nowhere", "x.inf", nullptr, nullptr};
    CHECK(run_with_progress_bar(nullptr, &params) == VESK_ERR_INVALID_PARAMETER);
}

TEST_CASE("the window's controls") {
    setup();
    hold_standin();
    Package p("code:5 wait code:6 status:0 close exit:0");
    Run r{{}, &p};
    bool marquee = false, has_bar = false, has_font = false;
    LONG style = 0, ex_style = 0;
    wchar_t title[64] = {};
    at_checkpoint = [&](HWND d) {
        HWND bar = FindWindowExW(d, nullptr, PROGRESS_CLASSW, nullptr);
        has_bar = bar != nullptr;
        marquee = bar && (GetWindowLongW(bar, GWL_STYLE) & PBS_MARQUEE);
        HWND text = FindWindowExW(d, nullptr, L"Static", nullptr);
        has_font = text && SendMessageW(text, WM_GETFONT, 0, 0) != 0;
        style = GetWindowLongW(d, GWL_STYLE);
        ex_style = GetWindowLongW(d, GWL_EXSTYLE);
        GetWindowTextW(d, title, 64);
    };
    CHECK(r.go([] {
        checkpoint();
        release_standin();
    }) == VESK_OK);
    CHECK(has_bar);
    CHECK(marquee);
    CHECK(has_font);
    CHECK(std::wstring(title) == L"Installing Driver...");
    CHECK((style & (WS_POPUP | WS_CAPTION | WS_THICKFRAME)) == (WS_POPUP | WS_CAPTION | WS_THICKFRAME));
    CHECK((style & WS_SYSMENU) == 0);  // no close box
    CHECK((ex_style & WS_EX_CONTROLPARENT) != 0);
}

TEST_CASE("in a high-contrast black theme the text is drawn in the button-text colour, not black") {
    setup();
    hold_standin();
    Package p("code:5 wait code:6 status:0 close exit:0");
    Run r{{}, &p};
    const int elements[] = {COLOR_BTNFACE, COLOR_BTNTEXT};
    const COLORREF saved[] = {GetSysColor(COLOR_BTNFACE), GetSysColor(COLOR_BTNTEXT)};
    const COLORREF black_theme[] = {RGB(0, 0, 0), RGB(255, 255, 255)};
    REQUIRE(SetSysColors(2, elements, black_theme));
    COLORREF text = 0, face = 0;
    bool transparent = false;
    at_checkpoint = [&](HWND d) {
        HWND label = FindWindowExW(d, nullptr, L"Static", nullptr);
        HDC dc = GetDC(label);
        SetTextColor(dc, RGB(0, 0, 0));  // what a fresh device context draws with
        SendMessageW(d, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(label));
        text = GetTextColor(dc);
        transparent = GetBkMode(dc) == TRANSPARENT;
        ReleaseDC(label, dc);
        face = GetSysColor(COLOR_BTNFACE);
    };
    const vesk_result result = r.go([] {
        checkpoint();
        release_standin();
    });
    SetSysColors(2, elements, saved);
    CHECK(result == VESK_OK);
    CHECK(face == RGB(0, 0, 0));
    CHECK(text != face);
    CHECK(text == RGB(255, 255, 255));
    CHECK(transparent);
}

TEST_CASE("the consent and credential programs are those of the system directory") {
    struct Row {
        const wchar_t* image;
        bool prompt;
    };
    static const Row rows[] = {
        {L"C:\\Windows\\System32\\consent.exe", true},
        {L"c:\\windows\\system32\\CONSENT.EXE", true},
        {L"C:\\Windows\\System32\\CredentialUIBroker.exe", true},
        {L"C:\\Windows\\System32\\cmd.exe", false},
        {L"C:\\Windows\\System32\\consent.exe.exe", false},
        {L"C:\\Windows\\System32\\sub\\consent.exe", false},
        {L"C:\\Windows\\System32consent.exe", false},
        {L"C:\\Windows\\SysWOW64\\consent.exe", false},
        {L"C:\\Users\\u\\AppData\\Local\\Temp\\consent.exe", false},
        {L"consent.exe", false},
        {L"", false},
    };
    static const wchar_t* const systems[] = {L"C:\\Windows\\System32", L"C:\\Windows\\System32\\"};
    for (const wchar_t* system : systems)
        for (const Row& r : rows) {
            CAPTURE(std::wstring(r.image).size());
            CAPTURE(r.prompt);
            CHECK(is_prompt_program(r.image, system) == r.prompt);
        }
    CHECK_FALSE(is_prompt_program(nullptr, L"C:\\Windows\\System32"));
}

TEST_CASE("a window that only looks like the prompt does not stop the count") {
    setup();
    // The same title and class, shown by this program, by a copy of the system's consent
    // program outside the system directory, and by another program in the system directory.
    HWND own = CreateWindowExW(0, L"#32770", L"Windows Security", WS_POPUP | WS_VISIBLE, 0, 0, 50, 20, nullptr, nullptr,
                               GetModuleHandleW(nullptr), nullptr);
    REQUIRE(own);
    char temp[MAX_PATH];
    REQUIRE(GetTempPathA(MAX_PATH, temp) > 0);
    PromptProgram elsewhere(std::string(temp) + "consent.exe");
    PromptProgram other_name(system_directory() + "\\vesk-prompt.exe");
    elsewhere.open("#32770", "Windows Security");
    other_name.open("Credential Dialog Xaml Host", "Windows Security");
    CHECK(find_security_prompt() == nullptr);

    hold_standin();
    Package p("code:5 print:installing wait code:6 status:0 close exit:0");
    Run r{{}, &p};
    CHECK(r.go([&] {
        ticks(16), checkpoint();
        release_standin();
    }) == VESK_OK);
    REQUIRE(checkpoints.size() == 1);
    CHECK(checkpoints[0].text == L"Installation can take some time...");
    DestroyWindow(own);
}

TEST_CASE("a prompt stops the count for five minutes in all, no longer") {
    setup();
    PromptProgram consent(system_directory() + "\\consent.exe");
    const HWND prompt = consent.open("#32770", "Windows Security");
    INFO("the double's image as reported: " << consent.reported_image());
    REQUIRE(find_security_prompt() == prompt);
    PromptPause pause;
    int paused = 0;
    for (int i = 0; i < kMaxPromptPauseTicks + 10; ++i) paused += pause_for_security_prompt(pause) ? 1 : 0;
    CHECK(paused == kMaxPromptPauseTicks);
    CHECK(kMaxPromptPauseTicks == 300);
    // Counted from the dialog's start: a new dialog pauses again.
    PromptPause next;
    CHECK(pause_for_security_prompt(next));
    consent.close();
    CHECK_FALSE(pause_for_security_prompt(next));
}

TEST_CASE("the security prompt is a visible top-level dialog titled exactly \"Windows Security\"") {
    setup();
    // Shown by the system directory's consent program, as the prompt is.
    PromptProgram consent(system_directory() + "\\consent.exe");
    struct Row {
        const char* cls;
        const char* title;
        DWORD style;
        bool child;  // below the owner window instead of top-level
        bool found;
    };
    static const Row rows[] = {
        {"#32770", "Windows Security", WS_POPUP | WS_VISIBLE, false, true},
        {"Credential Dialog Xaml Host", "Windows Security", WS_POPUP | WS_VISIBLE, false, true},
        {"Credential Dialog Xaml Host", "Windows Security", WS_BORDER | WS_VISIBLE, false, true},
        // The Windows Security app's own window has the title, not the class.
        {"ApplicationFrameWindow", "Windows Security", WS_POPUP | WS_SYSMENU | WS_VISIBLE, false, false},
        {"Static", "Windows Security", WS_POPUP | WS_VISIBLE, false, false},
        {"#32770", "Windows Security", WS_POPUP, false, false},                          // hidden
        {"#32770", "Windows Security", WS_CHILD | WS_BORDER | WS_VISIBLE, true, false},  // not top-level
        {"#32770", "windows security", WS_POPUP | WS_VISIBLE, false, false},
        {"#32770", "Windows Security ", WS_POPUP | WS_VISIBLE, false, false},
        {"#32770", "Windows", WS_POPUP | WS_VISIBLE, false, false},
    };
    CHECK(find_security_prompt() == nullptr);
    for (const Row& r : rows) {
        CAPTURE(r.cls);
        CAPTURE(r.title);
        CAPTURE(r.style);
        HWND w = consent.open(r.cls, r.title, r.style, r.child ? owner : nullptr);
        INFO("the double's image as reported: " << consent.reported_image());
        CHECK((find_security_prompt() == w) == r.found);
        if (!r.found) CHECK(find_security_prompt() == nullptr);
        consent.close();
    }
    // Two of them: the one enumerated last wins.
    PromptProgram broker(system_directory() + "\\CredentialUIBroker.exe");
    HWND a = consent.open("#32770", "Windows Security");
    HWND b = broker.open("Credential Dialog Xaml Host", "Windows Security");
    EnumOrder order{a, b, nullptr};
    EnumWindows(note_last, reinterpret_cast<LPARAM>(&order));
    REQUIRE(order.last != nullptr);
    CHECK(find_security_prompt() == order.last);
}

TEST_CASE("the end of a run leaves a window that only looks like the prompt") {
    setup();
    // Of the thread that runs the installation (standard mode), but not the system's prompt.
    HWND lookalike = CreateWindowExA(0, "#32770", "Windows Security", WS_POPUP | WS_VISIBLE, 0, 0, 40, 20, nullptr,
                                     nullptr, GetModuleHandleW(nullptr), nullptr);
    REQUIRE(lookalike);
    Package p("status:0 close exit:0");
    TestDevice d;
    CHECK(vesk_install_driver(&d.record, p.dir().c_str(), "x.inf", nullptr) == VESK_OK);
    CHECK(IsWindow(lookalike));
    DestroyWindow(lookalike);
}

namespace {
// The window's geometry in 96-DPI units: at 96 DPI as specified, scaled with a wider line.
struct Geometry {
    SIZE window;
    RECT bar;
    RECT text;
};
constexpr Geometry kAt96 = {{287, 102}, {10, 35, 260, 47}, {12, 12, 262, 28}};
constexpr Geometry kScaled = {{309, 102}, {10, 35, 282, 47}, {12, 12, 284, 28}};
const Geometry& geometry_for(UINT dpi) { return dpi == 96 ? kAt96 : kScaled; }
constexpr DWORD kStyle = WS_POPUP | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN | WS_CAPTION | WS_THICKFRAME;
constexpr DWORD kExStyle = WS_EX_CONTROLPARENT | WS_EX_WINDOWEDGE;

// Every text the line can show, the title first.
const wchar_t* const kAllTexts[] = {
    L"Installing Driver...",
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

int scaled(int value, UINT dpi) { return MulDiv(value, static_cast<int>(dpi), 96); }

// The outer size whose client area is the 96-DPI one scaled to dpi.
SIZE outer_size(UINT dpi) {
    const SIZE at96 = geometry_for(dpi).window;
    if (dpi == 96) return at96;
    RECT base = {0, 0, 0, 0}, frame = {0, 0, 0, 0};
    REQUIRE(AdjustWindowRectExForDpi(&base, kStyle, FALSE, kExStyle, 96));
    REQUIRE(AdjustWindowRectExForDpi(&frame, kStyle, FALSE, kExStyle, dpi));
    return SIZE{scaled(at96.cx - (base.right - base.left), dpi) + (frame.right - frame.left),
                scaled(at96.cy - (base.bottom - base.top), dpi) + (frame.bottom - frame.top)};
}

// What the window shows at one DPI: where its children are, and what each text needs.
struct Layout {
    UINT dpi = 0;
    RECT window{}, client{}, bar{}, text{};
    LONG font_height = 0;
    std::vector<SIZE> needed;  // per text of kAllTexts, in the text control's font
};

RECT child_rect(HWND parent, HWND child) {
    RECT r{};
    GetWindowRect(child, &r);
    MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

Layout read_layout(HWND d, UINT dpi) {
    Layout l;
    l.dpi = dpi;
    GetWindowRect(d, &l.window);
    GetClientRect(d, &l.client);
    HWND bar = FindWindowExW(d, nullptr, PROGRESS_CLASSW, nullptr);
    HWND text = FindWindowExW(d, nullptr, L"Static", nullptr);
    REQUIRE(bar);
    REQUIRE(text);
    l.bar = child_rect(d, bar);
    l.text = child_rect(d, text);
    const auto font = reinterpret_cast<HFONT>(SendMessageW(text, WM_GETFONT, 0, 0));
    LOGFONTW lf{};
    if (font) GetObjectW(font, sizeof lf, &lf);
    l.font_height = lf.lfHeight;
    HDC dc = GetDC(text);
    const HGDIOBJ old = SelectObject(dc, font);
    for (const wchar_t* t : kAllTexts) {
        RECT need{0, 0, 0, 0};
        DrawTextW(dc, t, -1, &need, DT_CALCRECT | DT_SINGLELINE | DT_NOPREFIX);  // as the static draws it
        l.needed.push_back(SIZE{need.right, need.bottom});
    }
    SelectObject(dc, old);
    ReleaseDC(text, dc);
    return l;
}

void check_layout(const Layout& l) {
    CAPTURE(l.dpi);
    CHECK(l.font_height == -scaled(11, l.dpi));
    struct Row {
        const char* name;
        RECT at96;
        RECT is;
    };
    const Row rows[] = {{"bar", geometry_for(l.dpi).bar, l.bar}, {"text", geometry_for(l.dpi).text, l.text}};
    for (const Row& row : rows) {
        CAPTURE(row.name);
        CHECK(row.is.left == scaled(row.at96.left, l.dpi));
        CHECK(row.is.top == scaled(row.at96.top, l.dpi));
        CHECK(row.is.right - row.is.left == scaled(row.at96.right - row.at96.left, l.dpi));
        CHECK(row.is.bottom - row.is.top == scaled(row.at96.bottom - row.at96.top, l.dpi));
        CHECK(row.is.left >= 0);
        CHECK(row.is.top >= 0);
        CHECK(row.is.right <= l.client.right);
        CHECK(row.is.bottom <= l.client.bottom);
    }
    const SIZE room{l.text.right - l.text.left, l.text.bottom - l.text.top};
    for (std::size_t i = 0; i < l.needed.size(); ++i) {
        CAPTURE(i);
        CHECK(l.needed[i].cy <= room.cy);
        // At 96 DPI the fixed 250 pixels stay, although Wine's Tahoma needs 262 for the longest
        // line: reported, not failed. Scaled, the wider line must hold every text.
        if (l.dpi == 96)
            WARN(l.needed[i].cx <= room.cx);
        else
            CHECK(l.needed[i].cx <= room.cx);
    }
}

UINT dpi_of_window(HWND h) {
    const UINT dpi = GetDpiForWindow(h);
    return dpi ? dpi : 96;
}
}  // namespace

TEST_CASE("WM_DPICHANGED lays the window out again at 144 and 192 DPI inside the suggested rectangle") {
    setup();
    hold_standin();
    Package p("code:5 wait code:6 status:0 close exit:0");
    Run r{{}, &p};
    std::vector<Layout> layouts;
    std::vector<RECT> suggested;
    at_checkpoint = [&](HWND d) {
        for (UINT dpi : {144u, 192u, 96u}) {
            const SIZE size = outer_size(dpi);
            const RECT s{30, 40, 30 + size.cx, 40 + size.cy};
            suggested.push_back(s);
            SendMessageW(d, WM_DPICHANGED, MAKEWPARAM(dpi, dpi), reinterpret_cast<LPARAM>(&s));
            layouts.push_back(read_layout(d, dpi));
        }
    };
    CHECK(r.go([] {
        checkpoint();
        release_standin();
    }) == VESK_OK);
    REQUIRE(layouts.size() == 3);
    for (std::size_t i = 0; i < layouts.size(); ++i) {
        const RECT& w = layouts[i].window;
        const RECT& s = suggested[i];
        CAPTURE(layouts[i].dpi);
        CHECK(w.left == s.left);
        CHECK(w.top == s.top);
        CHECK(w.right == s.right);
        CHECK(w.bottom == s.bottom);
        check_layout(layouts[i]);
    }
    // Back at 96 DPI the specified size.
    CHECK(layouts[2].window.right - layouts[2].window.left == 287);
    CHECK(layouts[2].window.bottom - layouts[2].window.top == 102);
}

// Run by the case below in a child process that starts with the display at VESK_LAYOUT_DPI.
TEST_CASE("the layout at the display's DPI" * doctest::skip()) {
    const char* wanted = std::getenv("VESK_LAYOUT_DPI");
    REQUIRE(wanted);
    const UINT dpi = static_cast<UINT>(std::atoi(wanted));
    setup();
    REQUIRE(dpi_of_window(owner) == dpi);
    hold_standin();
    Package p("code:5 wait code:6 status:0 close exit:0");
    Run r{{}, &p};
    Layout layout;
    at_checkpoint = [&](HWND d) { layout = read_layout(d, dpi); };
    CHECK(r.go([] {
        checkpoint();
        release_standin();
    }) == VESK_OK);
    const SIZE size = outer_size(dpi);
    CHECK(layout.window.right - layout.window.left == size.cx);
    CHECK(layout.window.bottom - layout.window.top == size.cy);
    check_layout(layout);
}

TEST_CASE("at LogPixels 96, 144 and 192 the controls lie inside the client area and every text fits") {
    display_dpi::run_at_each_dpi(L"the layout at the display's DPI");
}
