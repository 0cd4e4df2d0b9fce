// vesk_create_list / vesk_destroy_list against synthetic USB device nodes in the Wine prefix.
// The prefix starts without USB devices; every node made here is removed again.
#include <windows.h>

#include <setupapi.h>

#include <doctest.h>

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "libvesk.h"
#include "log_capture.h"
#include "usb_devices.h"

namespace {
using fixture::UsbDevice;

constexpr char kSource[] = "vesk_create_list";
std::string line(const char* level, const std::string& text) {
    return std::string("libvesk:") + level + " [" + kSource + "] " + text;
}

UsbDevice node(const std::string& id) {
    UsbDevice d;
    d.instance_id = id;
    const std::size_t cut = id.rfind('\\');
    d.hardware_ids = {id.substr(0, cut)};
    return d;
}

// The representative set: each one shows a rule of the list.
std::vector<UsbDevice> devices() {
    std::vector<UsbDevice> v;
    v.push_back(fixture::bootloader("5&B00T&0&1"));
    v.back().upper_filters = {"libusb0", "second"};

    UsbDevice parent = node("USB\\VID_046D&PID_C52B\\5&C0MP&0&2");  // composite parent
    parent.service = "usbccgp";
    parent.driver_version = "10.0.19041.1";
    parent.bus_desc = "USB Receiver";
    v.push_back(parent);

    UsbDevice iface = node("USB\\VID_046D&PID_C52B&MI_02\\6&1&0&2");
    iface.service = "HidUsb";
    iface.driver_version = "1.2.3.4.5.6.7.8.9.10.11";  // 23 characters: fits the 24-byte buffer
    iface.bus_desc = "USB Receiver";
    v.push_back(iface);

    UsbDevice hub = node("USB\\VID_05E3&PID_0610\\5&HUB&0&3");  // external hub, driver key without version
    hub.service = "USBHUB3";
    hub.driver_key = true;
    hub.device_desc = "Generic USB Hub";
    v.push_back(hub);

    UsbDevice root = node("USB\\ROOT_HUB30\\4&R00T&0&0");  // root hub: no vendor part
    root.service = "usbhub3";
    root.driver_key = true;
    // Named: a root hub without a description would take an "Unknown Device" number before it
    // is dropped, since the numbering counts every device that gets that far.
    root.device_desc = "USB Root Hub (USB 3.0)";
    v.push_back(root);

    UsbDevice empty = node("USB\\VID_1234&PID_0001\\EMPTY");  // bus description exists but is empty
    empty.bus_desc = "";
    empty.device_desc = "Registry description";
    v.push_back(empty);

    for (const char* u : {"USB\\VID_1234&PID_0002\\U1", "USB\\VID_1234&PID_0002\\U2", "USB\\VID_1234&PID_0002\\U3"})
        v.push_back(node(u));  // no description at all

    UsbDevice long_ids = node("USB\\VID_1234&PID_0003\\LONG");
    long_ids.hardware_ids = {std::string(100, 'A'), std::string(100, 'B'), std::string(100, 'C')};
    long_ids.device_desc = "Long IDs";
    v.push_back(long_ids);

    UsbDevice pad = node("USB\\VID_1234&PID_0004\\TRIM");
    pad.bus_desc = "Padded \t ";
    v.push_back(pad);

    UsbDevice bad = node("USB\\VID_XYZW&PID_0005\\BAD");
    bad.device_desc = "Bad vendor";
    v.push_back(bad);

    UsbDevice longver = node("USB\\VID_1234&PID_0006\\LONGVER");  // 24 characters: does not fit
    longver.service = "WinUSB";
    longver.driver_version = "1.2.3.4.5.6.7.8.9.10.111";
    v.push_back(longver);

    UsbDevice long_iface = node("USB\\VID_1234&PID_0007&MI_01\\LONGDESC");
    long_iface.device_desc = std::string(239, 'i');
    v.push_back(long_iface);
    UsbDevice fits_iface = node("USB\\VID_1234&PID_0007&MI_03\\FITDESC");
    fits_iface.device_desc = std::string(238, 'i');
    v.push_back(fits_iface);
    UsbDevice long_parent = node("USB\\VID_1234&PID_0008\\LONGPARENT");
    long_parent.service = "usbccgp";
    long_parent.device_desc = std::string(236, 'p');
    v.push_back(long_parent);
    UsbDevice fits_parent = node("USB\\VID_1234&PID_0009\\FITPARENT");
    fits_parent.service = "usbccgp";
    fits_parent.device_desc = std::string(235, 'p');
    v.push_back(fits_parent);
    return v;
}

struct Nodes {
    std::vector<std::unique_ptr<fixture::ScopedUsbDevice>> made;
    explicit Nodes(const std::vector<UsbDevice>& list) {
        for (const UsbDevice& d : list) {
            made.push_back(std::make_unique<fixture::ScopedUsbDevice>(d));
            REQUIRE_MESSAGE(made.back()->ok(), made.back()->error());
        }
    }
};

// Instance IDs in the order the system enumerates them, independent of the library.
std::vector<std::string> enumeration_order() {
    std::vector<std::string> ids;
    HDEVINFO set = SetupDiGetClassDevsA(nullptr, "USB", nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) return ids;
    SP_DEVINFO_DATA d = {};
    d.cbSize = sizeof d;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &d); ++i) {
        char id[256];
        if (SetupDiGetDeviceInstanceIdA(set, &d, id, sizeof id, nullptr)) ids.push_back(id);
    }
    SetupDiDestroyDeviceInfoList(set);
    return ids;
}

int index_of(const std::string& id) {
    const std::vector<std::string> ids = enumeration_order();
    for (std::size_t i = 0; i < ids.size(); ++i)
        if (ids[i] == id) return static_cast<int>(i);
    return -1;
}

struct Scan {
    vesk_result result = VESK_ERR_OTHER;
    vesk_device* list = nullptr;
    std::map<std::string, const vesk_device*> by_id;
    std::vector<std::string> order;
    explicit Scan(int installed, int hubs, int trim) {
        const vesk_list_options o = {installed, hubs, trim};
        result = vesk_create_list(&list, &o);
        for (const vesk_device* d = list; d; d = d->next) {
            by_id[d->device_id ? d->device_id : "(null)"] = d;
            order.push_back(d->device_id ? d->device_id : "(null)");
        }
    }
    Scan(const Scan&) = delete;
    Scan& operator=(const Scan&) = delete;
    ~Scan() { CHECK(vesk_destroy_list(list) == VESK_OK); }
    const vesk_device* operator[](const std::string& id) const {
        auto it = by_id.find(id);
        return it == by_id.end() ? nullptr : it->second;
    }
};

std::string text(const char* s) { return s ? s : "(null)"; }

}  // namespace

TEST_CASE("the test prefix has no USB devices of its own") {
    // Every count below relies on it; a prefix with real USB nodes would need another check.
    REQUIRE(enumeration_order().empty());
    vesk_device* list = reinterpret_cast<vesk_device*>(0x1);
    CHECK(vesk_create_list(&list, nullptr) == VESK_ERR_NO_SUCH_DEVICE);
    CHECK(list == nullptr);

    fixture::UsbDevice root = node("USB\\ROOT_HUB30\\4&ONLY&0&0");
    root.service = "usbhub3";
    fixture::ScopedUsbDevice only_root(root);
    REQUIRE(only_root.ok());
    const vesk_list_options all = {1, 1, 1};
    list = reinterpret_cast<vesk_device*>(0x1);
    CHECK(vesk_create_list(&list, &all) == VESK_ERR_NO_SUCH_DEVICE);  // a root hub is never listed
    CHECK(list == nullptr);
    CHECK(vesk_destroy_list(nullptr) == VESK_OK);
}

TEST_CASE("list options decide which devices are listed") {
    Nodes nodes(devices());
    const std::vector<std::string> driverless = {"USB\\VID_2E3C&PID_DF11\\5&B00T&0&1",
                                                 "USB\\VID_1234&PID_0001\\EMPTY",
                                                 "USB\\VID_1234&PID_0002\\U1",
                                                 "USB\\VID_1234&PID_0002\\U2",
                                                 "USB\\VID_1234&PID_0002\\U3",
                                                 "USB\\VID_1234&PID_0003\\LONG",
                                                 "USB\\VID_1234&PID_0004\\TRIM",
                                                 "USB\\VID_XYZW&PID_0005\\BAD",
                                                 "USB\\VID_1234&PID_0007&MI_01\\LONGDESC",
                                                 "USB\\VID_1234&PID_0007&MI_03\\FITDESC"};
    // Composite parents without a driver key: hidden by the hub rule, not by the driver rule.
    const std::vector<std::string> driverless_parents = {"USB\\VID_1234&PID_0008\\LONGPARENT",
                                                         "USB\\VID_1234&PID_0009\\FITPARENT"};
    const std::vector<std::string> installed = {"USB\\VID_046D&PID_C52B&MI_02\\6&1&0&2",
                                                "USB\\VID_1234&PID_0006\\LONGVER"};
    const std::vector<std::string> installed_hubs = {"USB\\VID_046D&PID_C52B\\5&C0MP&0&2",
                                                     "USB\\VID_05E3&PID_0610\\5&HUB&0&3"};
    struct Row {
        int installed, hubs;
        std::vector<const std::vector<std::string>*> groups;
    };
    const Row rows[] = {
        {0, 0, {&driverless}},
        {1, 0, {&driverless, &installed}},
        {0, 1, {&driverless, &driverless_parents}},
        {1, 1, {&driverless, &driverless_parents, &installed, &installed_hubs}},
    };
    const std::vector<std::string> order = enumeration_order();
    for (const Row& r : rows) {
        CAPTURE(r.installed);
        CAPTURE(r.hubs);
        Scan scan(r.installed, r.hubs, 0);
        REQUIRE(scan.result == VESK_OK);
        std::vector<std::string> want;
        for (const std::string& id : order)  // enumeration order is kept
            for (const auto* g : r.groups)
                for (const std::string& w : *g)
                    if (w == id) want.push_back(id);
        CHECK(scan.order == want);
        CHECK(scan["USB\\ROOT_HUB30\\4&R00T&0&0"] == nullptr);
    }
}

TEST_CASE("record fields for a representative set of devices") {
    Nodes nodes(devices());
    LogCapture log;
    REQUIRE(log.ok());
    Scan scan(1, 1, 1);
    REQUIRE(scan.result == VESK_OK);

    const vesk_device* boot = scan["USB\\VID_2E3C&PID_DF11\\5&B00T&0&1"];
    REQUIRE(boot);
    CHECK(boot->vendor_id == 0x2E3C);
    CHECK(boot->product_id == 0xDF11);
    CHECK(boot->composite == 0);
    CHECK(text(boot->description) == "DFU in FS Mode");
    CHECK(boot->driver == nullptr);
    CHECK(text(boot->hardware_id) == "USB\\VID_2E3C&PID_DF11&REV_0200");
    CHECK(text(boot->compatible_id) == "USB\\Class_FE&SubClass_01&Prot_02");
    CHECK(text(boot->upper_filter) == "libusb0");
    CHECK(boot->driver_version == 0);

    const vesk_device* parent = scan["USB\\VID_046D&PID_C52B\\5&C0MP&0&2"];
    REQUIRE(parent);
    CHECK(text(parent->description) == "USB Receiver (Composite Parent)");
    CHECK(text(parent->driver) == "usbccgp");
    CHECK(parent->composite == 0);
    CHECK(parent->driver_version == ((10ull << 48) | (0ull << 32) | (19041ull << 16) | 1));
    CHECK(text(parent->compatible_id).empty());
    CHECK(parent->upper_filter == nullptr);

    const vesk_device* iface = scan["USB\\VID_046D&PID_C52B&MI_02\\6&1&0&2"];
    REQUIRE(iface);
    CHECK(iface->composite == 1);
    CHECK(iface->interface_number == 2);
    CHECK(iface->vendor_id == 0x046D);
    CHECK(iface->product_id == 0xC52B);
    CHECK(text(iface->description) == "USB Receiver (Interface 2)");
    CHECK(iface->driver_version == ((8ull << 48) | (9ull << 32) | (10ull << 16) | 11));

    const vesk_device* hub = scan["USB\\VID_05E3&PID_0610\\5&HUB&0&3"];
    REQUIRE(hub);
    CHECK(text(hub->description) == "Generic USB Hub");
    CHECK(hub->driver_version == 0);

    const vesk_device* empty = scan["USB\\VID_1234&PID_0001\\EMPTY"];
    REQUIRE(empty);
    CHECK(text(empty->description).empty());  // not the registry's description, not "Unknown Device"

    // Numbered in enumeration order within the call.
    int n = 0;
    for (const std::string& id : scan.order) {
        if (id.find("PID_0002\\U") == std::string::npos) continue;
        ++n;
        CAPTURE(id);
        CHECK(text(scan[id]->description) == "Unknown Device #" + std::to_string(n));
    }
    CHECK(n == 3);

    const vesk_device* long_ids = scan["USB\\VID_1234&PID_0003\\LONG"];
    REQUIRE(long_ids);
    CHECK(long_ids->hardware_id != nullptr);
    CHECK(text(long_ids->hardware_id).empty());
    CHECK(text(long_ids->description) == "Long IDs");
    CHECK(log.count(line("error", "Could not get hardware ID")) == 1);

    CHECK(text(scan["USB\\VID_1234&PID_0004\\TRIM"]->description) == "Padded");

    const vesk_device* bad = scan["USB\\VID_XYZW&PID_0005\\BAD"];
    REQUIRE(bad);
    CHECK(bad->vendor_id == 0);
    CHECK(bad->product_id == 5);
    CHECK(log.count(line("error", "Could not convert VID string")) == 1);

    const vesk_device* longver = scan["USB\\VID_1234&PID_0006\\LONGVER"];
    REQUIRE(longver);
    CHECK(longver->driver_version == 0);
    CHECK(text(longver->driver) == "WinUSB");
    // One warning for every device with a service but no version text: LONGVER, the hub and
    // the root hub (logged before it is dropped) with versionless driver keys, and the two
    // parents that have no driver key at all.
    CHECK(log.count(line("warning", "Could not read driver version")) == 5);

    CHECK(text(scan["USB\\VID_1234&PID_0007&MI_01\\LONGDESC"]->description) == std::string(239, 'i'));
    CHECK(text(scan["USB\\VID_1234&PID_0007&MI_03\\FITDESC"]->description) == std::string(238, 'i') + " (Interface 3)");
    CHECK(text(scan["USB\\VID_1234&PID_0008\\LONGPARENT"]->description) == std::string(236, 'p'));
    CHECK(text(scan["USB\\VID_1234&PID_0009\\FITPARENT"]->description) ==
          std::string(235, 'p') + " (Composite Parent)");

    // The debug lines of one device, in the order the scan logs them.
    const int boot_index = index_of("USB\\VID_2E3C&PID_DF11\\5&B00T&0&1");
    const std::vector<std::string> want = {
        line("debug", "Hardware ID: USB\\VID_2E3C&PID_DF11&REV_0200"),
        line("debug", "Compatible ID: USB\\Class_FE&SubClass_01&Prot_02"),
        line("debug", "Upper filter: libusb0"),
        line("debug", "Driverless USB device (" + std::to_string(boot_index) + "): USB\\VID_2E3C&PID_DF11\\5&B00T&0&1"),
        line("debug", "Device description: 'DFU in FS Mode'"),
    };
    const std::vector<std::string>& lines = log.lines();
    std::size_t at = 0;
    for (const std::string& l : lines)
        if (at < want.size() && l == want[at]) ++at;
    CHECK(at == want.size());
    CHECK(log.has(line("debug", "Driver version: 10.0.19041.1")));
    CHECK(
        log.has(line("debug", "usbccgp USB device (" + std::to_string(index_of("USB\\VID_046D&PID_C52B\\5&C0MP&0&2")) +
                                  "): USB\\VID_046D&PID_C52B\\5&C0MP&0&2")));
    bool unknown_line = false;
    const std::string prefix = line("debug", "Could not read device description for " +
                                                 std::to_string(index_of("USB\\VID_1234&PID_0002\\U1")) + ": [0x");
    for (const std::string& l : lines) unknown_line = unknown_line || l.rfind(prefix, 0) == 0;
    CHECK(unknown_line);
}

TEST_CASE("unknown devices are numbered from 1 in every scan; trimming only on request") {
    Nodes nodes(devices());
    for (int round = 0; round < 2; ++round) {
        CAPTURE(round);
        Scan scan(0, 0, round);
        REQUIRE(scan.result == VESK_OK);
        CHECK(text(scan["USB\\VID_1234&PID_0002\\U1"]->description).rfind("Unknown Device #", 0) == 0);
        int n = 0;
        for (const std::string& id : scan.order)
            if (id.find("PID_0002\\U") != std::string::npos)
                CHECK(text(scan[id]->description) == "Unknown Device #" + std::to_string(++n));
        CHECK(text(scan["USB\\VID_1234&PID_0004\\TRIM"]->description) == (round ? "Padded" : "Padded \t "));
    }
}

TEST_CASE("a scan that meets another one fails at once with VESK_ERR_BUSY") {
    // The first scan is held inside the library: with more than 8192 bytes of log lines pending
    // its logging waits for this thread's window to read them, which it does only afterwards.
    std::vector<UsbDevice> many = devices();
    for (int i = 0; i < 20; ++i) many.push_back(node("USB\\VID_1234&PID_1000\\MANY" + std::to_string(i)));
    Nodes nodes(many);
    LogCapture log;
    REQUIRE(log.ok());

    std::atomic<vesk_result> first{VESK_ERR_OTHER};
    std::atomic<bool> done{false};
    vesk_device* first_list = nullptr;
    std::thread scanner([&] {
        const vesk_list_options all = {1, 1, 1};
        first = vesk_create_list(&first_list, &all);
        done = true;
    });
    // Wait (at most 10 s) until the first scan holds its mutex.
    bool held = false;
    for (int i = 0; i < 1000 && !held && !done; ++i) {
        HANDLE m = OpenMutexA(SYNCHRONIZE, FALSE, "Global\\vesk_create_list");
        if (m) {
            held = true;
            CloseHandle(m);  // an open handle of ours would keep the name alive by itself
        } else {
            Sleep(10);
        }
    }
    REQUIRE(held);

    vesk_device* sentinel = reinterpret_cast<vesk_device*>(0x1234);
    vesk_device* slot = sentinel;
    CHECK(vesk_create_list(&slot, nullptr) == VESK_ERR_BUSY);
    CHECK(slot == sentinel);

    // Another process meets the same mutex.
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring cmd = std::wstring(L"\"") + path;
    cmd = cmd.substr(0, cmd.rfind(L'\\')) + L"\\scan_probe.exe\"";
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    REQUIRE(CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    CHECK(WaitForSingleObject(pi.hProcess, 20000) == WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    CHECK(static_cast<int>(code) == -VESK_ERR_BUSY);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);

    CHECK_FALSE(done.load());                  // still held, so both answers above met a running scan
    for (int i = 0; i < 2000 && !done; ++i) {  // let it finish (at most 20 s)
        log.lines();
        Sleep(10);
    }
    scanner.join();
    CHECK(first.load() == VESK_OK);
    CHECK(first_list != nullptr);

    // A destroy that meets another destroy leaves the list alone.
    HANDLE other = CreateMutexA(nullptr, TRUE, "Global\\vesk_destroy_list");
    REQUIRE(other);
    CHECK(vesk_destroy_list(first_list) == VESK_ERR_BUSY);
    CHECK(first_list->device_id != nullptr);
    CloseHandle(other);
    CHECK(vesk_destroy_list(first_list) == VESK_OK);

    // And once the first scan is over, a new one runs.
    Scan again(0, 0, 0);
    CHECK(again.result == VESK_OK);
}
