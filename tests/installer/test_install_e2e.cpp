// The whole installation under Wine: the real WinUSB package prepared for a synthetic 2E3C:DF11
// device, then vesk_install_driver in standard mode, which starts the real installer for the
// machine (installer_x64 on the 64-bit test prefix). The catalog is signed with the catalog
// tests' doubles; the configuration manager and the group policy object are the installer's
// doubles (64-bit, for the installer).
#include <windows.h>
#include <setupapi.h>

#include <doctest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

#include "doubles_support.h"
#include "libvesk.h"
#include "run_support.h"
#include "usb_devices.h"

namespace {
constexpr char kInfName[] = "morvane-dfu.inf";

std::string service_of(const std::string& instance_id) {
    HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    SP_DEVINFO_DATA data = {};
    data.cbSize = sizeof data;
    std::string service = "<no node>";
    if (SetupDiOpenDeviceInfoA(set, instance_id.c_str(), nullptr, 0, &data)) {
        char value[256] = {};
        service = SetupDiGetDeviceRegistryPropertyA(set, &data, SPDRP_SERVICE, nullptr, reinterpret_cast<BYTE*>(value),
                                                    sizeof value - 1, nullptr)
                      ? value
                      : "<none>";
    }
    SetupDiDestroyDeviceInfoList(set);
    return service;
}

// The Windows setup log as the installer finds it: WINDIR\inf\setupapi.dev.log. Lines are
// appended while the installation runs, as Windows would.
class SetupLogWriter {
public:
    SetupLogWriter() {
        char windir[MAX_PATH];
        REQUIRE(GetEnvironmentVariableA("WINDIR", windir, MAX_PATH) > 0);
        path_ = std::string(windir) + "\\inf\\setupapi.dev.log";
        thread_ = std::thread([this] {
            for (int n = 1; !stop_; ++n) {
                HANDLE f = CreateFileA(path_.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                       OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
                if (f != INVALID_HANDLE_VALUE) {
                    char line[64];
                    const int len = std::snprintf(line, sizeof line, ">>>  [e2e setup log line %d]\r\n", n);
                    DWORD w = 0;
                    WriteFile(f, line, static_cast<DWORD>(len), &w, nullptr);
                    CloseHandle(f);
                }
                Sleep(50);
            }
        });
    }
    ~SetupLogWriter() {
        stop_ = true;
        thread_.join();
        DeleteFileA(path_.c_str());
    }

private:
    std::string path_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};
}  // namespace

TEST_CASE("a prepared WinUSB package installs onto the synthetic bootloader; nothing else changes") {
    run_test::capture_log();
    run_test::clear_log();
    doubles::reset_records();
    const fixture::UsbDevice boot_record = fixture::bootloader("5&E2E0&0&1");
    fixture::ScopedUsbDevice boot(boot_record);
    REQUIRE_MESSAGE(boot.ok(), boot.error());
    fixture::UsbDevice hub;
    hub.instance_id = "USB\\VID_05E3&PID_0610\\6&2B&0&1";
    hub.hardware_ids = {"USB\\VID_05E3&PID_0610&REV_9226", "USB\\VID_05E3&PID_0610"};
    hub.service = "usbhub";
    fixture::ScopedUsbDevice other(hub);
    REQUIRE_MESSAGE(other.ok(), other.error());
    doubles::ScopedGpoDouble gpo(doubles::env_path(L"VESK_GPO_DOUBLE_X64"), KEY_WOW64_64KEY);

    std::string device_id = boot_record.instance_id;
    std::string hardware_id = boot_record.hardware_ids.front();
    std::string compatible_id = boot_record.compatible_ids.front();
    std::string description = "DFU in FS Mode";
    vesk_device dev{};
    dev.vendor_id = 0x2E3C;
    dev.product_id = 0xDF11;
    dev.device_id = device_id.data();
    dev.hardware_id = hardware_id.data();
    dev.compatible_id = compatible_id.data();
    dev.description = description.data();

    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    const std::string dir = std::string(temp) + "Morvane-Driver-e2e-" + std::to_string(GetCurrentProcessId());
    REQUIRE(CreateDirectoryA(dir.c_str(), nullptr));
    vesk_prepare_options prepare{};
    prepare.driver_kind = VESK_DRIVER_WINUSB;
    prepare.manufacturer = "Morvane";
    REQUIRE_MESSAGE(vesk_prepare_driver(&dev, dir.c_str(), kInfName, &prepare) == VESK_OK, run_test::dump_log());

    vesk_install_options install{};
    install.pending_wait_ms = 30000;
    vesk_result result;
    {
        SetupLogWriter log_writer;
        result = vesk_install_driver(&dev, dir.c_str(), kInfName, &install);
    }
    INFO(run_test::dump_log());
    CHECK(result == VESK_OK);
    CHECK(run_test::has_line("[installer process] Installing driver for " + hardware_id + " - please wait..."));
    CHECK(run_test::has_line("[installer process] driver update completed"));
    CHECK(run_test::has_line("[syslog] >>>  [e2e setup log line"));
    CHECK(run_test::has_line("[installer process] re-enumeration succeeded..."));
    CHECK(service_of(device_id) == "WinUSB");
    CHECK(service_of(hub.instance_id) == "usbhub");
    // Restore points off (1) when the installation began, the value gone again after it.
    const std::vector<std::string> saves = doubles::gpo_saves();
    REQUIRE(saves.size() == 2);
    CHECK(saves[0].find("add=1") != std::string::npos);
    CHECK(saves[0].find("DisableSystemRestore=1") != std::string::npos);
    CHECK(saves[1].find("add=0") != std::string::npos);
    CHECK(saves[1].find("DisableSystemRestore=absent") != std::string::npos);
    CHECK(doubles::policy_value() == "absent");
    doubles::reset_records();
}
