// The installer's end of the installer pipe: progress texts, single codes, the status and the
// three request/reply exchanges, all through the client record the program opens.
#pragma once

#include <windows.h>

#include <cstdint>

#include "format_into.h"
#include "installer_protocol.h"
#include "libvesk.h"
#include "owners.h"

struct InstallerValue {
    const char* name;
    char buffer[kInstallerReplyBytes];
};

// The client end and the three values received over it. Until the end is open (and after it
// is closed) every sender does nothing.
struct InstallerClient {
    UniqueFile pipe;
    InstallerValue device_id{"device_id", {}};
    InstallerValue hardware_id{"hardware_id", {}};
    InstallerValue user_sid{"user_sid", {}};
};

// Opens the client end of the named pipe as the installer program does: identification only,
// and only when the server end belongs to the process that started this one. False otherwise,
// with `refused` set when a server was found that is not that process.
bool open_installer_pipe(InstallerClient& client, const InstallerPipeName& name, bool* refused);
VESK_PRINTF(2, 3) void installer_log(InstallerClient& client, const char* fmt, ...);
void send_code(InstallerClient& client, int8_t code);
void send_status(InstallerClient& client, vesk_result status);
// One message as it is; the outcome is ignored.
void send_message(InstallerClient& client, const void* data, DWORD size);
// Codes 2, 3, 4: one request/reply exchange; the value lives in the client's buffer for it,
// null when absent.
const char* req_id(InstallerClient& client, int8_t code);

// The restore-point policy code reports without a client of its own: its texts go to the
// client set here (the program's one), and nowhere while none is set.
void set_report_client(InstallerClient* client);
VESK_PRINTF(1, 2) void installer_log(const char* fmt, ...);
