#include "restore_point_policy.h"

#include <sddl.h>

#include <cstdarg>

#include "error_text.h"
#include "format_into.h"
#include "libvesk.h"
#include "sizes.h"

namespace {
constexpr GUID kGroupPolicyObjectClass = {0xEA502722, 0xA23D, 0x11D1, {0xA7, 0xD3, 0x00, 0x00, 0xF8, 0x75, 0x71, 0xE3}};
constexpr GUID kGroupPolicyObjectInterface = {
    0xEA502723, 0xA23D, 0x11D1, {0xA7, 0xD3, 0x00, 0x00, 0xF8, 0x75, 0x71, 0xE3}};
constexpr GUID kRegistryExtension = {0x35378EAC, 0x683F, 0x11D2, {0xA8, 0x9A, 0x00, 0xC0, 0x4F, 0xBB, 0xCF, 0xA2}};
constexpr GUID kSnapIn = {0x3D271CFC, 0x2BC6, 0x4AC2, {0xB6, 0x33, 0x3B, 0xDF, 0xF5, 0xBD, 0xAB, 0x2A}};
constexpr wchar_t kPolicyKey[] = L"Software\\Policies\\Microsoft\\Windows\\DeviceInstall\\Settings";
constexpr wchar_t kPolicyValue[] = L"DisableSystemRestore";

VESK_PRINTF(3, 4) void say(PolicyReport report, int level, const char* fmt, ...) {
    char text[kLogLineBytes];
    va_list ap;
    va_start(ap, fmt);
    (void)vformat_into(text, sizeof text, fmt, ap);
    va_end(ap);
    report(level, text);
}

bool is_before_vista() {
    OSVERSIONINFOW v = {};
    v.dwOSVersionInfoSize = sizeof v;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    const BOOL ok = GetVersionExW(&v);
#pragma GCC diagnostic pop
    return ok && v.dwPlatformId == VER_PLATFORM_WIN32_NT && v.dwMajorVersion < 6;
}

// The original to put back later: one left stored by an installer that did not restore it
// (the value now is then its 1), else the value now, stored before anything changes.
bool find_original(RestorePolicySession& session, const MachinePolicy& policy, PolicyReport report) {
    session.stored_here = false;
    if (load_stored_policy(session.original)) return true;
    session.original = PolicyValue{};
    if (policy.key_existed()) {
        const LONG r = policy.read(session.original);
        if (r != ERROR_SUCCESS && r != ERROR_FILE_NOT_FOUND)
            say(report, VESK_LOG_ERROR, "failed to read original DisableSystemRestore value - error %x",
                static_cast<unsigned>(r));
    }
    if (const LONG r = store_policy(session.original); r != ERROR_SUCCESS) {
        say(report, VESK_LOG_ERROR, "could not store the original DisableSystemRestore value - error %x",
            static_cast<unsigned>(r));
        return false;
    }
    session.stored_here = true;
    return true;
}

// Initialises COM for this thread for as long as it lives, when it was not already.
struct ComScope {
    explicit ComScope(const Ole32& api) : ole32(api) {}
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;
    ~ComScope() {
        if (SUCCEEDED(hr)) ole32.uninitialize();
    }
    const Ole32& ole32;
    HRESULT hr = ole32.initialize(nullptr, COINIT_APARTMENTTHREADED);
};
}  // namespace

bool load_stored_policy(PolicyValue& original) {
    UniqueHkey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kStoredPolicyKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, key.put()) !=
        ERROR_SUCCESS)
        return false;
    DWORD value = 0, size = sizeof value, type = REG_NONE;
    if (RegQueryValueExW(key.get(), kStoredPolicyValue, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
        ERROR_SUCCESS)
        return false;  // a key without the value was never filled in: nothing was changed after it
    if (type == REG_NONE) {
        original = PolicyValue{};
        return true;
    }
    if (type != REG_DWORD || size != sizeof value) return false;
    original = PolicyValue{true, value};
    return true;
}

LONG store_policy(const PolicyValue& original) {
    UniqueLocal descriptor;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
            kStoredPolicySddl, SDDL_REVISION_1, reinterpret_cast<PSECURITY_DESCRIPTOR*>(descriptor.put()), nullptr))
        return static_cast<LONG>(GetLastError());
    SECURITY_ATTRIBUTES sa = {sizeof sa, descriptor.get(), FALSE};
    UniqueHkey key;
    LONG r = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kStoredPolicyKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                             KEY_SET_VALUE | WRITE_DAC | KEY_WOW64_64KEY, &sa, key.put(), nullptr);
    if (r != ERROR_SUCCESS) return r;
    // A key that was already there keeps no descriptor of its own making.
    r = RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, descriptor.get());
    if (r != ERROR_SUCCESS) return r;
    if (!original.present) return RegSetValueExW(key.get(), kStoredPolicyValue, 0, REG_NONE, nullptr, 0);
    return RegSetValueExW(key.get(), kStoredPolicyValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&original.value),
                          sizeof original.value);
}

LONG remove_stored_policy() {
    const LONG r = RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kStoredPolicyKey, KEY_WOW64_64KEY, 0);
    return r == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : r;
}

bool MachinePolicy::open(const Ole32& ole32, PolicyReport report) {
    HRESULT hr = ole32.create_instance(kGroupPolicyObjectClass, nullptr, CLSCTX_INPROC_SERVER,
                                       kGroupPolicyObjectInterface, reinterpret_cast<void**>(gpo_.put()));
    if (FAILED(hr) || !gpo_) {
        gpo_.release();  // a failed call may have left anything in it
        say(report, VESK_LOG_ERROR, "CoCreateInstance failed; hr = %lx", static_cast<unsigned long>(hr));
        return false;
    }
    hr = gpo_.get()->OpenLocalMachineGPO(GPO_OPEN_LOAD_REGISTRY);
    if (FAILED(hr)) {
        say(report, VESK_LOG_ERROR, "OpenLocalMachineGPO failed - error %lx", static_cast<unsigned long>(hr));
        return false;
    }
    HKEY raw_root = nullptr;
    hr = gpo_.get()->GetRegistryKey(GPO_SECTION_MACHINE, &raw_root);
    if (FAILED(hr) || !raw_root) {
        say(report, VESK_LOG_ERROR, "GetRegistryKey failed - error %lx", static_cast<unsigned long>(hr));
        return false;
    }
    root_.reset(raw_root);
    DWORD disposition = 0;
    const LONG created = RegCreateKeyExW(root_.get(), kPolicyKey, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                                         nullptr, key_.put(), &disposition);
    if (created != ERROR_SUCCESS) {
        say(report, VESK_LOG_ERROR, "RegCreateKeyEx failed - error %lx", static_cast<unsigned long>(created));
        return false;
    }
    existed_ = disposition == REG_OPENED_EXISTING_KEY;
    return true;
}

LONG MachinePolicy::read(PolicyValue& value) const {
    DWORD v = 0, size = sizeof v, type = 0;
    const LONG r = RegQueryValueExW(key_.get(), kPolicyValue, nullptr, &type, reinterpret_cast<BYTE*>(&v), &size);
    if (r == ERROR_SUCCESS) value = PolicyValue{true, v};
    return r;
}

LONG MachinePolicy::write(const PolicyValue& value) const {
    if (!value.present) return RegDeleteValueW(key_.get(), kPolicyValue);
    return RegSetValueExW(key_.get(), kPolicyValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value.value),
                          sizeof value.value);
}

HRESULT MachinePolicy::save(bool add) {
    key_.reset();
    GUID extension = kRegistryExtension;
    GUID snap_in = kSnapIn;
    return gpo_.get()->Save(TRUE, add ? TRUE : FALSE, &extension, &snap_in);
}

bool set_restore_point_policy(RestorePolicySession& session, bool disable, const Ole32& ole32, PolicyReport report) {
    if (is_before_vista()) return true;  // no such policy before Windows Vista

    MachinePolicy policy;
    if (!policy.open(ole32, report)) return false;
    // Without a stored original nothing is switched off: a lost original would keep it off.
    if (disable && !find_original(session, policy, report)) return false;
    const LONG changed = policy.write(disable ? PolicyValue{true, 1} : session.original);
    if (changed != ERROR_SUCCESS)
        say(report, VESK_LOG_ERROR, "RegSetValueEx / RegDeleteValue failed - error %x", static_cast<unsigned>(changed));
    const HRESULT hr = policy.save(disable);
    if (changed != ERROR_SUCCESS) {
        if (disable && session.stored_here) (void)remove_stored_policy();  // nothing changed after all
        say(report, VESK_LOG_ERROR, "unable to apply DisableSystemRestore policy - error %lx",
            static_cast<unsigned long>(hr));
        return false;
    }
    if (!disable)
        if (const LONG r = remove_stored_policy(); r != ERROR_SUCCESS)
            say(report, VESK_LOG_ERROR, "could not remove the stored DisableSystemRestore value - error %x",
                static_cast<unsigned>(r));
    say(report, VESK_LOG_INFO, "successfully %s the system restore point creation setting",
        disable ? "disabled" : "restored");
    return true;
}

void restore_policy_left_behind(const Ole32& ole32, PolicyReport report) {
    PolicyValue original;
    if (!load_stored_policy(original)) return;
    report(VESK_LOG_WARNING, "The installer ended without restoring the restore point policy - restoring it");
    ComScope com(ole32);
    MachinePolicy policy;
    if (!policy.open(ole32, report)) return;
    const LONG changed = policy.write(original);
    const HRESULT saved = policy.save(false);
    if (changed != ERROR_SUCCESS) {
        say(report, VESK_LOG_ERROR, "Could not restore DisableSystemRestore: %s",
            last_error_text(static_cast<DWORD>(changed)));
        return;
    }
    if (FAILED(saved))
        say(report, VESK_LOG_WARNING, "Saving the restored policy failed - error %lx",
            static_cast<unsigned long>(saved));
    if (const LONG r = remove_stored_policy(); r != ERROR_SUCCESS)
        say(report, VESK_LOG_WARNING, "Could not remove the stored restore point policy: %s",
            last_error_text(static_cast<DWORD>(r)));
    report(VESK_LOG_INFO, "Restored the system restore point creation setting");
}
