// find_supported_device and post_diagnostic, checked by the exact lines the setup window would
// receive. Scans run against synthetic device nodes in the Wine prefix.
#include <windows.h>

#include <doctest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "diagnostics.h"
#include "find_device.h"
#include "libvesk.h"
#include "setup_messages.h"
#include "usb_devices.h"

namespace {
constexpr char kNone[] = "No AT32 DFU device found. Connect Morvane while holding BOOT0, then click Check device.";
constexpr char kMany[] = "More than one AT32 DFU device is connected. Disconnect other DFU devices, then check again.";
constexpr char kRefused[] =
    "Refusing this device: its IDs/interface do not match the supported non-composite DFU bootloader.";

// Stands in for the setup window: a message-only window whose posted lines are collected.
class Pane {
public:
    Pane() {
        window_ = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
        setup_window_handle = window_;
    }
    Pane(const Pane&) = delete;
    Pane& operator=(const Pane&) = delete;
    ~Pane() {
        take();
        setup_window_handle = nullptr;
        DestroyWindow(window_);
    }
    // The lines posted so far, in order; "(no copy)" for a wParam-1 message.
    std::vector<std::string> take() {
        std::vector<std::string> lines;
        MSG msg;
        while (PeekMessageW(&msg, window_, WM_SETUP_DIAGNOSTIC, WM_SETUP_DIAGNOSTIC, PM_REMOVE)) {
            char* line = reinterpret_cast<char*>(msg.lParam);
            lines.push_back(msg.wParam == 1 ? "(no copy)" : line ? line : "(null)");
            std::free(line);
        }
        return lines;
    }

private:
    HWND window_ = nullptr;
};

using Lines = std::vector<std::string>;

struct Found {
    bool ok = false;
    vesk_device* list = nullptr;
    vesk_device* device = nullptr;
    Found() { ok = find_supported_device(&list, &device); }
    Found(const Found&) = delete;
    Found& operator=(const Found&) = delete;
    ~Found() {
        if (list) vesk_destroy_list(list);
    }
};

fixture::UsbDevice with_id(fixture::UsbDevice d, const std::string& id) {
    d.instance_id = id;
    return d;
}

std::string scan_failed(vesk_result r) {
    return "Device scan failed (" + std::to_string(r) + "): " + vesk_error_text(r);
}
}  // namespace

TEST_CASE("no device at all, another vendor's device, and a scan that is busy") {
    Pane pane;
    {
        Found f;
        CHECK_FALSE(f.ok);
        CHECK(f.list == nullptr);
        CHECK(f.device == nullptr);
        CHECK(pane.take() == Lines{scan_failed(VESK_ERR_NO_SUCH_DEVICE)});
    }
    fixture::UsbDevice other;
    other.instance_id = "USB\\VID_0483&PID_DF11\\STM";  // the product ID alone is not enough
    other.hardware_ids = {"USB\\VID_0483&PID_DF11"};
    fixture::ScopedUsbDevice stm(other);
    REQUIRE(stm.ok());
    {
        Found f;
        CHECK_FALSE(f.ok);
        CHECK(f.list != nullptr);  // the scan's list is the caller's to free
        CHECK(f.device == nullptr);
        CHECK(pane.take() == Lines{kNone});
    }
    {
        HANDLE other_scan = CreateMutexA(nullptr, TRUE, "Global\\vesk_create_list");
        REQUIRE(other_scan);
        Found f;
        CloseHandle(other_scan);
        CHECK_FALSE(f.ok);
        CHECK(f.list == nullptr);
        CHECK(pane.take() == Lines{scan_failed(VESK_ERR_BUSY)});
    }
}

TEST_CASE("one bootloader is accepted; two, or a composite one, are not chosen") {
    Pane pane;
    fixture::ScopedUsbDevice boot(fixture::bootloader("5&1A2B3C&0&1"));
    REQUIRE(boot.ok());
    {
        Found f;
        REQUIRE(f.ok);
        REQUIRE(f.device != nullptr);
        CHECK(std::string(f.device->device_id) == "USB\\VID_2E3C&PID_DF11\\5&1A2B3C&0&1");
        bool inside = false;
        for (const vesk_device* d = f.list; d; d = d->next) inside = inside || d == f.device;
        CHECK(inside);
        CHECK(pane.take().empty());
    }
    {
        fixture::ScopedUsbDevice second(fixture::bootloader("5&1A2B3C&0&2"));  // a second port
        REQUIRE(second.ok());
        Found f;
        CHECK_FALSE(f.ok);
        CHECK(f.device == nullptr);
        CHECK(pane.take() == Lines{kMany});
    }
}

TEST_CASE("a composite bootloader shows as parent and interface and is refused as more than one") {
    Pane pane;
    fixture::UsbDevice parent = fixture::bootloader();
    parent.instance_id = "USB\\VID_2E3C&PID_DF11\\5&C0MP&0&1";
    parent.compatible_ids = {"USB\\COMPAT_VID_2E3C&Class_FE&SubClass_01&Prot_02"};
    parent.service = "usbccgp";
    parent.driver_key = true;
    fixture::ScopedUsbDevice p(parent);
    REQUIRE(p.ok());
    fixture::ScopedUsbDevice i(with_id(fixture::bootloader(), "USB\\VID_2E3C&PID_DF11&MI_00\\6&C0MP&0&0"));
    REQUIRE(i.ok());
    Found f;
    CHECK_FALSE(f.ok);
    CHECK(pane.take() == Lines{kMany});
}

TEST_CASE("one refused bootloader names its IDs") {
    Pane pane;
    fixture::UsbDevice wrong = fixture::bootloader();
    wrong.compatible_ids = {"USB\\Class_FE&SubClass_01"};  // no DFU protocol
    fixture::ScopedUsbDevice w(wrong);
    REQUIRE(w.ok());
    {
        Found f;
        CHECK_FALSE(f.ok);
        CHECK(f.device == nullptr);
        CHECK(pane.take() == Lines{kRefused,
                                   "Hardware ID: USB\\VID_2E3C&PID_DF11&REV_0200; compatible ID: "
                                   "USB\\Class_FE&SubClass_01; composite: 0"});
    }
    // Missing strings (a copy that could not be made) are named as such.
    vesk_device interface_record = {};
    interface_record.vendor_id = 0x2E3C;
    interface_record.product_id = 0xDF11;
    interface_record.composite = 1;
    char id[] = "USB\\VID_2E3C&PID_DF11&MI_01\\6&1&0&1";
    interface_record.device_id = id;
    vesk_device* device = reinterpret_cast<vesk_device*>(0x1);
    CHECK_FALSE(choose_supported_device(&interface_record, &device));
    CHECK(device == nullptr);
    CHECK(pane.take() == Lines{kRefused, "Hardware ID: (missing); compatible ID: (missing); composite: 1"});

    CHECK_FALSE(choose_supported_device(nullptr, &device));
    CHECK(pane.take() == Lines{kNone});
}

TEST_CASE("post_diagnostic cuts at 2047 bytes and never waits for the window") {
    Pane pane;
    const std::string fits(2047, 'a');
    post_diagnostic("%s", fits.c_str());
    post_diagnostic("%sb", fits.c_str());
    post_diagnostic("%d: %s", 7, "seven");
    CHECK(pane.take() == Lines{fits, fits, "7: seven"});

    // Another thread posts while this one does not pump; the lines wait in order.
    std::thread poster([] {
        for (int i = 0; i < 50; ++i) post_diagnostic("line %d", i);
    });
    poster.join();
    Lines want;
    for (int i = 0; i < 50; ++i) want.push_back("line " + std::to_string(i));
    CHECK(pane.take() == want);

    // Without a window nothing is posted: a null window would make it a message of the posting
    // thread's own queue, which no one reads or frees.
    setup_window_handle = nullptr;
    post_diagnostic("lost");
    MSG msg;
    const bool queued =
        PeekMessageW(&msg, reinterpret_cast<HWND>(-1), WM_SETUP_DIAGNOSTIC, WM_SETUP_DIAGNOSTIC, PM_REMOVE);
    if (queued) std::free(reinterpret_cast<char*>(msg.lParam));
    CHECK_FALSE(queued);
    Pane again;
    CHECK(again.take().empty());
}
