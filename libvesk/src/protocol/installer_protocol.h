// The installer pipe "\\.\pipe\libvesk-installer": message codes and limits shared by the
// library (server end) and the installer program (client end). Every write is one message;
// the first byte of an installer message is its code, replies carry no code byte.
#pragma once

#include <windows.h>

#include <cstdint>

#include "format_into.h"
#include "libvesk.h"

inline constexpr char kInstallerPipeName[] = "\\\\.\\pipe\\libvesk-installer";

enum : int8_t {
    INSTALLER_MSG_PRINT = 0,                // text (at most 254 bytes) and NUL
    INSTALLER_MSG_SYSLOG = 1,               // one setup-log line and NUL
    INSTALLER_MSG_REQUEST_DEVICE_ID = 2,    // reply: the device instance ID
    INSTALLER_MSG_REQUEST_HARDWARE_ID = 3,  // reply: the hardware ID
    INSTALLER_MSG_REQUEST_USER_SID = 4,     // reply: the user's SID string
    INSTALLER_MSG_TIMEOUT_INFINITE = 5,
    INSTALLER_MSG_TIMEOUT_FINITE = 6,
    INSTALLER_MSG_STATUS = 7,  // result code as one signed byte
    INSTALLER_MSG_COMPLETED = 8,
};

inline constexpr DWORD INSTALLER_DEFAULT_TIMEOUT_MS = 10000;  // library's finite wait
inline constexpr DWORD kInstallerReplyWaitMs = 5000;          // installer's wait for a reply
inline constexpr std::size_t kInstallerPipeBufferBytes = 4096;
inline constexpr std::size_t kInstallerPrintBytes = 256;  // code, 254 bytes of text, NUL
inline constexpr std::size_t kInstallerReplyBytes = 512;

// Installer end. The installer program opens the client end into installer_pipe; until then
// (and after it closes) the senders do nothing.
extern HANDLE installer_pipe;
// The client end as the installer program opens it: identification only, and only when the
// server end belongs to the process that started this one. INVALID_HANDLE_VALUE otherwise, with
// `refused` set when a server was found that is not that process.
HANDLE open_installer_pipe(bool* refused);
VESK_PRINTF(1, 2) void installer_log(const char* fmt, ...);
void send_code(int8_t code);
// Codes 2, 3, 4: one request/reply exchange; the value lives in a static buffer per value,
// null when absent.
const char* req_id(int8_t code);
void send_status(vesk_result status);
