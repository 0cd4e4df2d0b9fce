// Restore points off during the installation, through the machine's local group policy, and
// the setting put back exactly as it was found. The original waits under the product's key
// while the policy is off, so that it outlives an installer that never gets to put it back.
#include <windows.h>

#include "installer.h"
#include "installer_protocol.h"
#include "restore_point_policy.h"

namespace {
// The original that the disable step found (or took from the stored one) for the restore.
PolicyValue saved_disable_system_restore;
// The stored original was made by this run's disable step.
bool stored_here = false;

bool is_before_vista() {
    OSVERSIONINFOW v = {};
    v.dwOSVersionInfoSize = sizeof v;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    const BOOL ok = GetVersionExW(&v);
#pragma GCC diagnostic pop
    return ok && v.dwPlatformId == VER_PLATFORM_WIN32_NT && v.dwMajorVersion < 6;
}

void report(const char* text, unsigned long code) { installer_log("%s%lx", text, code); }

// The original to put back later: one left stored by an installer that did not restore it
// (the value now is then its 1), else the value now, stored before anything changes.
bool find_original(const MachinePolicy& policy) {
    stored_here = false;
    if (load_stored_policy(saved_disable_system_restore)) return true;
    saved_disable_system_restore = PolicyValue{};
    if (policy.key_existed()) {
        const LONG r = policy.read(saved_disable_system_restore);
        if (r != ERROR_SUCCESS && r != ERROR_FILE_NOT_FOUND)
            installer_log("failed to read original DisableSystemRestore value - error %x", static_cast<unsigned>(r));
    }
    if (const LONG r = store_policy(saved_disable_system_restore); r != ERROR_SUCCESS) {
        installer_log("could not store the original DisableSystemRestore value - error %x", static_cast<unsigned>(r));
        return false;
    }
    stored_here = true;
    return true;
}
}  // namespace

bool set_restore_point_policy(bool disable) {
    Ole32 ole32;
    if (!load_table(ole32, "installer", report_missing_function)) return false;
    return set_restore_point_policy(disable, ole32);
}

bool set_restore_point_policy(bool disable, const Ole32& ole32) {
    if (is_before_vista()) return true;  // no such policy before Windows Vista

    MachinePolicy policy;
    if (!policy.open(ole32, report)) return false;
    // Without a stored original nothing is switched off: a lost original would keep it off.
    if (disable && !find_original(policy)) return false;
    const LONG changed = policy.write(disable ? PolicyValue{true, 1} : saved_disable_system_restore);
    if (changed != ERROR_SUCCESS)
        installer_log("RegSetValueEx / RegDeleteValue failed - error %x", static_cast<unsigned>(changed));
    const HRESULT hr = policy.save(disable);
    if (changed != ERROR_SUCCESS) {
        if (disable && stored_here) (void)remove_stored_policy();  // nothing changed after all
        installer_log("unable to apply DisableSystemRestore policy - error %lx", static_cast<unsigned long>(hr));
        return false;
    }
    if (!disable)
        if (const LONG r = remove_stored_policy(); r != ERROR_SUCCESS)
            installer_log("could not remove the stored DisableSystemRestore value - error %x",
                          static_cast<unsigned>(r));
    installer_log("successfully %s the system restore point creation setting", disable ? "disabled" : "restored");
    return true;
}
