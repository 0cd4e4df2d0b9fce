// The setup operation: check, or check + prepare + install + verify, on one worker thread.
#include "setup_worker.h"

#include <sddl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "diagnostics.h"
#include "dfu_identity.h"
#include "dll_tables.h"
#include "find_device.h"
#include "libvesk.h"
#include "old_packages.h"
#include "owners.h"
#include "setup_messages.h"
#include "step_timer.h"

namespace {

constexpr int kDestroyAttempts = 5;
constexpr DWORD kDestroyRetryMs = 50;

// The device list of one scan; freed before the next scan and when the worker ends.
struct scan {
    vesk_device* list = nullptr;
    vesk_device* device = nullptr;
    bool none_connected = false;  // the last scan found no bootloader at all
    bool find() {
        release();
        return find_supported_device(&list, &device, &none_connected);
    }
    void release() {
        // BUSY: another thread's list call holds the library's guard for a moment.
        for (int attempt = 0; list; ++attempt) {
            const vesk_result r = vesk_destroy_list(list);
            if (r != VESK_ERR_BUSY) break;
            if (attempt + 1 == kDestroyAttempts) {
                post_diagnostic("Could not free the device list (%d): %s", r, vesk_error_text(r));
                break;
            }
            Sleep(kDestroyRetryMs);
        }
        list = nullptr;
        device = nullptr;
    }
    ~scan() { release(); }
};

// Creates a new package directory, named by a fresh GUID under the common application-data
// folder, that only SYSTEM and Administrators may touch; gives its path as UTF-8. Each failure
// posts its own line.
bool make_package_directory(wchar_t (&path)[kPackagePathUnits], char (&utf8)[kPackagePathUtf8Bytes]) {
    wchar_t folder[MAX_PATH];
    GUID guid;
    wchar_t guid_text[kGuidStringUnits];
    Shell32 shell32;
    Ole32 ole32;
    bool loaded = load_table(shell32, "make_package_directory");  // &=: both report what they lack
    loaded &= load_table(ole32, "make_package_directory");
    if (!loaded ||
        FAILED(shell32.get_folder_path(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder)) ||
        FAILED(ole32.create_guid(&guid)) ||
        ole32.string_from_guid(guid, guid_text, static_cast<int>(std::size(guid_text))) == 0) {
        post_diagnostic("Could not choose a protected driver-package directory.");
        return false;
    }
    const int n = swprintf(path, std::size(path), L"%ls\\Morvane-Driver-%ls", folder, guid_text);
    if (n < 0 || static_cast<std::size_t>(n) >= std::size(path)) {
        post_diagnostic("Driver-package directory exceeds the supported path length.");
        return false;
    }
    UniqueLocal descriptor;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kPackageDirectorySddl, SDDL_REVISION_1, descriptor.put(),
                                                              nullptr)) {
        post_diagnostic("Could not protect the driver-package directory (Windows error %lu).", GetLastError());
        return false;
    }
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor.get(), FALSE};
    const BOOL created = CreateDirectoryW(path, &attributes);
    const DWORD error = GetLastError();
    if (!created) {
        post_diagnostic("Could not create the protected driver-package directory (Windows error %lu).", error);
        return false;
    }
    if (WideCharToMultiByte(CP_UTF8, 0, path, -1, utf8, static_cast<int>(std::size(utf8)), nullptr, nullptr) == 0) {
        post_diagnostic("Could not encode the driver-package directory.");
        return false;
    }
    post_diagnostic("Driver package and installer logs: %s", utf8);
    return true;
}

void run_operation(setup_request& request) {
    StepTimer timer;  // an install's steps, for the debugger output
    request.outcome = SETUP_OUTCOME_INCOMPLETE;
    scan found;
    if (!found.find()) {
        request.no_device = found.none_connected;
        return;
    }
    const char* driver = found.device->driver;
    post_diagnostic("Found DFU 2E3C:DF11. Current driver: %s", driver && driver[0] ? driver : "(none)");

    const bool install = request.action == SETUP_ACTION_INSTALL;
    if (install && !same_device_id(request.device_id, found.device->device_id)) {
        post_diagnostic("The connected device changed after the check. Nothing was installed. Check the device again.");
        return;
    }
    // The identity rule keeps accepted IDs below 1024 bytes.
    std::snprintf(request.device_id, sizeof request.device_id, "%s", found.device->device_id);

    if (is_winusb_driver(driver)) {
        request.outcome = SETUP_OUTCOME_ALREADY_WINUSB;
        post_diagnostic("WinUSB is already installed. No driver changes are needed.");
        post_diagnostic("Close other flashing tools, reconnect in BOOT0, then use " SETUP_UPDATER_ADDRESS_NO_SCHEME
                        ".");
        return;
    }
    if (!install) {
        request.outcome = SETUP_OUTCOME_CHECKED;
        post_diagnostic("Ready. Confirm this is your only connected AT32 DFU device, then click Install WinUSB.");
        return;
    }
    if (!vesk_is_driver_supported(VESK_DRIVER_WINUSB, nullptr)) {
        post_diagnostic("This build does not contain the required WinUSB package. Nothing was installed.");
        return;
    }
    timer.lap("scan");
    wchar_t wide_directory[kPackagePathUnits];
    char directory[kPackagePathUtf8Bytes];
    if (!make_package_directory(wide_directory, directory)) return;

    vesk_prepare_options prepare = {};
    prepare.driver_kind = VESK_DRIVER_WINUSB;
    prepare.manufacturer = kManufacturer;
    prepare.signing_key = request.signing_key;
    post_diagnostic("Preparing the fixed WinUSB package. Do not unplug Morvane.");
    timer.lap("directory");
    vesk_result r = vesk_prepare_driver(found.device, directory, kInfName, &prepare);
    timer.lap("preparation");
    if (r != VESK_OK) {
        post_diagnostic("Package preparation failed (%d): %s", r, vesk_error_text(r));
        return;
    }

    if (!found.find()) return;
    if (!same_device_id(found.device->device_id, request.device_id)) {
        post_diagnostic("The device changed during preparation. Installation was cancelled.");
        return;
    }
    vesk_install_options options = {};
    options.parent_window = request.window;
    options.filter_mode = 0;
    options.pending_wait_ms = kPendingWaitMs;
    post_diagnostic("Installing WinUSB for the AT32 DFU bootloader only.");
    timer.lap("rescan");
    r = vesk_install_driver(found.device, directory, kInfName, &options);
    timer.lap("installer run");
    if (r != VESK_OK) {
        post_diagnostic("Driver installation failed (%d): %s", r, vesk_error_text(r));
        post_diagnostic("Keep Windows security enabled. Copy diagnostics or use the manual Ostrak fallback.");
        return;
    }

    // The driver store holds the accepted package now; earlier runs' directories only take room.
    if (const int removed = remove_earlier_packages(wide_directory))
        post_diagnostic("Removed %d package directories of earlier installations.", removed);
    found.release();
    post_diagnostic("Windows accepted the package. Checking that WinUSB is actually bound...");
    for (int poll = 0; poll < kVerifyPolls; ++poll) {
        if (found.find()) {
            if (!same_device_id(found.device->device_id, request.device_id)) {
                post_diagnostic("A different device appeared. The installation cannot be verified.");
                return;
            }
            if (is_winusb_driver(found.device->driver)) {
                request.outcome = SETUP_OUTCOME_VERIFIED;
                timer.lap("verification polls");
                post_diagnostic("SUCCESS: WinUSB binding verified. No firmware or game packs were changed.");
                post_diagnostic("Unplug Morvane, reconnect in BOOT0, then open " SETUP_UPDATER_ADDRESS_NO_SCHEME ".");
                return;
            }
        }
        found.release();
        if (poll + 1 < kVerifyPolls) Sleep(kVerifyPollIntervalMs);
    }
    post_diagnostic(
        "Installation could not be verified. Reconnect in BOOT0 and click Check device. A Windows restart may be "
        "required.");
}

}  // namespace

DWORD WINAPI setup_worker(void* parameter) {
    auto* request = static_cast<setup_request*>(parameter);
    run_operation(*request);                  // frees its device lists before returning
    MallocPtr<setup_request> owned(request);  // the window frees it once the message is posted
    if (PostMessageW(request->window, WM_SETUP_DONE, 0, reinterpret_cast<LPARAM>(request))) (void)owned.release();
    return 0;
}
