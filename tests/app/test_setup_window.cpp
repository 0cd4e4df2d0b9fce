// The setup window and its worker, in this process: the window runs on the test's thread, so
// the test decides when the window handles its next message and can look at the busy states.
// Devices are synthetic nodes in the Wine prefix; message boxes are answered from a thread.
#include <windows.h>

#include <doctest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "diagnostics.h"
#include "gui_support.h"
#include "wide_strings.h"
#include "libvesk.h"
#include "setup_messages.h"
#include "setup_window_state.h"
#include "setup_window_support.h"
#include "setup_worker.h"
#include "usb_devices.h"
#include "vesk_log.h"

using gui::text_of;
using namespace window_test;

TEST_CASE("the window, its eight controls and the first check that starts by itself") {
    remove_all_fixture_devices();
    fixture::ScopedUsbDevice other(other_device());
    REQUIRE_MESSAGE(other.ok(), other.error());
    Window w;
    REQUIRE(w.hwnd());

    // Before the message loop has run: the starting state, and the check command is waiting.
    CHECK(w.status() == L"Ready to check the device.");
    CHECK(w.enabled(IDC_CHECK_DEVICE));
    CHECK_FALSE(w.enabled(IDC_INSTALL_WINUSB));
    CHECK(w.lines() == kIntro);
    MSG msg;
    REQUIRE(PeekMessageW(&msg, w.hwnd(), WM_COMMAND, WM_COMMAND, PM_REMOVE));
    CHECK(msg.wParam == IDC_CHECK_DEVICE);
    DispatchMessageW(&msg);
    CHECK(w.state().busy);
    CHECK(w.status() == kStatusChecking);
    CHECK_FALSE(w.enabled(IDC_CHECK_DEVICE));
    CHECK_FALSE(w.enabled(IDC_INSTALL_WINUSB));
    CHECK(w.enabled(IDC_COPY_DIAGNOSTICS));
    CHECK(w.enabled(IDC_OPEN_UPDATER));
    REQUIRE(w.wait_idle());
    CHECK(w.status() == kStatusIncomplete);
    CHECK(w.lines_after(kIntro.size()) == Lines{kNoDevice});
    CHECK(w.enabled(IDC_CHECK_DEVICE));

    SUBCASE("main window") {
        CHECK(gui::class_of(w.hwnd()) == kSetupWindowClass);
        CHECK(text_of(w.hwnd()) == kTitle);
        const LONG style = GetWindowLongW(w.hwnd(), GWL_STYLE);
        // Windows adds clip-siblings to every overlapped window itself.
        CHECK((style & ~(WS_VISIBLE | WS_CLIPSIBLINGS)) == (WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX));
        CHECK((GetWindowLongW(w.hwnd(), GWL_EXSTYLE) & ~WS_EX_WINDOWEDGE) == 0);
        RECT r;
        GetWindowRect(w.hwnd(), &r);
        CHECK(r.right - r.left == 716);
        CHECK(r.bottom - r.top == 510);
        CHECK(GetMenu(w.hwnd()) == nullptr);
        CHECK(GetClassLongPtrW(w.hwnd(), GCL_STYLE) == 0);
        // The program's own icon (this test program carries it too), large and small.
        CHECK(GetClassLongPtrW(w.hwnd(), GCLP_HICON) != 0);
        CHECK(GetClassLongPtrW(w.hwnd(), GCLP_HICONSM) != 0);
        CHECK(GetClassLongPtrW(w.hwnd(), GCLP_HBRBACKGROUND) == COLOR_WINDOW + 1);
        CHECK(reinterpret_cast<HCURSOR>(GetClassLongPtrW(w.hwnd(), GCLP_HCURSOR)) == LoadCursorW(nullptr, IDC_ARROW));
    }

    SUBCASE("controls in creation order") {
        struct Row {
            const wchar_t* cls;
            const wchar_t* text;
            LONG style;
            int x, y, width, height, id;
        };
        const LONG pane_style = WS_BORDER | WS_VSCROLL | WS_TABSTOP | ES_MULTILINE | ES_AUTOVSCROLL | ES_READONLY;
        const Row rows[] = {
            {L"Static", L"Morvane Windows Driver Setup", 0, 20, 16, 630, 24, 0},
            {L"Static",
             L"Windows 10/11 x86/x64 only. Connect Morvane while holding BOOT0.\r\n"
             L"Disconnect other AT32 DFU devices. Only WinUSB for 2E3C:DF11 can be installed.\r\n"
             L"This does not flash firmware or erase your games and saved settings.",
             0, 20, 46, 660, 62, 0},
            {L"Static", kStatusIncomplete, SS_OWNERDRAW, 20, 116, 660, 24, 0},  // it draws the icon
            {L"Button", L"Check device", WS_TABSTOP | BS_DEFPUSHBUTTON, 20, 150, 130, 32, 101},
            {L"Button", L"Install WinUSB", WS_TABSTOP | WS_DISABLED, 162, 150, 150, 32, 102},
            {L"Button", L"Copy diagnostics", WS_TABSTOP, 324, 150, 150, 32, 103},
            {L"Button", L"Open updater", WS_TABSTOP, 486, 150, 150, 32, 104},
            {L"Static", L"&Diagnostics:", 0, 20, 184, 660, 16, 0},  // names the pane
            {L"Edit", nullptr, pane_style, 20, 200, 660, 262, 0},
        };
        const std::size_t pane = 8;
        const std::vector<HWND> controls = gui::children(w.hwnd());
        REQUIRE(controls.size() == std::size(rows));
        // The system's message font at the window's DPI, bold in the status line.
        const HGDIOBJ font = w.state().font.get();
        REQUIRE(font);
        CHECK(font != GetStockObject(DEFAULT_GUI_FONT));
        for (std::size_t i = 0; i < controls.size(); ++i) {
            const Row& row = rows[i];
            const HWND c = controls[i];
            CAPTURE(i);
            CHECK(gui::same_ascii_nocase(gui::class_of(c), row.cls));
            if (row.text) CHECK(text_of(c) == row.text);
            // The edit control keeps its border and scroll bar bits to itself (it draws them).
            const LONG mask = i == pane ? ~(WS_BORDER | WS_VSCROLL) : ~0L;
            CHECK((GetWindowLongW(c, GWL_STYLE) & mask) == ((WS_CHILD | WS_VISIBLE | row.style) & mask));
            RECT r;
            GetWindowRect(c, &r);
            MapWindowPoints(nullptr, w.hwnd(), reinterpret_cast<POINT*>(&r), 2);
            CHECK(r.left == row.x);
            CHECK(r.top == row.y);
            CHECK(r.right - r.left == row.width);
            CHECK(r.bottom - r.top == row.height);
            CHECK(GetDlgCtrlID(c) == row.id);
            CHECK(reinterpret_cast<HGDIOBJ>(SendMessageW(c, WM_GETFONT, 0, 0)) ==
                  (i == 2 ? w.state().bold_font.get() : font));
        }
        CHECK(SendMessageW(controls[pane], EM_GETLIMITTEXT, 0, 0) == 250000);
    }
}

TEST_CASE("a check ends in the outcome that the connected devices call for") {
    struct Row {
        const char* name;
        std::vector<fixture::UsbDevice> devices;
        Lines lines;  // after the two opening lines
        const wchar_t* status;
        bool install_enabled;
        std::string checked_id;  // remembered afterwards
    };
    fixture::UsbDevice refused = fixture::bootloader("5&AA&0&1");
    refused.compatible_ids = {"USB\\Class_FE&SubClass_01"};
    fixture::UsbDevice winusb = fixture::bootloader("5&CC&0&3");
    winusb.service = "WinUSB";
    winusb.driver_version = "6.1.7600.16385";
    const Row rows[] = {
        {"an unrelated device only", {other_device()}, {kNoDevice}, kStatusIncomplete, false, ""},
        {"a bootloader without DFU protocol",
         {refused},
         {L"Refusing this device: its IDs/interface do not match the supported non-composite DFU bootloader.",
          L"Hardware ID: USB\\VID_2E3C&PID_DF11&REV_0200; compatible ID: USB\\Class_FE&SubClass_01; composite: 0"},
         kStatusIncomplete,
         false,
         ""},
        {"two bootloaders",
         {fixture::bootloader("5&AA&0&1"), fixture::bootloader("5&BB&0&2")},
         {L"More than one AT32 DFU device is connected. Disconnect other DFU devices, then check again."},
         kStatusIncomplete,
         false,
         ""},
        {"a bootloader that already has WinUSB",
         {winusb},
         {L"Found DFU 2E3C:DF11. Current driver: WinUSB", L"WinUSB is already installed. No driver changes are needed.",
          L"Close other flashing tools, reconnect in BOOT0, then use " UPDATER_HOST "/updater."},
         kStatusAlready,
         false,
         bootloader_id("5&CC&0&3")},
        {"one bootloader without a driver",
         {fixture::bootloader("5&DD&0&4")},
         {kFoundNone, kReady},
         kStatusChecked,
         true,
         bootloader_id("5&DD&0&4")},
    };
    for (const Row& row : rows) {
        CAPTURE(std::string(row.name));
        remove_all_fixture_devices();
        std::vector<std::unique_ptr<fixture::ScopedUsbDevice>> devices;
        for (const fixture::UsbDevice& d : row.devices) {
            devices.push_back(std::make_unique<fixture::ScopedUsbDevice>(d));
            REQUIRE_MESSAGE(devices.back()->ok(), devices.back()->error());
        }
        Window w;
        REQUIRE(w.settle());
        CHECK(w.lines_after(kIntro.size()) == row.lines);
        CHECK(w.status() == row.status);
        CHECK(w.enabled(IDC_CHECK_DEVICE));
        CHECK(w.enabled(IDC_INSTALL_WINUSB) == row.install_enabled);
        CHECK(w.checked_id() == row.checked_id);
    }
}

TEST_CASE("no USB device at all: the scan's own failure is reported") {
    remove_all_fixture_devices();
    Window w;
    REQUIRE(w.settle());
    const Lines lines = w.lines_after(kIntro.size());
    // Other USB nodes of the prefix (none in a fresh one) would give the no-device line instead.
    REQUIRE(lines.size() == 1);
    CHECK(lines[0].rfind(L"Device scan failed (", 0) == 0);
    CHECK(w.status() == kStatusIncomplete);
}

TEST_CASE("install: only after a check, only on Yes, only for the checked device") {
    remove_all_fixture_devices();
    const DWORD pid = GetCurrentProcessId();

    SUBCASE("the command does nothing while the button is disabled or no device was checked") {
        fixture::ScopedUsbDevice other(other_device());
        Window w;
        REQUIRE(w.settle());
        const std::wstring pane = w.pane();
        {
            gui::Answerer box(pid, IDNO, 1000);
            w.command(IDC_INSTALL_WINUSB);  // disabled
            CHECK_FALSE(box.seen());
        }
        EnableWindow(w.item(IDC_INSTALL_WINUSB), TRUE);  // enabled, but nothing was checked
        REQUIRE(w.checked_id().empty());
        {
            gui::Answerer box(pid, IDNO, 1000);
            w.command(IDC_INSTALL_WINUSB);
            CHECK_FALSE(box.seen());
        }
        CHECK_FALSE(w.state().busy);
        CHECK(w.status() == kStatusIncomplete);
        CHECK(w.pane() == pane);
    }

    SUBCASE("No to the confirmation changes nothing") {
        fixture::ScopedUsbDevice boot(fixture::bootloader());
        REQUIRE(boot.ok());
        Window w;
        REQUIRE(w.settle());
        REQUIRE(w.status() == kStatusChecked);
        const std::wstring pane = w.pane();
        const std::vector<std::wstring> dirs = gui::package_directories();
        gui::Answerer answer(pid, IDNO, kBoxMs);
        w.command(IDC_INSTALL_WINUSB);
        const gui::Box& box = answer.box();
        REQUIRE(box.hwnd);
        CHECK(box.caption == kConfirmCaption);
        CHECK(box.text == kConfirmText);
        CHECK(box.owner == w.hwnd());
        CHECK(box.buttons == std::vector<int>{IDYES, IDNO});
        CHECK(box.default_button == IDNO);
        CHECK(box.icon == LoadIconW(nullptr, IDI_QUESTION));
        gui::pump_messages();
        CHECK_FALSE(w.state().busy);
        CHECK(w.status() == kStatusChecked);
        CHECK(w.enabled(IDC_CHECK_DEVICE));
        CHECK(w.enabled(IDC_INSTALL_WINUSB));
        CHECK(w.pane() == pane);
        CHECK(w.checked_id() == boot.instance_id());
        CHECK(gui::package_directories() == dirs);
    }

    SUBCASE("a bootloader swapped in after the check is refused and the checked ID kept") {
        auto first = std::make_unique<fixture::ScopedUsbDevice>(fixture::bootloader("5&1A&0&1"));
        REQUIRE(first->ok());
        Window w;
        REQUIRE(w.settle());
        REQUIRE(w.status() == kStatusChecked);
        first.reset();
        fixture::ScopedUsbDevice second(fixture::bootloader("5&2B&0&2"));
        REQUIRE(second.ok());
        const std::size_t before = w.lines().size();
        const std::vector<std::wstring> dirs = gui::package_directories();
        gui::Answerer answer(pid, IDYES, kBoxMs);
        w.command(IDC_INSTALL_WINUSB);
        CHECK(answer.seen());
        CHECK(w.status() == L"Installing and verifying WinUSB...");
        REQUIRE(w.wait_idle());
        CHECK(w.lines_after(before) ==
              Lines{kFoundNone,
                    L"The connected device changed after the check. Nothing was installed. Check the device again."});
        CHECK(w.status() == kStatusIncomplete);
        CHECK_FALSE(w.enabled(IDC_INSTALL_WINUSB));
        CHECK(w.checked_id() == bootloader_id("5&1A&0&1"));
        CHECK(gui::package_directories() == dirs);
    }

    SUBCASE("a device that got WinUSB after the check ends with outcome 2 and no directory") {
        fixture::UsbDevice installed = fixture::bootloader();
        installed.driver_version = "6.1.7600.16385";  // the driver key that an installation leaves
        fixture::ScopedUsbDevice boot(installed);
        REQUIRE(boot.ok());
        Window w;
        REQUIRE(w.settle());
        REQUIRE(w.status() == kStatusChecked);
        REQUIRE(fixture::set_usb_device_service(boot.instance_id(), std::string("WINUSB")));
        const std::size_t before = w.lines().size();
        const std::vector<std::wstring> dirs = gui::package_directories();
        gui::Answerer answer(pid, IDYES, kBoxMs);
        w.command(IDC_INSTALL_WINUSB);
        CHECK(answer.seen());
        REQUIRE(w.wait_idle());
        CHECK(w.lines_after(before) == Lines{L"Found DFU 2E3C:DF11. Current driver: WINUSB",
                                             L"WinUSB is already installed. No driver changes are needed.",
                                             L"Close other flashing tools, reconnect in BOOT0, then use " UPDATER_HOST
                                             "/updater."});
        CHECK(w.status() == kStatusAlready);
        CHECK_FALSE(w.enabled(IDC_INSTALL_WINUSB));
        CHECK(gui::package_directories() == dirs);
    }

    SUBCASE("every install makes a new protected package directory") {
        fixture::ScopedUsbDevice boot(fixture::bootloader());
        REQUIRE(boot.ok());
        Window w;
        REQUIRE(w.settle());
        std::vector<std::wstring> made;
        for (int round = 0; round < 2; ++round) {
            CAPTURE(round);
            // Whatever the last install did, a check makes the device installable again.
            fixture::set_usb_device_service(boot.instance_id(), std::nullopt);
            w.command(IDC_CHECK_DEVICE);
            REQUIRE(w.wait_idle());
            REQUIRE(w.status() == kStatusChecked);
            const std::size_t before = w.lines().size();
            const std::vector<std::wstring> dirs = gui::package_directories();
            gui::Answerer answer(pid, IDYES, kBoxMs);
            w.command(IDC_INSTALL_WINUSB);
            REQUIRE(answer.seen());
            REQUIRE(w.wait_idle());
            // The library's own lines may come between the worker's; only the worker's count here.
            Lines lines;
            for (const std::wstring& l : w.lines_after(before))
                if (l.rfind(L"libvesk:", 0) != 0) lines.push_back(l);
            std::vector<std::wstring> now = gui::package_directories();
            REQUIRE(now.size() == dirs.size() + 1);
            std::wstring dir;
            for (const std::wstring& d : now)
                if (std::find(dirs.begin(), dirs.end(), d) == dirs.end()) dir = d;
            made.push_back(dir);
            REQUIRE(lines.size() >= 3);
            CHECK(lines[0] == kFoundNone);
            CHECK(lines[1] == L"Driver package and installer logs: " + dir);
            CHECK(lines[2] == L"Preparing the fixed WinUSB package. Do not unplug Morvane.");
            // The count of removed earlier directories is said only when there were some.
            for (const std::wstring& l : lines) CHECK(l.rfind(L"Removed 0 ", 0) == std::wstring::npos);
            // "<common application data>\Morvane-Driver-{8-4-4-4-12}"
            const std::size_t name = dir.rfind(L"\\Morvane-Driver-{");
            CHECK(name != std::wstring::npos);
            CHECK(dir.size() - name == std::wstring(L"\\Morvane-Driver-").size() + 38);
            CHECK(dir.back() == L'}');
            check_package_dacl(dir);
        }
        CHECK(made[0] != made[1]);
    }
}

TEST_CASE("closing while busy shows the busy box and the operation goes on") {
    remove_all_fixture_devices();
    fixture::ScopedUsbDevice boot(fixture::bootloader());
    REQUIRE(boot.ok());
    Window w;
    REQUIRE(w.settle());
    w.command(IDC_CHECK_DEVICE);
    REQUIRE(w.state().busy);
    gui::Answerer answer(GetCurrentProcessId(), IDOK, kBoxMs);
    SendMessageW(w.hwnd(), WM_CLOSE, 0, 0);
    const gui::Box& box = answer.box();
    REQUIRE(box.hwnd);
    CHECK(box.caption == L"Driver setup is busy");
    CHECK(box.text == L"Please wait for the current driver operation to finish.");
    CHECK(box.owner == w.hwnd());
    CHECK(box.icon == LoadIconW(nullptr, IDI_INFORMATION));
    CHECK(IsWindow(w.hwnd()));
    REQUIRE(w.wait_idle());
    CHECK(w.status() == kStatusChecked);
    CHECK(IsWindow(w.hwnd()));
    // Idle now: the window closes, the logger lets go and the loop is told to quit with 0.
    SendMessageW(w.hwnd(), WM_CLOSE, 0, 0);
    CHECK_FALSE(IsWindow(w.hwnd()));
    MSG quit;
    REQUIRE(PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    CHECK(quit.wParam == 0);
}

TEST_CASE("the diagnostics pane: line conversion, the limit, the clipboard") {
    remove_all_fixture_devices();
    Window w;
    REQUIRE(w.settle());

    SUBCASE("lines of every length the conversion allows, and one more") {
        struct Row {
            const char* name;
            std::string line;
            std::wstring shown;
        };
        const std::wstring undecodable = L"[Could not decode diagnostic message]";
        const Row rows[] = {
            {"4092 characters", std::string(4092, 'a'), std::wstring(4092, L'a')},
            {"4093 characters", std::string(4093, 'b'), undecodable},
            {"a library-sized line of 8191 bytes", std::string(8191, 'c'), undecodable},
            {"2046 three-byte characters (4092 units)",
             [] {
                 std::string s;
                 for (int i = 0; i < 2046; ++i) s += "\xE2\x82\xAC\xE2\x82\xAC";
                 return s;
             }(),
             std::wstring(4092, L'\x20AC')},
            {"an invalid byte",
             "a\xFF"
             "b",
             L"a\xFFFD"
             L"b"},
            {"empty", "", L""},
        };
        for (const Row& row : rows) {
            CAPTURE(std::string(row.name));
            const std::size_t before = w.lines().size();
            w.append(row.line.c_str());
            const std::wstring pane = w.pane();
            CHECK(pane.size() >= 2);
            CHECK(pane.substr(pane.size() - 2) == L"\r\n");
            const Lines lines = gui::split_lines(pane);
            REQUIRE(lines.size() == before + 1);
            CHECK(lines.back() == row.shown);
        }
    }

    SUBCASE("worker lines: a heap copy, a cut line, and one that could not be copied") {
        const std::size_t before = w.lines().size();
        char* copy = static_cast<char*>(std::malloc(6));
        std::memcpy(copy, "hello", 6);
        PostMessageW(w.hwnd(), WM_SETUP_DIAGNOSTIC, 0, reinterpret_cast<LPARAM>(copy));
        PostMessageW(w.hwnd(), WM_SETUP_DIAGNOSTIC, 1, 0);
        post_diagnostic("%s", std::string(3000, 'x').c_str());
        REQUIRE(gui::wait_for([&] { return w.lines().size() == before + 3; }, 5000));
        CHECK(w.lines_after(before) ==
              Lines{L"hello", L"Not enough memory to record a diagnostic message.", std::wstring(2047, L'x')});
    }

    SUBCASE("library lines from the warning level up") {
        const std::size_t before = w.lines().size();
        vesk_log_message(VESK_LOG_INFO, "test_source", "an info line %d", 1);
        vesk_log_message(VESK_LOG_WARNING, "test_source", "a warning line %d", 2);
        vesk_log_message(VESK_LOG_ERROR, "test_source", "an error line %d", 3);
        REQUIRE(gui::wait_for([&] { return w.lines().size() >= before + 2; }, 5000));
        gui::pump_messages();
        CHECK(w.lines_after(before) ==
              Lines{L"libvesk:warning [test_source] a warning line 2", L"libvesk:error [test_source] an error line 3"});
    }

    SUBCASE("copy: the whole pane, then an empty one") {
        gui::put_clipboard_text(L"stale");
        w.command(IDC_COPY_DIAGNOSTICS);
        const std::wstring copied = gui::clipboard_text();
        CHECK(copied == w.pane());
        std::wstring intro;
        for (const std::wstring& l : kIntro) intro += l + L"\r\n";
        CHECK(copied.rfind(intro, 0) == 0);
        SetWindowTextW(w.state().pane, L"");
        w.command(IDC_COPY_DIAGNOSTICS);
        CHECK(gui::clipboard_text() == L"");
        CHECK(w.pane() == L"");  // no failure line
    }

    SUBCASE("the pane stops at 250000 characters and the window goes on") {
        const std::string line(998, 'p');  // 1000 characters with CR LF
        for (int i = 0; i < 260; ++i) w.append(line.c_str());
        CHECK(GetWindowTextLengthW(w.state().pane) == 250000);
        w.append("one more");
        CHECK(GetWindowTextLengthW(w.state().pane) == 250000);
        w.command(IDC_CHECK_DEVICE);
        REQUIRE(w.wait_idle());
        CHECK(w.status() == kStatusIncomplete);
        CHECK(GetWindowTextLengthW(w.state().pane) == 250000);
    }
}
