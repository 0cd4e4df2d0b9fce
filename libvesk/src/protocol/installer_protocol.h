// The installer pipe: its name, message codes and limits, shared by the library (server end)
// and the installer program (client end). Every write is one message; the first byte of an
// installer message is its code, replies carry no code byte.
#pragma once

#include <windows.h>

#include <cstdint>

#include "format_into.h"
#include "libvesk.h"

// "\\.\pipe\libvesk-installer-" and 128 random bits in 32 hexadecimal digits, new for each run:
// a fixed name could be taken first by anyone and stop every installation. The library gives
// the installer the digits on its command line, after the INF name.
inline constexpr char kInstallerPipePrefix[] = "\\\\.\\pipe\\libvesk-installer-";
inline constexpr std::size_t kPipeTokenRandomBytes = 16;
inline constexpr std::size_t kPipeTokenBytes = 2 * kPipeTokenRandomBytes + 1;  // digits and NUL
inline constexpr std::size_t kInstallerPipeNameBytes = sizeof kInstallerPipePrefix - 1 + kPipeTokenBytes;

struct InstallerPipeName {
    char token[kPipeTokenBytes];         // the digits, as the installer's argument
    char path[kInstallerPipeNameBytes];  // the whole name
};
// A new name from the system's random generator; false when it gave none.
bool new_installer_pipe_name(InstallerPipeName& name);
// The name for the installer's argument: exactly 32 digits 0-9, A-F; false for anything else.
bool installer_pipe_name_from_token(const char* token, InstallerPipeName& name);

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
