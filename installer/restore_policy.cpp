// Restore points off during the installation, through the machine's local group policy, and
// the setting put back exactly as it was found.
#include <windows.h>
#include <prsht.h>
#include <gpedit.h>

#include "installer.h"
#include "installer_protocol.h"

namespace {
constexpr GUID kGroupPolicyObjectClass = {0xEA502722, 0xA23D, 0x11D1, {0xA7, 0xD3, 0x00, 0x00, 0xF8, 0x75, 0x71, 0xE3}};
constexpr GUID kGroupPolicyObjectInterface = {0xEA502723, 0xA23D, 0x11D1, {0xA7, 0xD3, 0x00, 0x00, 0xF8, 0x75, 0x71, 0xE3}};
constexpr GUID kRegistryExtension = {0x35378EAC, 0x683F, 0x11D2, {0xA8, 0x9A, 0x00, 0xC0, 0x4F, 0xBB, 0xCF, 0xA2}};
constexpr GUID kSnapIn = {0x3D271CFC, 0x2BC6, 0x4AC2, {0xB6, 0x33, 0x3B, 0xDF, 0xF5, 0xBD, 0xAB, 0x2A}};
constexpr wchar_t kPolicyKey[] = L"Software\\Policies\\Microsoft\\Windows\\DeviceInstall\\Settings";
constexpr wchar_t kPolicyValue[] = L"DisableSystemRestore";
constexpr DWORD kNoSavedValue = 0xFFFFFFFF;

// The value the disable step found, read once per process. Absence is kept apart from a
// value that happens to be 0xFFFFFFFF, so that such a value is put back, not deleted.
DWORD saved_disable_system_restore = kNoSavedValue;
bool saved_value_present = false;

bool is_before_vista() {
    OSVERSIONINFOW v = {};
    v.dwOSVersionInfoSize = sizeof v;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    const BOOL ok = GetVersionExW(&v);
#pragma GCC diagnostic pop
    return ok && v.dwPlatformId == VER_PLATFORM_WIN32_NT && v.dwMajorVersion < 6;
}

// The change of one value; the registry error (ERROR_SUCCESS when it took).
LONG change_value(HKEY key, bool existed, bool disable) {
    if (disable) {
        if (existed && !saved_value_present) {
            DWORD value = 0, size = sizeof value, type = 0;
            const LONG r = RegQueryValueExW(key, kPolicyValue, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
            if (r == ERROR_SUCCESS) {
                saved_disable_system_restore = value;
                saved_value_present = true;
            } else if (r != ERROR_FILE_NOT_FOUND) {
                installer_log("failed to read original DisableSystemRestore value - error %x", static_cast<unsigned>(r));
            }
        }
        const DWORD one = 1;
        return RegSetValueExW(key, kPolicyValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof one);
    }
    if (!saved_value_present) return RegDeleteValueW(key, kPolicyValue);
    return RegSetValueExW(key, kPolicyValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&saved_disable_system_restore),
                          sizeof saved_disable_system_restore);
}
}  // namespace

bool set_restore_point_policy(bool disable) {
    if (is_before_vista()) return true;  // no such policy before Windows Vista

    UniqueCom<IGroupPolicyObject> gpo;
    HRESULT hr = CoCreateInstance(kGroupPolicyObjectClass, nullptr, CLSCTX_INPROC_SERVER, kGroupPolicyObjectInterface,
                                  reinterpret_cast<void**>(gpo.put()));
    if (FAILED(hr) || !gpo) {
        gpo.release();  // a failed call's output is not ours to release
        installer_log("CoCreateInstance failed; hr = %lx", static_cast<unsigned long>(hr));
        return false;
    }
    hr = gpo.get()->OpenLocalMachineGPO(GPO_OPEN_LOAD_REGISTRY);
    if (FAILED(hr)) {
        installer_log("OpenLocalMachineGPO failed - error %lx", static_cast<unsigned long>(hr));
        return false;
    }
    HKEY raw_root = nullptr;
    hr = gpo.get()->GetRegistryKey(GPO_SECTION_MACHINE, &raw_root);
    if (FAILED(hr) || !raw_root) {
        installer_log("GetRegistryKey failed - error %lx", static_cast<unsigned long>(hr));
        return false;
    }
    UniqueHkey root(raw_root);
    UniqueHkey key;
    DWORD disposition = 0;
    const LONG created = RegCreateKeyExW(root.get(), kPolicyKey, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr,
                                         key.put(), &disposition);
    if (created != ERROR_SUCCESS) {
        installer_log("RegCreateKeyEx failed - error %x", static_cast<unsigned>(created));
        return false;
    }
    const LONG changed = change_value(key.get(), disposition == REG_OPENED_EXISTING_KEY, disable);
    if (changed != ERROR_SUCCESS)
        installer_log("RegSetValueEx / RegDeleteValue failed - error %x", static_cast<unsigned>(changed));
    key.reset();

    GUID extension = kRegistryExtension;
    GUID snap_in = kSnapIn;
    hr = gpo.get()->Save(TRUE, disable ? TRUE : FALSE, &extension, &snap_in);
    if (changed != ERROR_SUCCESS) {
        installer_log("unable to apply DisableSystemRestore policy - error %lx", static_cast<unsigned long>(hr));
        return false;
    }
    installer_log("successfully %s the system restore point creation setting", disable ? "disabled" : "restored");
    return true;
}
