// Shared by the whole-installation tests: the synthetic bootloader and a bystander device, the
// group policy double registered for the installer, the real WinUSB package prepared once per
// program, a writer that appends to the Windows setup log while the installer follows it, and
// a way to kill the installer process.
#pragma once

#include <windows.h>
#include <setupapi.h>
#include <tlhelp32.h>

#include <doctest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "doubles_support.h"
#include "install_run.h"
#include "installer_protocol.h"
#include "libvesk.h"
#include "platform.h"
#include "run_support.h"
#include "usb_devices.h"

namespace e2e {

constexpr char kInfName[] = "morvane-dfu.inf";
constexpr char kBootSerial[] = "5&E2E0&0&1";

inline std::string service_of(const std::string& instance_id) { return fixture::usb_device_service(instance_id); }

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

// Copies the files of one directory (not its subdirectories' contents) into a new one.
inline std::string copy_directory(const std::string& from, const std::string& to) {
    REQUIRE(CreateDirectoryA(to.c_str(), nullptr));
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA((from + "\\*").c_str(), &fd);
    REQUIRE(h != INVALID_HANDLE_VALUE);
    do {
        const std::string n = fd.cFileName;
        if (n == "." || n == "..") continue;
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            copy_directory(from + "\\" + n, to + "\\" + n);
        } else {
            REQUIRE(CopyFileA((from + "\\" + n).c_str(), (to + "\\" + n).c_str(), FALSE));
        }
    } while (FindNextFileA(h, &fd));
    FindClose(h);
    return to;
}

// The bootloader record as the device list would give it.
struct BootRecord {
    std::string device_id, hardware_id, compatible_id, description = "DFU in FS Mode";
    vesk_device record{};
    explicit BootRecord(const fixture::UsbDevice& node)
        : device_id(node.instance_id),
          hardware_id(node.hardware_ids.front()),
          compatible_id(node.compatible_ids.front()) {
        record.vendor_id = 0x2E3C;
        record.product_id = 0xDF11;
        record.device_id = device_id.data();
        record.hardware_id = hardware_id.data();
        record.compatible_id = compatible_id.data();
        record.description = description.data();
    }
};

// Prepares the WinUSB package for the bootloader into `dir`.
inline vesk_result prepare_package(const std::string& dir) {
    BootRecord boot(fixture::bootloader(kBootSerial));
    vesk_prepare_options prepare{};
    prepare.driver_kind = VESK_DRIVER_WINUSB;
    prepare.manufacturer = "Morvane";
    return vesk_prepare_driver(&boot.record, dir.c_str(), kInfName, &prepare);
}

// The package, prepared once per program below TEMP (and removed at its end); each test
// installs from a copy of its own. VESK_E2E_PACKAGE names a package prepared beforehand by
// another program (e2e_prepare), which is left alone: on a 32-bit prefix the catalog doubles
// and the installer share one system directory, and Wine hands the doubles' load order on to
// every child, so there the package is signed in a process of its own.
inline const std::string& prepared_package() {
    struct Prepared {
        std::string dir;
        bool owned = false;
        Prepared() {
            char given[MAX_PATH] = {};
            const DWORD n = GetEnvironmentVariableA("VESK_E2E_PACKAGE", given, MAX_PATH);
            if (n > 0 && n < MAX_PATH) {
                dir = given;
                REQUIRE_MESSAGE(GetFileAttributesA((dir + "\\" + kInfName).c_str()) != INVALID_FILE_ATTRIBUTES, dir);
                return;
            }
            char temp[MAX_PATH];
            GetTempPathA(MAX_PATH, temp);
            dir = std::string(temp) + "Morvane-Driver-e2e-" + std::to_string(GetCurrentProcessId());
            REQUIRE(CreateDirectoryA(dir.c_str(), nullptr));
            owned = true;
            REQUIRE_MESSAGE(prepare_package(dir) == VESK_OK, run_test::dump_log());
        }
        ~Prepared() {
            if (owned) run_test::remove_tree(dir);
        }
    };
    static const Prepared prepared;
    return prepared.dir;
}

// Everything one installation needs around it: the log captured, the bootloader and a hub
// with its own driver present, the policy object double registered for the installer's view
// (the 64-bit one on a 64-bit prefix) and, where the library is a 32-bit program beside a 64-bit
// installer, a 32-bit double for the library's own restore, and a copy of the prepared package.
struct Scene {
    fixture::UsbDevice boot_node = fixture::bootloader(kBootSerial);
    fixture::UsbDevice hub_node;
    std::unique_ptr<fixture::ScopedUsbDevice> boot, hub;
    std::unique_ptr<doubles::ScopedGpoDouble> gpo, gpo_wow;
    BootRecord device{boot_node};
    std::string dir;

    Scene() {
        run_test::capture_log();
        doubles::reset_records();
        const std::string& prepared = prepared_package();
        hub_node.instance_id = "USB\\VID_05E3&PID_0610\\6&2B&0&1";
        hub_node.hardware_ids = {"USB\\VID_05E3&PID_0610&REV_9226", "USB\\VID_05E3&PID_0610"};
        hub_node.service = "usbhub";
        boot = std::make_unique<fixture::ScopedUsbDevice>(boot_node);
        REQUIRE_MESSAGE(boot->ok(), boot->error());
        hub = std::make_unique<fixture::ScopedUsbDevice>(hub_node);
        REQUIRE_MESSAGE(hub->ok(), hub->error());
        gpo = std::make_unique<doubles::ScopedGpoDouble>(doubles::env_path(L"VESK_E2E_GPO_DOUBLE"), KEY_WOW64_64KEY);
        if (const std::wstring wow = doubles::env_path(L"VESK_E2E_GPO_DOUBLE_WOW"); !wow.empty())
            gpo_wow = std::make_unique<doubles::ScopedGpoDouble>(wow, KEY_WOW64_32KEY);
        static int serial = 0;
        dir = copy_directory(prepared, prepared + "-" + std::to_string(++serial));
        run_test::clear_log();
    }
    ~Scene() {
        run_test::remove_tree(dir);
        doubles::reset_records();
    }
    std::string inf_path() const { return dir + "\\" + kInfName; }
};

// Restore points off (1) when the installation began, the value gone again after it.
inline void check_policy_put_back() {
    const std::vector<std::string> saves = doubles::gpo_saves();
    REQUIRE(saves.size() == 2);
    CHECK(saves[0].find("add=1") != std::string::npos);
    CHECK(saves[0].find("DisableSystemRestore=1") != std::string::npos);
    CHECK(saves[1].find("add=0") != std::string::npos);
    CHECK(saves[1].find("DisableSystemRestore=absent") != std::string::npos);
    CHECK(doubles::policy_value() == "absent");
}

// The installer process of this machine's build, or null.
inline HANDLE open_installer_process() {
    char name[kProgramNameBytes];
    if (!installer_program_name(GetPlatformArch(), name)) return nullptr;
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE) return nullptr;
    wchar_t wide[kProgramNameBytes] = {};
    MultiByteToWideChar(CP_ACP, 0, name, -1, wide, static_cast<int>(std::size(wide)));
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    HANDLE process = nullptr;
    for (BOOL more = Process32FirstW(snap, &entry); more && !process; more = Process32NextW(snap, &entry))
        if (lstrcmpiW(entry.szExeFile, wide) == 0)
            process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, entry.th32ProcessID);
    CloseHandle(snap);
    return process;
}

}  // namespace e2e
