// One setup window on the test's thread, the texts the tests compare and the synthetic devices
// they connect: shared by the window's test programs.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "gui_support.h"
#include "setup_window_state.h"
#include "usb_devices.h"

using Lines = std::vector<std::wstring>;

namespace window_test {

inline constexpr int kOperationMs = 30000;
inline constexpr int kBoxMs = 10000;
inline constexpr wchar_t kIntro1[] = L"Morvane Windows Driver Setup 1.0.1 / libvesk 1.5.1";
inline constexpr wchar_t kIntro2[] =
    L"AT32 bootloader IDs are shared; this helper cannot uniquely identify the Morvane brand.";
// A build with the co-installer stand-ins says so first, and in its title.
#if VESK_CARRIES_STANDINS
inline constexpr wchar_t kTitle[] = L"Morvane Windows Driver Setup (test build)";
inline const Lines kIntro = {
    L"This test build carries test stand-ins of Microsoft's co-installers and cannot install a driver on a real PC.",
    kIntro1, kIntro2};
#else
inline constexpr wchar_t kTitle[] = L"Morvane Windows Driver Setup";
inline const Lines kIntro = {kIntro1, kIntro2};
#endif
inline constexpr wchar_t kNoDevice[] =
    L"No AT32 DFU device found. Connect Morvane while holding BOOT0, then click Check device.";
inline constexpr wchar_t kFoundNone[] = L"Found DFU 2E3C:DF11. Current driver: (none)";
inline constexpr wchar_t kReady[] =
    L"Ready. Confirm this is your only connected AT32 DFU device, then click Install WinUSB.";
inline constexpr wchar_t kStatusChecked[] = L"DFU device checked. Install WinUSB when ready.";
inline constexpr wchar_t kStatusIncomplete[] =
    L"Driver setup did not complete. Read diagnostics and check the device again.";
inline constexpr wchar_t kStatusAlready[] = L"WinUSB is already installed. Open the updater.";
inline constexpr wchar_t kStatusChecking[] = L"Checking the connected DFU device...";
inline constexpr wchar_t kConfirmCaption[] = L"Confirm Morvane driver setup";
inline constexpr wchar_t kConfirmText[] =
    L"Install WinUSB for the connected AT32 DFU bootloader (2E3C:DF11)?\n\n"
    L"This ID is shared with other AT32 boards. Confirm only your Morvane is connected in DFU mode.\n\n"
    L"This does not flash firmware, erase games or change normal controller drivers.";

// Removes what an interrupted earlier run may have left, so that every case starts bare.
inline void remove_all_fixture_devices() {
    for (const std::string& id : fixture::fixture_devices()) fixture::remove_usb_device(id);
}

// An unrelated USB device, so that a scan lists something without finding the bootloader.
inline fixture::UsbDevice other_device() {
    fixture::UsbDevice hub;
    hub.instance_id = "USB\\VID_05E3&PID_0610\\6&2B&0&1";
    hub.hardware_ids = {"USB\\VID_05E3&PID_0610&REV_9226", "USB\\VID_05E3&PID_0610"};
    hub.compatible_ids = {"USB\\Class_09&SubClass_00&Prot_01"};
    hub.service = "usbhub";
    hub.driver_version = "10.0.19041.1";
    return hub;
}

inline std::string bootloader_id(const char* serial) { return std::string("USB\\VID_2E3C&PID_DF11\\") + serial; }

// One setup window on this thread, with fresh window state; on the way out it waits for a
// running operation, destroys the window and unregisters the class, so that the next case can
// create its own.
class Window {
public:
    Window() {
        hwnd_ = create_setup_window(GetModuleHandleW(nullptr));
        if (hwnd_) ShowWindow(hwnd_, SW_SHOWNORMAL);
    }
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;
    ~Window() {
        // A window the test closed itself has freed its state with it.
        if (IsWindow(hwnd_)) {
            gui::wait_for([this] { return !state().busy; }, kOperationMs);
            DestroyWindow(hwnd_);
        }
        gui::pump_messages();
        UnregisterClassW(kSetupWindowClass, GetModuleHandleW(nullptr));
    }
    HWND hwnd() const { return hwnd_; }
    HWND item(int id) const { return GetDlgItem(hwnd_, id); }
    bool enabled(int id) const { return IsWindowEnabled(item(id)) != FALSE; }
    // The window's own state (it lives as long as the window).
    const setup_window_state& state() const { return *setup_window_state_of(hwnd_); }
    std::string checked_id() const { return state().checked_device_id; }
    void append(const char* line) const { append_diagnostic_line(hwnd_, line); }
    std::wstring status() const { return gui::text_of(state().status_line); }
    std::wstring pane() const { return gui::text_of(state().pane); }
    Lines lines() const { return gui::pane_lines(pane()); }
    // Lines added after the first `from` lines.
    Lines lines_after(std::size_t from) const {
        Lines all = lines();
        return from < all.size() ? Lines(all.begin() + static_cast<std::ptrdiff_t>(from), all.end()) : Lines{};
    }
    bool wait_idle() const {
        return gui::wait_for([this] { return !state().busy; }, kOperationMs);
    }
    // Handles the automatic first check (or whatever runs) to its end.
    bool settle() const {
        gui::pump_messages();
        return wait_idle();
    }
    void command(int id) const { SendMessageW(hwnd_, WM_COMMAND, static_cast<WPARAM>(id), 0); }

private:
    HWND hwnd_ = nullptr;
};

}  // namespace window_test
