// Named mutex that keeps a library call from overlapping with itself anywhere on the system. A
// call that finds the mutex already present fails at once; none waits. The handle is closed
// (never explicitly released) when the guard goes out of scope.
// The mutexes live in a private namespace whose boundary holds the Administrators group and
// which only SYSTEM and the Administrators may open: an unelevated process can neither create
// a guard first nor make the namespace, so it cannot keep the calls busy for ever. Where the
// system has no private namespaces at all (Wine), they are "Global\%s", with one log line.
#pragma once

#include "libvesk.h"
#include "owners.h"
#include "sizes.h"

// Closes a handle of CreatePrivateNamespace/OpenPrivateNamespace, leaving the namespace to end
// with its last handle.
void close_private_namespace(HANDLE name_space);
using UniqueNamespace = Unique<NullTr<HANDLE, &close_private_namespace>>;

// Where a guard says what went wrong (at most once per process for each kind): the guarded
// function's name as source and one finished line. The library's calls pass log_guard_report
// (vesk_log.h); the logger's own calls pass none, since they run before a logger exists and
// while the window reads lines.
using GuardReport = void (*)(int level, const char* source, const char* text);

class GlobalGuard {
public:
    GlobalGuard(const char* function_name, GuardReport report);
    // VESK_OK when this call holds the guard, VESK_ERR_BUSY, or VESK_ERR_NO_RESOURCE.
    vesk_result status() const noexcept { return status_; }

private:
    UniqueNamespace namespace_;  // declared first: it outlives the mutex made in it
    UniqueHandle mutex_;
    vesk_result status_ = VESK_ERR_NO_RESOURCE;
};

// The guard's object name: "<namespace alias>\%s", or "Global\%s" without private namespaces.
// False when it does not fit.
bool guard_object_name(const char* function_name, char (&name)[kMutexNameBytes]);
