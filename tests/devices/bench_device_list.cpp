// Cost of vesk_create_list over the bare Windows calls it makes: for N synthetic USB devices the
// library's scan and a plain loop of the same SetupAPI/Cfgmgr32 calls (no records, no parsing,
// no logging) are timed alternately in one run; the median of each and their ratio are printed.
// Run by hand (tests/devices/bench-device-list.sh), never as a timed test.
//
//   bench_device_list.exe [N ...]     default 10 100 500
#include <windows.h>

#include <cfgmgr32.h>
#include <devpropdef.h>
#include <setupapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "libvesk.h"
#include "usb_devices.h"

namespace {

constexpr DEVPROPKEY kBusReportedDeviceDesc = {
    {0x540B947E, 0x8B40, 0x45BC, {0xA8, 0xA2, 0x6A, 0x0B, 0x89, 0x4C, 0xBD, 0xA2}}, 4};
constexpr std::size_t kPropertyBytes = 256;
constexpr std::size_t kVersionBytes = 24;
constexpr std::size_t kDescriptionUnits = 256;

// A mix like a real machine: mostly plain devices, some with a driver and version, some
// composite interfaces, a parent and a hub now and then, a few without any description.
fixture::UsbDevice synthetic(int i) {
    char id[96];
    std::snprintf(id, sizeof id, "USB\\VID_%04X&PID_%04X%s\\BENCH&%d", 0x1000 + i % 7, 0x2000 + i,
                  i % 5 == 3 ? "&MI_01" : "", i);
    char hw[96];
    std::snprintf(hw, sizeof hw, "USB\\VID_%04X&PID_%04X&REV_0100", 0x1000 + i % 7, 0x2000 + i);
    fixture::UsbDevice d;
    d.instance_id = id;
    d.hardware_ids = {hw, std::string(hw).substr(0, 21)};
    d.compatible_ids = {"USB\\Class_FF&SubClass_00&Prot_00", "USB\\Class_FF"};
    if (i % 11 != 10) d.bus_desc = "Bench device " + std::to_string(i);
    if (i % 4 == 1) {
        d.service = i % 20 == 1 ? "usbccgp" : i % 20 == 5 ? "usbhub" : "WinUSB";
        d.driver_version = "10.0.19041.1";
    }
    if (i % 9 == 2) d.upper_filters = {"libusb0"};
    return d;
}

double now_ms() {
    static LARGE_INTEGER freq = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return 1000.0 * static_cast<double>(t.QuadPart) / static_cast<double>(freq.QuadPart);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// The library's scan with every option set (as the setup program scans): every device is read
// in full. Returns the number of records, -1 on failure.
int library_scan() {
    const vesk_list_options all = {1, 1, 1};
    vesk_device* list = nullptr;
    const vesk_result r = vesk_create_list(&list, &all);
    if (r != VESK_OK) {
        std::fprintf(stderr, "vesk_create_list: (%d) %s\n", static_cast<int>(r), vesk_error_text(r));
        return -1;
    }
    int n = 0;
    for (const vesk_device* d = list; d; d = d->next) ++n;
    vesk_destroy_list(list);
    return n;
}

// The same Windows calls, in the same order and with the same buffers, and nothing else.
int bare_scan() {
    HMODULE cfgmgr = LoadLibraryExW(L"Cfgmgr32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!cfgmgr) return -1;
    auto get_device_id = reinterpret_cast<decltype(&::CM_Get_Device_IDA)>(
        reinterpret_cast<void (*)()>(GetProcAddress(cfgmgr, "CM_Get_Device_IDA")));
    HDEVINFO set = SetupDiGetClassDevsA(nullptr, "USB", nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT);
    if (!get_device_id || set == INVALID_HANDLE_VALUE) {
        FreeLibrary(cfgmgr);
        return -1;
    }
    int n = 0;
    SP_DEVINFO_DATA data = {};
    data.cbSize = sizeof data;
    char buf[kPropertyBytes];
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &data); ++index) {
        DWORD size = 0;
        if (SetupDiGetDeviceRegistryPropertyA(set, &data, SPDRP_DRIVER, nullptr, reinterpret_cast<BYTE*>(buf),
                                              sizeof buf, &size)) {
            HKEY key = SetupDiOpenDevRegKey(set, &data, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
            if (key != INVALID_HANDLE_VALUE) {
                char version[kVersionBytes];
                DWORD vsize = sizeof version;
                RegQueryValueExA(key, "DriverVersion", nullptr, nullptr, reinterpret_cast<BYTE*>(version), &vsize);
                RegCloseKey(key);
            }
        }
        for (DWORD property : {SPDRP_SERVICE, SPDRP_HARDWAREID, SPDRP_COMPATIBLEIDS, SPDRP_UPPERFILTERS})
            SetupDiGetDeviceRegistryPropertyA(set, &data, property, nullptr, reinterpret_cast<BYTE*>(buf), sizeof buf,
                                              &size);
        if (get_device_id(data.DevInst, buf, sizeof buf, 0) != CR_SUCCESS) continue;
        wchar_t desc[kDescriptionUnits];
        DEVPROPTYPE type = 0;
        if (!SetupDiGetDevicePropertyW(set, &data, &kBusReportedDeviceDesc, &type, reinterpret_cast<BYTE*>(desc),
                                       sizeof desc, &size, 0))
            SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_DEVICEDESC, nullptr, reinterpret_cast<BYTE*>(desc),
                                              sizeof desc, &size);
        ++n;
    }
    SetupDiDestroyDeviceInfoList(set);
    FreeLibrary(cfgmgr);
    return n;
}

// Median times of `rounds` alternating scans of each kind; false when a scan fails or the two
// see a different number of devices than were made.
bool measure(int devices, int rounds) {
    std::vector<std::unique_ptr<fixture::ScopedUsbDevice>> made;
    const double t0 = now_ms();
    for (int i = 0; i < devices; ++i) {
        made.push_back(std::make_unique<fixture::ScopedUsbDevice>(synthetic(i)));
        if (!made.back()->ok()) {
            std::fprintf(stderr, "could not make device %d: %s\n", i, made.back()->error().c_str());
            return false;
        }
    }
    const double setup_ms = now_ms() - t0;
    std::vector<double> lib, bare;
    library_scan();  // warm both paths (module loads, registry caches) before timing
    bare_scan();
    for (int r = 0; r < rounds; ++r) {
        // Alternate which goes first, so that neither always runs on a warmer cache.
        for (int k = 0; k < 2; ++k) {
            const bool library_turn = (r + k) % 2 == 0;
            const double start = now_ms();
            const int seen = library_turn ? library_scan() : bare_scan();
            const double took = now_ms() - start;
            if (seen != devices) {
                std::fprintf(stderr, "%s scan saw %d of %d devices\n", library_turn ? "library" : "bare", seen,
                             devices);
                return false;
            }
            (library_turn ? lib : bare).push_back(took);
        }
    }
    const double l = median(lib), b = median(bare);
    std::printf("%6d %6d %12.2f %12.2f %8.3f %10.1f %10.1f %10.0f\n", devices, rounds, l, b, l / b,
                1000.0 * l / devices, 1000.0 * b / devices, setup_ms);
    std::fflush(stdout);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (!fixture::running_under_wine()) {
        std::fprintf(stderr, "bench_device_list: runs only under Wine, against synthetic devices\n");
        return 2;
    }
    if (!fixture::fixture_devices().empty()) {
        std::fprintf(stderr, "bench_device_list: the prefix already holds fixture devices\n");
        return 2;
    }
    std::vector<int> sizes;
    for (int i = 1; i < argc; ++i) sizes.push_back(std::atoi(argv[i]));
    if (sizes.empty()) sizes = {10, 100, 500};
    vesk_set_log_threshold(VESK_LOG_WARNING);  // as the setup program runs it
    std::printf("%6s %6s %12s %12s %8s %10s %10s %10s\n", "N", "rounds", "library_ms", "bare_ms", "ratio", "lib_us/dev",
                "bare_us/dev", "setup_ms");
    for (int n : sizes) {
        if (n <= 0) continue;
        const int rounds = n <= 10 ? 41 : n <= 100 ? 21 : 9;
        if (!measure(n, rounds)) return 1;
    }
    return 0;
}
