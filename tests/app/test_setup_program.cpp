// The built Morvane-Windows-Driver-Setup.exe, driven from outside as a user would drive it:
// its resources read back from the file, then a whole installation against a simulated
// bootloader (the catalog signing runs on the test doubles of the prefix, see CMakeLists.txt).
#include <windows.h>
#include <setupapi.h>
#include <shlobj.h>

#include <doctest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "gui_support.h"
#include "wide_strings.h"
#include "setup_window.h"
#include "setup_worker.h"
#include "scratch_tree.h"
#include "usb_devices.h"

using gui::text_of;
using Lines = std::vector<std::wstring>;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kStartMs = 30000;
constexpr int kInstallMs = 180000;
constexpr int kExitMs = 15000;
constexpr wchar_t kReady[] = L"Ready. Confirm this is your only connected AT32 DFU device, then click Install WinUSB.";
constexpr wchar_t kInstalling[] = L"Installing and verifying WinUSB...";

// The program under test: VESK_SETUP_EXE, a Unix path from CTest, as a Windows path.
std::wstring setup_exe() {
    const char* unix_path = std::getenv("VESK_SETUP_EXE");
    std::wstring path = gui::widen(unix_path ? unix_path : "");
    if (!path.empty() && path[0] == L'/') {
        std::replace(path.begin(), path.end(), L'/', L'\\');
        path = L"Z:" + path;
    }
    return path;
}

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// A running setup program and its window, found by class among the process's windows.
class SetupProgram {
public:
    SetupProgram() {
        std::wstring command = L"\"" + setup_exe() + L"\"";
        STARTUPINFOW si = {};
        si.cb = sizeof si;
        started_ = Clock::now();
        if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi_)) return;
        gui::wait_for(
            [&] {
                for (HWND h : gui::top_windows(pi_.dwProcessId, L"MorvaneDriverSetup"))
                    if (IsWindowVisible(h)) window_ = h;
                return window_ != nullptr || WaitForSingleObject(pi_.hProcess, 0) == WAIT_OBJECT_0;
            },
            kStartMs);
    }
    SetupProgram(const SetupProgram&) = delete;
    SetupProgram& operator=(const SetupProgram&) = delete;
    ~SetupProgram() {
        if (!pi_.hProcess) return;
        if (WaitForSingleObject(pi_.hProcess, 0) != WAIT_OBJECT_0) {
            PostMessageW(window_, WM_CLOSE, 0, 0);
            if (WaitForSingleObject(pi_.hProcess, kExitMs) != WAIT_OBJECT_0) TerminateProcess(pi_.hProcess, 99);
        }
        CloseHandle(pi_.hThread);
        CloseHandle(pi_.hProcess);
    }
    HWND window() const { return window_; }
    DWORD pid() const { return pi_.dwProcessId; }
    HANDLE process() const { return pi_.hProcess; }
    Clock::time_point started() const { return started_; }
    HWND item(int id) const { return GetDlgItem(window_, id); }
    bool enabled(int id) const { return IsWindowEnabled(item(id)) != FALSE; }
    // The status line is the third static control.
    std::wstring status() const {
        const std::vector<HWND> c = gui::children(window_);
        return c.size() > 2 ? text_of(c[2]) : L"";
    }
    std::wstring pane() const {
        const std::vector<HWND> c = gui::children(window_);
        return c.size() > 7 ? text_of(c[7]) : L"";
    }
    Lines lines() const { return gui::pane_lines(pane()); }
    bool has_line(const std::wstring& line) const {
        const Lines l = lines();
        return std::find(l.begin(), l.end(), line) != l.end();
    }
    void command(int id) const { PostMessageW(window_, WM_COMMAND, static_cast<WPARAM>(id), 0); }

private:
    PROCESS_INFORMATION pi_ = {};
    HWND window_ = nullptr;
    Clock::time_point started_;
};

bool file_exists(const std::wstring& path) {
    const DWORD a = GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring version_string(const std::vector<BYTE>& info, const wchar_t* name) {
    void* value = nullptr;
    UINT length = 0;
    const std::wstring key = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
    if (!VerQueryValueW(info.data(), key.c_str(), &value, &length) || !value) return L"<absent>";
    return static_cast<const wchar_t*>(value);
}

std::wstring common_appdata() {
    wchar_t folder[MAX_PATH] = {};
    SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder);
    return folder;
}

// The pane's first lines: a test build says so first.
Lines opening_lines() {
    Lines lines = {L"Morvane Windows Driver Setup 1.0.1 / libvesk 1.5.1",
                   L"AT32 bootloader IDs are shared; this helper cannot uniquely identify the Morvane brand."};
#if VESK_CARRIES_STANDINS
    lines.insert(lines.begin(),
                 L"This test build carries test stand-ins of Microsoft's co-installers and cannot "
                 L"install a driver on a real PC.");
#endif
    return lines;
}

using scratch::dir_exists;
using scratch::make_junction;
using scratch::remove_tree;

// A directory with one file and one subdirectory holding a file; with the package directory's
// SDDL, or with default security (null).
bool make_tree(const std::wstring& path, const wchar_t* sddl) {
    if (!scratch::make_dir(path, sddl) || !scratch::make_dir(path + L"\\x86", nullptr)) return false;
    return scratch::make_file(path + L"\\morvane-dfu.inf") &&
           scratch::make_file(path + L"\\x86\\winusbcoinstaller2.dll");
}

}  // namespace

TEST_CASE("the built program carries its manifest and version resource") {
    const std::wstring exe = setup_exe();
    REQUIRE(file_exists(exe));

    HMODULE image = LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    REQUIRE(image);
    HRSRC found = FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));  // RT_MANIFEST, process manifest
    REQUIRE(found);
    const auto* bytes = static_cast<const char*>(LockResource(LoadResource(image, found)));
    REQUIRE(bytes);
    const std::string manifest(bytes, SizeofResource(image, found));
    FreeLibrary(image);
    const char* expected[] = {
        R"(<assemblyIdentity type="win32" name="Morvane.WindowsDriverSetup" version="1.0.0.0" processorArchitecture="x86"/>)",
        "<description>Morvane Windows Driver Setup</description>",
        R"(<requestedExecutionLevel level="requireAdministrator" uiAccess="false"/>)",
        R"(<supportedOS Id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"/>)",
        R"(name="Microsoft.Windows.Common-Controls" version="6.0.0.0")",
    };
    for (const char* e : expected) {
        CAPTURE(e);
        CHECK(manifest.find(e) != std::string::npos);
    }

    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeW(exe.c_str(), &handle);
    REQUIRE(size > 0);
    std::vector<BYTE> info(size);
    REQUIRE(GetFileVersionInfoW(exe.c_str(), 0, size, info.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    REQUIRE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    CHECK(fixed->dwFileVersionMS == MAKELONG(0, 1));
    CHECK(fixed->dwFileVersionLS == MAKELONG(0, 1));
    CHECK(fixed->dwProductVersionMS == MAKELONG(0, 1));
    CHECK(fixed->dwProductVersionLS == MAKELONG(0, 1));
    DWORD* translation = nullptr;
    REQUIRE(
        VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &length));
    REQUIRE(length == 4);
    CHECK(LOWORD(*translation) == 0x0409);  // US English
    CHECK(HIWORD(*translation) == 1200);    // Unicode
    CHECK(version_string(info, L"ProductName") == L"Morvane Windows Driver Setup");
    CHECK(version_string(info, L"FileDescription") == L"Morvane Windows Driver Setup");
    CHECK(version_string(info, L"CompanyName") == L"Morvane");
    CHECK(version_string(info, L"FileVersion") == L"1.0.1");
    CHECK(version_string(info, L"ProductVersion") == L"1.0.1");

    // The same numbers as the build's one definition of them (the top-level CMakeLists.txt).
    CHECK(manifest.find(std::string("name=\"Morvane.WindowsDriverSetup\" version=\"") + VESK_MANIFEST_VERSION + "\"") !=
          std::string::npos);
    CHECK(version_string(info, L"FileVersion") == gui::widen(VESK_SETUP_VERSION));
    CHECK(version_string(info, L"ProductVersion") == gui::widen(VESK_SETUP_VERSION));
    unsigned parts[4] = {};
    REQUIRE(std::sscanf(VESK_SETUP_VERSION, "%u.%u.%u.%u", &parts[0], &parts[1], &parts[2], &parts[3]) >= 3);
    CHECK(fixed->dwFileVersionMS == MAKELONG(parts[1], parts[0]));
    CHECK(fixed->dwFileVersionLS == MAKELONG(parts[3], parts[2]));
    CHECK(fixed->dwProductVersionMS == MAKELONG(parts[1], parts[0]));
    CHECK(fixed->dwProductVersionLS == MAKELONG(parts[3], parts[2]));
}

TEST_CASE("a whole installation against a simulated bootloader") {
    for (const std::string& id : fixture::fixture_devices()) fixture::remove_usb_device(id);
    fixture::ScopedUsbDevice boot(fixture::bootloader());
    REQUIRE_MESSAGE(boot.ok(), boot.error());

    // What earlier runs left, and what only looks like it: the earlier run's directory goes;
    // a same-named directory open to everyone, a longer name and a junction stay, and so does
    // what the junction leads to.
    const std::wstring parent = common_appdata();
    const std::wstring earlier = parent + L"\\Morvane-Driver-{0BADF00D-0000-4000-8000-000000000001}";
    const std::wstring open_to_all = parent + L"\\Morvane-Driver-{0BADF00D-0000-4000-8000-000000000002}";
    const std::wstring longer = parent + L"\\Morvane-Driver-{0BADF00D-0000-4000-8000-000000000003}.old";
    const std::wstring junction = parent + L"\\Morvane-Driver-{0BADF00D-0000-4000-8000-000000000004}";
    const std::wstring victim = parent + L"\\vesk-junction-target";
    for (const std::wstring& p : {earlier, open_to_all, longer, junction, victim}) remove_tree(p);
    REQUIRE(make_tree(earlier, kPackageDirectorySddl));
    REQUIRE(make_tree(open_to_all, nullptr));
    REQUIRE(make_tree(longer, kPackageDirectorySddl));
    REQUIRE(make_tree(victim, kPackageDirectorySddl));
    const bool has_junction = make_junction(junction, victim);
    if (!has_junction) MESSAGE("no directory junctions here (Wine 8): that case is left to Windows");
    const std::vector<std::wstring> dirs_before = gui::package_directories();
    // Every earlier directory of the program's own, this test's included, is removed.
    const std::wstring package_dacl = gui::stored_dacl_for(kPackageDirectorySddl);
    int ours_before = 0;
    for (const std::wstring& d : dirs_before)
        if (d != open_to_all && d != longer && d != junction && gui::describe_dacl(d) == package_dacl) ++ours_before;
    REQUIRE(ours_before >= 1);

    SetupProgram setup;
    REQUIRE_MESSAGE(setup.window(), "no setup window");

    // The first check runs by itself.
    REQUIRE(gui::wait_for([&] { return setup.has_line(kReady); }, kStartMs));
    const double to_ready = seconds_since(setup.started());
    REQUIRE(gui::wait_for([&] { return setup.enabled(IDC_INSTALL_WINUSB); }, kStartMs));
    CHECK(setup.status() == L"DFU device checked. Install WinUSB when ready.");
    Lines first = opening_lines();
    first.insert(first.end(), {L"Found DFU 2E3C:DF11. Current driver: (none)", kReady});
#if VESK_CARRIES_STANDINS
    // A test build says so in its title and first line (and prepares only under VESK_TEST_BUILD=1).
    CHECK(text_of(setup.window()) == L"Morvane Windows Driver Setup (test build)");
#else
    CHECK(text_of(setup.window()) == L"Morvane Windows Driver Setup");
#endif
    CHECK(setup.lines() == first);

    const auto install_start = Clock::now();
    setup.command(IDC_INSTALL_WINUSB);
    const gui::Box confirm = gui::wait_for_box(setup.pid(), kStartMs);
    REQUIRE(confirm.hwnd);
    CHECK(confirm.caption == L"Confirm Morvane driver setup");
    CHECK(confirm.owner == setup.window());
    gui::answer(confirm, IDYES);
    REQUIRE(gui::wait_for([&] { return setup.status() == kInstalling; }, kStartMs));  // the worker has started

    // The progress window comes up while the installer runs; the setup window is disabled meanwhile.
    HWND progress = nullptr;
    bool disabled_during_progress = false;
    gui::wait_for(
        [&] {
            for (HWND h : gui::top_windows(setup.pid(), L"vesk_progress_class"))
                if (IsWindowVisible(h)) progress = h;
            if (progress) disabled_during_progress = IsWindowEnabled(setup.window()) == FALSE;
            return progress != nullptr || setup.status() != kInstalling;
        },
        kInstallMs);
    CHECK_MESSAGE(progress, "the progress window was not seen");
    CHECK(disabled_during_progress);
    if (progress) CHECK(GetWindow(progress, GW_OWNER) == setup.window());

    REQUIRE(
        gui::wait_for([&] { return setup.status() != kInstalling && setup.enabled(IDC_CHECK_DEVICE); }, kInstallMs));
    const double install_time = seconds_since(install_start);
    MESSAGE("first Ready line after start: " << to_ready << " s; installation (check, prepare, install, verify): "
                                             << install_time << " s");

    // Over the two scans and the preparation, the guards' fallback note comes once, and only
    // where the system has no private namespaces.
    const Lines raw = gui::split_lines(setup.pane());
    CHECK(std::count_if(raw.begin(), raw.end(), gui::is_guard_fallback) == (gui::has_private_namespaces() ? 0 : 1));
    const Lines lines = setup.lines();
    std::string all;
    for (const std::wstring& l : lines) all += gui::narrow(l) + "\n";
    CAPTURE(all);
    CHECK(setup.status() == L"Success: WinUSB binding verified. Reconnect in BOOT0.");
    CHECK(IsWindowEnabled(setup.window()));
    CHECK_FALSE(setup.enabled(IDC_INSTALL_WINUSB));

    // The new package directory: named in the pane, complete, protected.
    std::wstring dir;
    for (const std::wstring& d : gui::package_directories())
        if (std::find(dirs_before.begin(), dirs_before.end(), d) == dirs_before.end()) dir = d;
    REQUIRE_FALSE(dir.empty());
    // The worker's lines after the first check, in order; library lines may come between them.
    const Lines worker = {
        L"Found DFU 2E3C:DF11. Current driver: (none)",
        L"Driver package and installer logs: " + dir,
        L"Preparing the fixed WinUSB package. Do not unplug Morvane.",
        L"Installing WinUSB for the AT32 DFU bootloader only.",
        L"Removed " + std::to_wstring(ours_before) + L" package directories of earlier installations.",
        L"Windows accepted the package. Checking that WinUSB is actually bound...",
        L"SUCCESS: WinUSB binding verified. No firmware or game packs were changed.",
        L"Unplug Morvane, reconnect in BOOT0, then open " + gui::widen(UPDATER_HOST) + L"/updater.",
    };
    auto at = std::find(lines.begin(), lines.end(), kReady);
    for (const std::wstring& w : worker) {
        CAPTURE(gui::narrow(w));
        at = std::find(at, lines.end(), w);
        CHECK(at != lines.end());
    }
    CHECK(lines.back() == worker.back());

    CHECK_FALSE(dir_exists(earlier));
    CHECK(dir_exists(open_to_all));
    CHECK(file_exists(longer + L"\\x86\\winusbcoinstaller2.dll"));
    CHECK(file_exists(victim + L"\\x86\\winusbcoinstaller2.dll"));
    if (has_junction) CHECK(dir_exists(junction));
    CHECK(dir_exists(dir));  // this run's, which the pane names
    for (const std::wstring& p : {open_to_all, longer, junction, victim}) remove_tree(p);

    CHECK(gui::same_ascii_nocase(gui::widen(fixture::usb_device_service(boot.instance_id())), L"WinUSB"));

    for (const wchar_t* name : {L"morvane-dfu.inf", L"morvane-dfu.cat", L"installer_x86.exe", L"installer_x64.exe",
                                L"x86\\winusbcoinstaller2.dll", L"x86\\WdfCoInstaller01011.dll",
                                L"amd64\\winusbcoinstaller2.dll", L"amd64\\WdfCoInstaller01011.dll"}) {
        CAPTURE(gui::narrow(name));
        CHECK(file_exists(dir + L"\\" + name));
    }
    check_package_dacl(dir);
    check_package_entries(dir);

    // Idle again: the window closes and the program ends with 0.
    PostMessageW(setup.window(), WM_CLOSE, 0, 0);
    REQUIRE(WaitForSingleObject(setup.process(), kExitMs) == WAIT_OBJECT_0);
    DWORD code = 99;
    GetExitCodeProcess(setup.process(), &code);
    CHECK(code == 0);
}

TEST_CASE("a device that is gone right after its installation: 40 polls, then the final line") {
    for (const std::string& id : fixture::fixture_devices()) fixture::remove_usb_device(id);
    const std::string id = "USB\\VID_2E3C&PID_DF11\\5&7E&0&9";
    REQUIRE(fixture::create_usb_device(fixture::bootloader("5&7E&0&9")));
    // Another USB device stays, so that a scan without the bootloader still lists something.
    fixture::UsbDevice hub;
    hub.instance_id = "USB\\VID_05E3&PID_0610\\6&2B&0&1";
    hub.hardware_ids = {"USB\\VID_05E3&PID_0610&REV_9226", "USB\\VID_05E3&PID_0610"};
    hub.service = "usbhub";
    hub.driver_version = "10.0.19041.1";
    fixture::ScopedUsbDevice other(hub);
    REQUIRE(other.ok());

    SetupProgram setup;
    REQUIRE(setup.window());
    REQUIRE(gui::wait_for([&] { return setup.enabled(IDC_INSTALL_WINUSB); }, kStartMs));
    setup.command(IDC_INSTALL_WINUSB);
    const gui::Box confirm = gui::wait_for_box(setup.pid(), kStartMs);
    REQUIRE(confirm.hwnd);
    gui::answer(confirm, IDYES);
    REQUIRE(gui::wait_for([&] { return setup.status() == kInstalling; }, kStartMs));  // the worker has started

    // The worker polls right after the installation, faster than a device could be pulled from
    // here. So the scans are held off while the installation runs: the scan's own guard, taken
    // first by the test, makes them fail as busy. Once the installation is over the device is
    // removed and the scans are let go; the remaining polls find no device.
    HWND progress = nullptr;
    REQUIRE(gui::wait_for(
        [&] {
            for (HWND h : gui::top_windows(setup.pid(), L"vesk_progress_class"))
                if (IsWindowVisible(h)) progress = h;
            return progress != nullptr;
        },
        kInstallMs));
    HANDLE scan_guard = CreateMutexW(nullptr, FALSE, L"Global\\vesk_create_list");
    REQUIRE(scan_guard);
    REQUIRE(GetLastError() != ERROR_ALREADY_EXISTS);
    const wchar_t kAccepted[] = L"Windows accepted the package. Checking that WinUSB is actually bound...";
    const bool accepted = gui::wait_for([&] { return setup.has_line(kAccepted); }, kInstallMs);
    const auto polling = Clock::now();
    std::string remove_error;
    const bool removed = fixture::remove_usb_device(id, &remove_error);
    CloseHandle(scan_guard);
    REQUIRE(accepted);
    REQUIRE_MESSAGE(removed, remove_error);
    REQUIRE(
        gui::wait_for([&] { return setup.enabled(IDC_CHECK_DEVICE) && setup.status() != kInstalling; }, kInstallMs));
    const double poll_time = seconds_since(polling);
    MESSAGE("40 polls took " << poll_time << " s");

    Lines after;
    bool seen = false;
    for (const std::wstring& l : setup.lines()) {
        if (seen && l.rfind(L"libvesk:", 0) != 0) after.push_back(l);
        seen = seen || l == kAccepted;
    }
    CAPTURE(after);
    REQUIRE(after.size() == 41);
    std::size_t busy = 0;
    while (busy < 40 && after[busy].rfind(L"Device scan failed (", 0) == 0) ++busy;
    CHECK(busy < 40);  // the device's absence was seen, not only the held scans
    for (std::size_t i = busy; i < 40; ++i) {
        CAPTURE(i);
        CHECK(after[i] == L"No AT32 DFU device found. Connect Morvane while holding BOOT0, then click Check device.");
    }
    CHECK(after[40] ==
          L"Installation could not be verified. Reconnect in BOOT0 and click Check device. A Windows restart may be "
          L"required.");
    CHECK(setup.status() == L"Driver setup did not complete. Read diagnostics and check the device again.");
    // 39 pauses of 250 ms between the polls, plus the scans.
    CHECK(poll_time >= 9.5);
    CHECK(poll_time < 40.0);
}

TEST_CASE("an install that fails: the exact lines and the final status") {
    // A library call held busy by the test, through the guard that every such call takes first:
    // the preparation, or the installation after a complete package. And a bootloader swapped
    // for another while the package is prepared.
    const std::wstring kIncomplete = L"Driver setup did not complete. Read diagnostics and check the device again.";
    const std::wstring kBusy = L"Requested resource busy or similar call already in progress";
    struct Case {
        const char* name;
        const wchar_t* guard;  // held from before the click; null: the device is swapped instead
        Lines tail;            // the worker's lines after "Preparing ..."
    };
    const Case cases[] = {
        {"preparation busy", L"Global\\vesk_prepare_driver", {L"Package preparation failed (-6): " + kBusy}},
        {"installation busy",
         L"Global\\install_driver_internal",
         {L"Installing WinUSB for the AT32 DFU bootloader only.", L"Driver installation failed (-6): " + kBusy,
          L"Keep Windows security enabled. Copy diagnostics or use the manual Ostrak fallback."}},
        {"device swapped during preparation",
         nullptr,
         {L"The device changed during preparation. Installation was cancelled."}},
    };
    for (const Case& c : cases) {
        CAPTURE(c.name);
        for (const std::string& id : fixture::fixture_devices()) fixture::remove_usb_device(id);
        auto first = std::make_unique<fixture::ScopedUsbDevice>(fixture::bootloader("5&1A&0&1"));
        REQUIRE(first->ok());
        SetupProgram setup;
        REQUIRE(setup.window());
        REQUIRE(gui::wait_for([&] { return setup.enabled(IDC_INSTALL_WINUSB); }, kStartMs));
        const std::size_t before = setup.lines().size();
        HANDLE guard = nullptr;
        if (c.guard) {
            guard = CreateMutexW(nullptr, FALSE, c.guard);
            REQUIRE(guard);
            REQUIRE(GetLastError() != ERROR_ALREADY_EXISTS);
        }
        setup.command(IDC_INSTALL_WINUSB);
        const gui::Box confirm = gui::wait_for_box(setup.pid(), kStartMs);
        REQUIRE(confirm.hwnd);
        gui::answer(confirm, IDYES);
        std::unique_ptr<fixture::ScopedUsbDevice> second;
        if (!c.guard) {
            // The scan before the preparation has been made once its line shows; the package
            // takes longer to build than the swap.
            REQUIRE(gui::wait_for([&] { return setup.lines().size() > before; }, kInstallMs));
            first.reset();
            second = std::make_unique<fixture::ScopedUsbDevice>(fixture::bootloader("5&2B&0&2"));
            REQUIRE(second->ok());
        }
        // The final status, not merely "not installing": right after the answer the window has not
        // yet started the worker.
        REQUIRE(gui::wait_for([&] { return setup.enabled(IDC_CHECK_DEVICE) && setup.status() == kIncomplete; },
                              kInstallMs));
        if (guard) CloseHandle(guard);
        Lines worker;
        const Lines all = setup.lines();
        for (std::size_t i = before; i < all.size(); ++i)
            if (all[i].rfind(L"libvesk:", 0) != 0) worker.push_back(all[i]);
        CAPTURE(worker);
        REQUIRE(worker.size() == 3 + c.tail.size());
        CHECK(worker[0] == L"Found DFU 2E3C:DF11. Current driver: (none)");
        CHECK(worker[1].rfind(L"Driver package and installer logs: ", 0) == 0);
        CHECK(worker[2] == L"Preparing the fixed WinUSB package. Do not unplug Morvane.");
        CHECK(Lines(worker.begin() + 3, worker.end()) == c.tail);
        CHECK(setup.status() == kIncomplete);
        CHECK_FALSE(setup.enabled(IDC_INSTALL_WINUSB));
    }
}

TEST_CASE("a device list whose guard stays taken is tried a few times, then named in one line") {
    for (const std::string& id : fixture::fixture_devices()) fixture::remove_usb_device(id);
    fixture::ScopedUsbDevice boot(fixture::bootloader());
    REQUIRE(boot.ok());
    HANDLE guard = CreateMutexW(nullptr, FALSE, L"Global\\vesk_destroy_list");
    REQUIRE(guard);
    REQUIRE(GetLastError() != ERROR_ALREADY_EXISTS);
    const auto start = Clock::now();
    SetupProgram setup;
    REQUIRE(setup.window());
    // The first check runs by itself and frees its list last.
    const wchar_t kNotFreed[] =
        L"Could not free the device list (-6): Requested resource busy or similar call already in progress";
    const bool named = gui::wait_for([&] { return setup.has_line(kNotFreed); }, kStartMs);
    CloseHandle(guard);
    REQUIRE(named);
    CHECK(seconds_since(start) >= 0.2);  // four pauses between five attempts
    Lines expected = opening_lines();
    expected.insert(expected.end(), {L"Found DFU 2E3C:DF11. Current driver: (none)", kReady, kNotFreed});
    CHECK(setup.lines() == expected);
    REQUIRE(gui::wait_for([&] { return setup.enabled(IDC_INSTALL_WINUSB); }, kStartMs));
    CHECK(setup.status() == L"DFU device checked. Install WinUSB when ready.");
}
