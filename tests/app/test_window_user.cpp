// The setup window as people use it beyond a mouse on a 96-DPI screen: it notices a bootloader
// that is plugged in later, keeps the keyboard focus on a control that can take it, presses the
// state's default button on Enter, shows the outcome's icon and passing notices, matches the
// theme's colours, and lays itself out for 144 and 192 DPI. In this process, like
// test_setup_window; the DPI cases run in a child started with the display's DPI changed.
#include <windows.h>

#include <dbt.h>
#include <doctest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <cstdlib>
#include <string>
#include <vector>

#include "at_display_dpi.h"
#include "gui_support.h"
#include "setup_window_state.h"
#include "setup_window_support.h"
#include "setup_worker.h"
#include "usb_devices.h"
#include "window_keyboard.h"
#include "window_layout.h"

using namespace window_test;

namespace {

constexpr wchar_t kCopied[] = L"Diagnostics copied to the clipboard.";

std::size_t count_of(const Lines& lines, const std::wstring& line) {
    return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
}

// What Windows sends every top-level window when device nodes come or go.
void broadcast_device_change(HWND window) { PostMessageW(window, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0); }

// A burst: `count` notices `gap_ms` apart, the window handling its messages meanwhile.
void device_change_burst(HWND window, int count, int gap_ms) {
    for (int i = 0; i < count; ++i) {
        broadcast_device_change(window);
        gui::wait_for([] { return false; }, gap_ms);
    }
}

HWND focused() { return GetFocus(); }

void activate(const Window& w) {
    SetForegroundWindow(w.hwnd());
    SetActiveWindow(w.hwnd());
    gui::pump_messages();
}

// Presses a key as the message loop hands it to the dialog keyboard handling.
bool press(const Window& w, WPARAM key) {
    MSG msg = {};
    msg.hwnd = GetFocus();
    msg.message = WM_KEYDOWN;
    msg.wParam = key;
    return handle_dialog_keys(w.hwnd(), msg);
}

int default_button(const Window& w) {
    const LRESULT def = SendMessageW(w.hwnd(), DM_GETDEFID, 0, 0);
    return HIWORD(def) == DC_HASDEFID ? LOWORD(def) : 0;
}

// The buttons drawn as the default one.
std::vector<int> drawn_default(const Window& w) {
    std::vector<int> ids;
    for (int id : {IDC_CHECK_DEVICE, IDC_INSTALL_WINUSB, IDC_COPY_DIAGNOSTICS, IDC_OPEN_UPDATER})
        if ((GetWindowLongW(w.item(id), GWL_STYLE) & BS_TYPEMASK) == BS_DEFPUSHBUTTON) ids.push_back(id);
    return ids;
}

bool focus_on_enabled_control(const Window& w) {
    const HWND f = focused();
    return f && IsChild(w.hwnd(), f) && IsWindowEnabled(f);
}

}  // namespace

TEST_CASE("a bootloader plugged in after a failed first check is found, once per burst of news") {
    remove_all_fixture_devices();
    fixture::ScopedUsbDevice other(other_device());
    Window w;
    REQUIRE(w.settle());
    REQUIRE(w.status() == kStatusIncomplete);
    CHECK(w.state().shown_kind == status_kind::warning);  // no device: a warning, not a failure

    SUBCASE("idle: one check about half a second after the last notice, within 3 s") {
        fixture::ScopedUsbDevice boot(fixture::bootloader());
        REQUIRE(boot.ok());
        const std::size_t before = w.lines().size();
        // Windows sends several notices for one plug-in.
        device_change_burst(w.hwnd(), 6, 100);
        const auto last = std::chrono::steady_clock::now();
        CHECK(w.status() == kStatusIncomplete);  // nothing yet: the burst may go on
        REQUIRE(gui::wait_for([&] { return !w.state().busy && w.status() == kStatusChecked; }, 3000));
        CHECK(std::chrono::steady_clock::now() - last < std::chrono::seconds(3));
        gui::wait_for([] { return false; }, 1500);  // no second check comes later
        CHECK(w.lines_after(before) == Lines{kFoundNone, kReady});
        CHECK(w.enabled(IDC_INSTALL_WINUSB));
        CHECK(w.state().shown_kind == status_kind::information);
    }

    SUBCASE("busy: the news waits for the operation's end, then one check; never an install") {
        fixture::ScopedUsbDevice boot(fixture::bootloader());
        REQUIRE(boot.ok());
        const std::size_t before = w.lines().size();
        gui::Answerer no_box(GetCurrentProcessId(), IDNO, 4000);
        w.command(IDC_CHECK_DEVICE);
        REQUIRE(w.state().busy);
        // The news and its half second go by before the running check's end is handled.
        SendMessageW(w.hwnd(), WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
        SendMessageW(w.hwnd(), WM_TIMER, kDeviceChangeTimer, 0);
        CHECK(w.state().busy);
        CHECK(w.state().check_when_idle);
        REQUIRE(w.wait_idle());  // the running check ends, and the next one starts at once
        REQUIRE(w.wait_idle());
        gui::wait_for([] { return false; }, 1500);
        CHECK_FALSE(no_box.seen());  // no confirmation: nothing starts an install by itself
        const Lines after = w.lines_after(before);
        CHECK(count_of(after, kFoundNone) == 2);  // the running check and one after it
        CHECK(count_of(after, kReady) == 2);
        CHECK(w.status() == kStatusChecked);
        CHECK_FALSE(w.state().check_when_idle);
    }

    SUBCASE("other device news is not a reason to check") {
        const std::size_t before = w.lines().size();
        PostMessageW(w.hwnd(), WM_DEVICECHANGE, DBT_CONFIGCHANGED, 0);
        gui::wait_for([] { return false; }, 1200);
        CHECK_FALSE(w.state().busy);
        CHECK(w.lines_after(before).empty());
    }
}

TEST_CASE("the focus stays on an enabled control; Enter presses the state's default button; Tab order") {
    remove_all_fixture_devices();
    const DWORD pid = GetCurrentProcessId();
    auto boot = std::make_unique<fixture::ScopedUsbDevice>(fixture::bootloader());
    REQUIRE(boot->ok());
    const std::string id = boot->instance_id();
    Window w;
    REQUIRE(w.settle());
    REQUIRE(w.status() == kStatusChecked);
    activate(w);

    SUBCASE("default button per state") {
        CHECK(default_button(w) == IDC_INSTALL_WINUSB);  // a device is ready
        CHECK(drawn_default(w) == std::vector<int>{IDC_INSTALL_WINUSB});
        REQUIRE(fixture::set_usb_device_service(id, std::string("WinUSB")));
        w.command(IDC_CHECK_DEVICE);
        REQUIRE(w.wait_idle());
        REQUIRE(w.status() == kStatusAlready);
        CHECK(default_button(w) == IDC_OPEN_UPDATER);
        CHECK(drawn_default(w) == std::vector<int>{IDC_OPEN_UPDATER});
        boot = std::make_unique<fixture::ScopedUsbDevice>(other_device());  // unplugged: the check fails
        w.command(IDC_CHECK_DEVICE);
        REQUIRE(w.wait_idle());
        REQUIRE(w.status() == kStatusIncomplete);
        CHECK(default_button(w) == IDC_CHECK_DEVICE);
        CHECK(drawn_default(w) == std::vector<int>{IDC_CHECK_DEVICE});
    }

    SUBCASE("Enter on another button presses the default one: Install, which asks first") {
        SetFocus(w.item(IDC_COPY_DIAGNOSTICS));
        gui::Answerer answer(pid, IDNO, kBoxMs);
        CHECK(press(w, VK_RETURN));
        const gui::Box& box = answer.box();
        REQUIRE(box.hwnd);
        CHECK(box.caption == L"Confirm Morvane driver setup");
        gui::pump_messages();
        CHECK_FALSE(w.state().busy);
    }

    SUBCASE("Check device: the focus leaves the disabled button for the next enabled one") {
        SetFocus(w.item(IDC_CHECK_DEVICE));
        REQUIRE(focused() == w.item(IDC_CHECK_DEVICE));
        w.command(IDC_CHECK_DEVICE);
        REQUIRE(w.state().busy);
        CHECK(focused() == w.item(IDC_COPY_DIAGNOSTICS));
        CHECK(focus_on_enabled_control(w));
        REQUIRE(w.wait_idle());
        CHECK(focus_on_enabled_control(w));
    }

    SUBCASE("after each message box the focus is on an enabled control") {
        struct Row {
            const char* name;
            int command;  // 0: close the window
            int answer;
        };
        const Row rows[] = {
            {"No to the confirmation", IDC_INSTALL_WINUSB, IDNO},
            {"the busy box", 0, IDOK},
            {"Yes to the confirmation (the device is gone: a short install)", IDC_INSTALL_WINUSB, IDYES},
        };
        for (const Row& row : rows) {
            CAPTURE(std::string(row.name));
            w.command(IDC_CHECK_DEVICE);
            REQUIRE(w.wait_idle());
            activate(w);
            SetFocus(w.item(IDC_INSTALL_WINUSB));
            gui::Answerer answer(pid, row.answer, kBoxMs);
            if (row.command == 0) {
                w.command(IDC_CHECK_DEVICE);  // busy, so closing asks to wait
                SendMessageW(w.hwnd(), WM_CLOSE, 0, 0);
            } else {
                if (row.answer == IDYES) fixture::set_usb_device_service(id, std::string("WinUSB"));
                w.command(row.command);
            }
            REQUIRE(answer.seen());
            gui::pump_messages();
            CHECK(focus_on_enabled_control(w));
            REQUIRE(w.wait_idle());
            CHECK(focus_on_enabled_control(w));
            fixture::set_usb_device_service(id, std::nullopt);
        }
    }

    SUBCASE("the focus comes back when the window is activated again") {
        SetFocus(w.item(IDC_OPEN_UPDATER));
        SendMessageW(w.hwnd(), WM_ACTIVATE, WA_INACTIVE, 0);
        SetFocus(nullptr);
        SendMessageW(w.hwnd(), WM_ACTIVATE, WA_ACTIVE, 0);
        CHECK(focused() == w.item(IDC_OPEN_UPDATER));
        // A control that was disabled meanwhile passes the focus to the first enabled one.
        SetFocus(w.item(IDC_INSTALL_WINUSB));
        SendMessageW(w.hwnd(), WM_ACTIVATE, WA_INACTIVE, 0);
        EnableWindow(w.item(IDC_INSTALL_WINUSB), FALSE);
        SendMessageW(w.hwnd(), WM_ACTIVATE, WA_ACTIVE, 0);
        CHECK(focused() == w.item(IDC_CHECK_DEVICE));
    }

    SUBCASE("Tab goes through the buttons and the pane, in creation order, and out of the pane") {
        const std::vector<HWND> order = {w.item(IDC_CHECK_DEVICE),
                                         w.item(IDC_INSTALL_WINUSB),
                                         w.item(IDC_COPY_DIAGNOSTICS),
                                         w.item(IDC_OPEN_UPDATER),
                                         w.state().pane,
                                         w.item(IDC_CHECK_DEVICE)};
        SetFocus(order[0]);
        for (std::size_t i = 1; i < order.size(); ++i) {
            CAPTURE(i);
            CHECK(press(w, VK_TAB));
            CHECK(focused() == order[i]);
        }
        // The pane is read-only and selectable: it takes the focus, its text stays.
        const LONG pane_style = GetWindowLongW(w.state().pane, GWL_STYLE);
        CHECK((pane_style & WS_TABSTOP) != 0);
        CHECK((pane_style & ES_READONLY) != 0);
        // Its label comes right before it, so that screen readers name it.
        CHECK(GetWindow(w.state().pane, GW_HWNDPREV) == w.state().controls[kPaneLabelControl]);
        CHECK(gui::text_of(w.state().controls[kPaneLabelControl]) == L"&Diagnostics:");
    }
}

TEST_CASE("the status line: the outcome's icon, a passing notice, the removed-directories line") {
    remove_all_fixture_devices();
    auto boot = std::make_unique<fixture::ScopedUsbDevice>(fixture::bootloader());
    Window w;
    REQUIRE(w.settle());
    REQUIRE(w.status() == kStatusChecked);
    CHECK(w.state().shown_kind == status_kind::information);
    // Bold text, in the window's font family.
    LOGFONTW normal = {}, bold = {};
    GetObjectW(w.state().font.get(), sizeof normal, &normal);
    GetObjectW(w.state().bold_font.get(), sizeof bold, &bold);
    CHECK(bold.lfWeight >= FW_BOLD);
    CHECK(normal.lfWeight < FW_BOLD);
    CHECK(std::wstring(bold.lfFaceName) == normal.lfFaceName);

    SUBCASE("Copy diagnostics says it copied, then the status comes back") {
        w.command(IDC_COPY_DIAGNOSTICS);
        CHECK(w.status() == kCopied);
        CHECK(gui::clipboard_text() == w.pane());
        CHECK(gui::wait_for([&] { return w.status() == kStatusChecked; }, static_cast<int>(kCopiedNoticeMs) + 2000));
        CHECK(w.state().shown_kind == status_kind::information);
    }

    SUBCASE("a new status ends the notice at once") {
        w.command(IDC_COPY_DIAGNOSTICS);
        REQUIRE(w.status() == kCopied);
        w.command(IDC_CHECK_DEVICE);
        CHECK(w.status() == kStatusChecking);
        CHECK(w.state().shown_kind == status_kind::none);
        REQUIRE(w.wait_idle());
        gui::wait_for([] { return false; }, static_cast<int>(kCopiedNoticeMs) + 500);
        CHECK(w.status() == kStatusChecked);
    }

    SUBCASE("no USB device at all is no device too: a warning") {
        boot.reset();
        remove_all_fixture_devices();
        w.command(IDC_CHECK_DEVICE);
        REQUIRE(w.wait_idle());
        CHECK(w.status() == kStatusIncomplete);
        CHECK(w.state().shown_kind == status_kind::warning);
    }

    SUBCASE("a failure shows the error icon") {
        boot = std::make_unique<fixture::ScopedUsbDevice>(fixture::bootloader("5&AA&0&1"));
        fixture::ScopedUsbDevice second(fixture::bootloader("5&BB&0&2"));
        w.command(IDC_CHECK_DEVICE);
        REQUIRE(w.wait_idle());
        CHECK(w.status() == kStatusIncomplete);
        CHECK(w.state().shown_kind == status_kind::error);  // two devices: not a missing one
    }
}

TEST_CASE("colours follow the theme: the main window's statics, and a high-contrast black theme") {
    remove_all_fixture_devices();
    Window w;
    REQUIRE(w.settle());
    HDC dc = CreateCompatibleDC(nullptr);
    for (int i : {kTitleControl, kNoticeControl, kPaneLabelControl}) {
        CAPTURE(i);
        SetTextColor(dc, RGB(1, 2, 3));
        SetBkColor(dc, RGB(4, 5, 6));
        const LRESULT brush = SendMessageW(w.hwnd(), WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                                           reinterpret_cast<LPARAM>(w.state().controls[i]));
        CHECK(reinterpret_cast<HBRUSH>(brush) == GetSysColorBrush(COLOR_WINDOW));
        CHECK(GetBkColor(dc) == GetSysColor(COLOR_WINDOW));
        CHECK(GetTextColor(dc) == GetSysColor(COLOR_WINDOWTEXT));
    }
    DeleteDC(dc);
}

TEST_CASE("WM_DPICHANGED: the suggested rectangle, the controls and the font follow") {
    remove_all_fixture_devices();
    Window w;
    REQUIRE(w.settle());
    const UINT dpi = w.state().dpi;
    const UINT next = dpi * 3 / 2;
    const SIZE size = setup_window_size(next);
    RECT suggested = {10, 20, 10 + size.cx, 20 + size.cy};
    LOGFONTW before = {};
    GetObjectW(w.state().font.get(), sizeof before, &before);
    SendMessageW(w.hwnd(), WM_DPICHANGED, MAKEWPARAM(next, next), reinterpret_cast<LPARAM>(&suggested));
    RECT r;
    GetWindowRect(w.hwnd(), &r);
    CHECK(r.left == 10);
    CHECK(r.top == 20);
    CHECK(r.right - r.left == std::min<long>(size.cx, GetSystemMetrics(SM_CXMAXTRACK)));  // cut to the screen
    GetWindowRect(w.state().pane, &r);
    MapWindowPoints(nullptr, w.hwnd(), reinterpret_cast<POINT*>(&r), 2);
    CHECK(r.left == scale_to_dpi(20, next));
    CHECK(r.top == scale_to_dpi(200, next));
    CHECK(r.right - r.left == scale_to_dpi(660, next));
    LOGFONTW after = {};
    GetObjectW(w.state().font.get(), sizeof after, &after);
    CHECK(std::abs(after.lfHeight) > std::abs(before.lfHeight));
    CHECK(reinterpret_cast<HFONT>(SendMessageW(w.state().pane, WM_GETFONT, 0, 0)) == w.state().font.get());
}

namespace {

// Whether text fits a control: measured with the control's own font, wrapped for multi-line
// statics; buttons keep a margin for their edges.
struct Fit {
    SIZE needed;
    SIZE room;
};
Fit measure(HWND control, const std::wstring& text, int extra_width, bool wrap) {
    RECT client;
    GetClientRect(control, &client);
    HDC dc = GetDC(control);
    const HGDIOBJ old = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(control, WM_GETFONT, 0, 0)));
    RECT need = {0, 0, wrap ? client.right : 0, 0};
    DrawTextW(dc, text.c_str(), -1, &need, DT_CALCRECT | DT_NOPREFIX | (wrap ? DT_WORDBREAK : DT_SINGLELINE));
    SelectObject(dc, old);
    ReleaseDC(control, dc);
    return Fit{{need.right + extra_width, need.bottom}, {client.right, client.bottom}};
}

}  // namespace

// Run by the case below in a child process that starts with the display at VESK_LAYOUT_DPI.
TEST_CASE("the layout at one DPI" * doctest::skip()) {
    const char* wanted = std::getenv("VESK_LAYOUT_DPI");
    REQUIRE(wanted);
    const UINT dpi = static_cast<UINT>(std::atoi(wanted));
    remove_all_fixture_devices();
    Window w;
    REQUIRE(w.settle());
    REQUIRE(w.state().dpi == dpi);
    RECT client;
    GetClientRect(w.hwnd(), &client);
    // A window larger than the screen is cut to it (so on a Wine prefix whose display was first
    // seen without X at 1024 by 768): then the controls are held against the client area that
    // the window asks for, which is what a screen large enough gives it.
    const SIZE size = setup_window_size(dpi);
    if (GetSystemMetrics(SM_CXMAXTRACK) < size.cx || GetSystemMetrics(SM_CYMAXTRACK) < size.cy) {
        MESSAGE("the screen is smaller than the window at this DPI; checked against the asked-for client area");
        RECT window_rect;
        GetWindowRect(w.hwnd(), &window_rect);
        client.right += size.cx - (window_rect.right - window_rect.left);
        client.bottom += size.cy - (window_rect.bottom - window_rect.top);
    }
    const int edge = scale_to_dpi(8, dpi);  // a button's frame and some air
    const int icon = scale_to_dpi(kStatusIconSize + kStatusIconGap, dpi);
    for (int i = 0; i < kControlCount; ++i) {
        CAPTURE(i);
        const HWND c = w.state().controls[i];
        RECT r;
        GetWindowRect(c, &r);
        MapWindowPoints(nullptr, w.hwnd(), reinterpret_cast<POINT*>(&r), 2);
        CHECK(r.left >= 0);
        CHECK(r.top >= 0);
        CHECK(r.right <= client.right);
        CHECK(r.bottom <= client.bottom);
        if (i == kPaneControl) continue;
        std::vector<std::wstring> texts = {gui::text_of(c)};
        if (i == kStatusControl) texts = {kStatusIncomplete, kStatusChecked, kStatusChecking, kCopied};
        for (const std::wstring& text : texts) {
            CAPTURE(gui::narrow(text));
            const bool button = i >= kCheckControl && i <= kUpdaterControl;
            const Fit fit = measure(c, text, button ? 2 * edge : i == kStatusControl ? icon : 0, i == kNoticeControl);
            CHECK(fit.needed.cx <= fit.room.cx);
            CHECK(fit.needed.cy <= fit.room.cy);
        }
    }
}

TEST_CASE("at 96, 144 and 192 DPI every control lies inside the window and its text fits") {
    display_dpi::run_at_each_dpi(L"the layout at one DPI");
}
