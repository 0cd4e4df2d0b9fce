// The security descriptor of every object the programs create, in one place: each creation
// site takes its descriptor from here, and tests read each one back as data (trustees, rights,
// inheritance, protection, owner, label), so that a widened entry fails them.
// Files and folders the library writes get CreationSecurity (files.h): an Administrators owner
// and no DACL of their own, so they take the package folder's entries below.
#pragma once

#include <cstddef>

// The package folder: SYSTEM and Administrators only, protected from the parent's entries;
// OWNER RIGHTS with read and execute, so that whoever owns an entry gains no right to rewrite
// its DACL from being its owner.
inline constexpr wchar_t kPackageDirectorySddl[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FRFX;;;OW)";

// The stored original of the restore-point policy: only SYSTEM and the Administrators may read
// or change it.
inline constexpr wchar_t kStoredPolicySddl[] = L"D:P(A;OICI;KA;;;SY)(A;OICI;KA;;;BA)";

// The guards' private namespace and the mutexes made in it: SYSTEM and Administrators only, so
// an unelevated process can neither open the namespace nor hold a guard.
inline constexpr wchar_t kGuardSddl[] = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)";

enum class UserPipe {
    // SYSTEM, Administrators and the library's user; a High mandatory label, so the user's
    // unelevated processes can neither write nor read it.
    installer,
    // An in-process queue: the process's own user only.
    logger,
};

constexpr std::size_t kPipeSddlBytes = 256;

// The pipe's SDDL with the current token's user SID in it. False, with the thread's last error
// set, when the SID cannot be read or the text does not fit.
bool user_pipe_sddl(UserPipe pipe, char (&sddl)[kPipeSddlBytes]);
