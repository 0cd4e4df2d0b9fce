// The synthetic-device fixture itself: what it makes is what Wine's enumeration shows, it
// removes only its own nodes, and the prefix's registry is as before once a node is gone.
#include <windows.h>

#include <setupapi.h>

#include <doctest.h>

#include <string>

#include "usb_devices.h"

namespace {

// Names of the subkeys of one HKLM key, in order ("" when it is absent).
std::wstring subkeys(const wchar_t* path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return L"";
    std::wstring names = L"|";
    wchar_t name[256];
    for (DWORD i = 0;; ++i) {
        DWORD n = static_cast<DWORD>(std::size(name));
        if (RegEnumKeyExW(key, i, name, &n, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        names += name;
        names += L"|";
    }
    RegCloseKey(key);
    return names;
}

std::wstring registry_shape() {
    return subkeys(L"SYSTEM\\CurrentControlSet\\Enum") + L"#" + subkeys(L"SYSTEM\\CurrentControlSet\\Enum\\USB") +
           L"#" + subkeys(L"SYSTEM\\CurrentControlSet\\Control\\Class");
}

// The first hardware ID and the service of an instance, as the ANSI enumeration reports them.
struct Seen {
    bool present = false;
    std::string hardware_id, service, driver;
};
Seen enumerate(const char* instance_id) {
    Seen seen;
    HDEVINFO set = SetupDiGetClassDevsA(nullptr, "USB", nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT);
    REQUIRE(set != INVALID_HANDLE_VALUE);
    SP_DEVINFO_DATA d = {};
    d.cbSize = sizeof d;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &d); ++i) {
        char id[256];
        if (!SetupDiGetDeviceInstanceIdA(set, &d, id, sizeof id, nullptr) || lstrcmpiA(id, instance_id) != 0) continue;
        seen.present = true;
        char buf[256];
        if (SetupDiGetDeviceRegistryPropertyA(set, &d, SPDRP_HARDWAREID, nullptr, reinterpret_cast<BYTE*>(buf),
                                              sizeof buf, nullptr))
            seen.hardware_id = buf;
        if (SetupDiGetDeviceRegistryPropertyA(set, &d, SPDRP_SERVICE, nullptr, reinterpret_cast<BYTE*>(buf), sizeof buf,
                                              nullptr))
            seen.service = buf;
        if (SetupDiGetDeviceRegistryPropertyA(set, &d, SPDRP_DRIVER, nullptr, reinterpret_cast<BYTE*>(buf), sizeof buf,
                                              nullptr))
            seen.driver = buf;
    }
    SetupDiDestroyDeviceInfoList(set);
    return seen;
}

}  // namespace

TEST_CASE("a bootloader node is enumerated while it exists and leaves no trace") {
    REQUIRE(fixture::running_under_wine());
    const std::wstring before = registry_shape();
    const char id[] = "USB\\VID_2E3C&PID_DF11\\5&FIXTURE&0&1";
    {
        fixture::ScopedUsbDevice boot(fixture::bootloader("5&FIXTURE&0&1"));
        REQUIRE_MESSAGE(boot.ok(), boot.error());
        const Seen seen = enumerate(id);
        CHECK(seen.present);
        CHECK(seen.hardware_id == "USB\\VID_2E3C&PID_DF11&REV_0200");
        CHECK(seen.service.empty());
        CHECK(seen.driver.empty());

        // A second node with the same instance ID is refused; the first one stays.
        fixture::ScopedUsbDevice twin(fixture::bootloader("5&FIXTURE&0&1"));
        CHECK_FALSE(twin.ok());
        CHECK(enumerate(id).present);

        std::string error;
        REQUIRE(fixture::set_usb_device_service(id, "WinUSB", &error));
        CHECK(enumerate(id).service == "WinUSB");
    }
    CHECK_FALSE(enumerate(id).present);
    CHECK(registry_shape() == before);
}

TEST_CASE("a driver key is made on request and removed with the node") {
    const std::wstring before = registry_shape();
    fixture::UsbDevice d;
    d.instance_id = "USB\\VID_0483&PID_5740\\FIXTURE2";
    d.hardware_ids = {"USB\\VID_0483&PID_5740"};
    d.service = "usbser";
    d.driver_version = "10.0.19041.1";
    {
        fixture::ScopedUsbDevice dev(d);
        REQUIRE_MESSAGE(dev.ok(), dev.error());
        const Seen seen = enumerate(d.instance_id.c_str());
        CHECK(seen.service == "usbser");
        CHECK(seen.driver.rfind("{36FC9E60-C465-11CF-8056-444553540000}\\", 0) == 0);
        CHECK(fixture::describe_usb_device(d.instance_id).find("driver version: 10.0.19041.1") != std::string::npos);
    }
    CHECK(registry_shape() == before);
}

TEST_CASE("nodes the fixture did not make are never removed or changed") {
    const GUID usb = fixture::kUsbClass;
    HDEVINFO set = SetupDiCreateDeviceInfoList(&usb, nullptr);
    REQUIRE(set != INVALID_HANDLE_VALUE);
    SP_DEVINFO_DATA d = {};
    d.cbSize = sizeof d;
    const char id[] = "USB\\VID_1234&PID_0001\\FOREIGN";
    REQUIRE(SetupDiCreateDeviceInfoA(set, id, &usb, nullptr, nullptr, 0, &d));
    REQUIRE(SetupDiRegisterDeviceInfo(set, &d, 0, nullptr, nullptr, nullptr));

    std::string error;
    CHECK_FALSE(fixture::remove_usb_device(id, &error));
    CHECK(error.find("not made by the fixture") != std::string::npos);
    CHECK_FALSE(fixture::set_usb_device_service(id, "WinUSB", &error));
    CHECK(enumerate(id).present);
    CHECK(enumerate(id).service.empty());
    for (const std::string& mine : fixture::fixture_devices()) CHECK(mine != id);

    CHECK(SetupDiRemoveDevice(set, &d));
    SetupDiDestroyDeviceInfoList(set);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_1234&PID_0001");
    CHECK_FALSE(fixture::remove_usb_device("USB\\VID_1234&PID_0001\\ABSENT", &error));
}
