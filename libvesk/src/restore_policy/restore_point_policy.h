// The machine's "DisableSystemRestore" device-installation policy, changed through the local
// group policy object, and its original value, kept under the product's own HKLM key for as
// long as the policy is switched off: an installer that is killed or crashes before it puts the
// value back leaves it there, and the library (or the next installer) restores from it. Both
// programs use this one module: the installer switches the policy off and back, the library
// puts back what an installer left.
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

// Where the module says what happened: a level (VESK_LOG_*) and one finished line. The
// installer sends the line over its pipe, the library logs it.
using PolicyReport = void (*)(int level, const char* text);

// The local machine's policy object, opened with its device-installation policy key.
class MachinePolicy {
public:
    MachinePolicy() = default;
    MachinePolicy(const MachinePolicy&) = delete;
    MachinePolicy& operator=(const MachinePolicy&) = delete;

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
    UniqueCom<IGroupPolicyObject> gpo_;  // declared first: released after the keys below
    UniqueHkey root_;
    UniqueHkey key_;
    bool existed_ = false;
};

// One installer run's switch: what its disable step found, for its restore step.
struct RestorePolicySession {
    PolicyValue original;      // found by the disable step (or taken from a stored one)
    bool stored_here = false;  // the stored original was made by this run's disable step
    bool off = false;          // the disable step changed the policy: the restore must run
};

// Switches restore-point creation off (true) or back to the session's original (false); true
// when the value was set or deleted, or when there is no such policy (before Windows Vista).
// Needs COM on this thread. Each step's outcome goes to `report`.
bool set_restore_point_policy(RestorePolicySession& session, bool disable, const Ole32& ole32, PolicyReport report);

// After an installer has ended: a stored original means it did not restore the policy (killed,
// timed out, crashed), so the library puts the policy back and removes the stored original.
void restore_policy_left_behind(const Ole32& ole32, PolicyReport report);
