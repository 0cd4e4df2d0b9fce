// The installer's side of the restore-point policy (restore_point_policy.h): its steps' lines go
// over the pipe.
#include <windows.h>

#include "installer.h"
#include "installer_protocol.h"
#include "restore_point_policy.h"

namespace {
void report_over_pipe(int, const char* text) { installer_log("%s", text); }
}  // namespace

bool set_restore_point_policy(RestorePolicySession& session, bool disable) {
    Ole32 ole32;
    if (!load_table(ole32, "installer", report_missing_function)) return false;
    return set_restore_point_policy(session, disable, ole32);
}

bool set_restore_point_policy(RestorePolicySession& session, bool disable, const Ole32& ole32) {
    return set_restore_point_policy(session, disable, ole32, report_over_pipe);
}
