// The machine's "DisableSystemRestore" device-installation policy, changed through the local
// group policy object, and its original value, kept under the product's own HKLM key for as
// long as the policy is switched off: an installer that is killed or crashes before it puts the
// value back leaves it there, and the library (or the next installer) restores from it.
#pragma once

#include <windows.h>
#include <prsht.h>
#include <gpedit.h>

#include "dll_tables.h"
#include "owners.h"
#include "security_descriptors.h"  // kStoredPolicySddl

// A value of the policy as found: absent, or present with `value`.
struct PolicyValue {
    bool present = false;
    DWORD value = 0;
};

// HKLM, 64-bit view on every build: the 32-bit library and the 64-bit installer share it.
inline constexpr wchar_t kStoredPolicyKey[] = L"SOFTWARE\\Morvane\\Driver Setup\\Restore policy";
// REG_DWORD: the original value; REG_NONE: there was none.
inline constexpr wchar_t kStoredPolicyValue[] = L"Original DisableSystemRestore";

// The stored original, when there is one.
bool load_stored_policy(PolicyValue& original);
// Registry errors (ERROR_SUCCESS when done).
LONG store_policy(const PolicyValue& original);
LONG remove_stored_policy();

// Receives each failure of opening the policy: its text up to the code, and the code.
using PolicyReport = void (*)(const char* text, unsigned long code);

// The local machine's policy object, opened with its device-installation policy key.
class MachinePolicy {
public:
    MachinePolicy() = default;
    MachinePolicy(const MachinePolicy&) = delete;
    MachinePolicy& operator=(const MachinePolicy&) = delete;
    ~MachinePolicy();

    // Needs COM on this thread. False once a step failed and was reported.
    bool open(const Ole32& ole32, PolicyReport report);
    bool key_existed() const noexcept { return existed_; }
    // ERROR_FILE_NOT_FOUND when the value is absent.
    LONG read(PolicyValue& value) const;
    // Sets the value, or deletes it when `value` is absent.
    LONG write(const PolicyValue& value) const;
    // Closes the key and saves the machine section, "add" or "remove"; the save's HRESULT.
    HRESULT save(bool add);

private:
    IGroupPolicyObject* gpo_ = nullptr;
    UniqueHkey root_;
    UniqueHkey key_;
    bool existed_ = false;
};

// After an installer has ended: a stored original means it did not restore the policy (killed,
// timed out, crashed), so the library puts the policy back and removes the stored original.
void restore_policy_left_behind(const Ole32& ole32);
