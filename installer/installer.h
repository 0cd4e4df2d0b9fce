// The installer program's parts, shared by its entry, its flow and the tests that drive the
// parts one by one. Strings are UTF-8 throughout.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "dll_tables.h"
#include "installer_client.h"
#include "libvesk.h"
#include "owners.h"
#include "restore_point_policy.h"

inline constexpr std::size_t kInstallerPathBytes = 512;  // INF path, stored INF name, log name
inline constexpr DWORD kReaderStartWaitMs = 2000;
inline constexpr DWORD kReaderLastLinesMs = 1000;
inline constexpr DWORD kSyslogMaxPollMs = 500;
inline constexpr DWORD kSyslogPollStepMs = 100;
inline constexpr std::size_t kInstallerErrorTextBytes = 256;

// The libraries the flow calls, one table each, loaded by name at start; the flow does nothing
// before all are there.
struct installer_apis {
    Cfgmgr32 cfgmgr;
    Newdev newdev;
    SetupApi setupapi;
    Ole32 ole32;
};

// One run of the installer: its end of the pipe, its libraries and the two events it shares
// with the setup-log reader. The flow passes it down; the reader gets it as its thread parameter.
struct InstallerSession {
    InstallerClient& client;
    installer_apis apis;
    UniqueHandle reader_started;  // signalled by the reader once it follows a log
    UniqueHandle stop_reader;     // signalled by the flow to end the reader
};

// The installer has no library log: a missing function is said over the pipe.
void report_missing_function(const char* source, const char* function, const char* library);
// Loads the four tables; sends "Unable to locate %s() in %s\n" for each missing entry point
// and returns false when any is missing.
bool load_installer_apis(installer_apis& apis);

// The whole flow, from an opened pipe to the result (the exit code).
vesk_result run_installer(InstallerClient& client, int argc, char** argv);

// 0 after the node (or the root with a null ID) was re-enumerated, -1 otherwise.
int reenumerate_device(InstallerSession& session, const char* device_id);

// Setup-log reader, an InstallerSession as its parameter: started by the flow once the values
// are in; it signals reader_started once it has its offset and ends when stop_reader is signalled.
DWORD WINAPI syslog_reader(void* session);
// The Windows directory the setup logs are looked for in (GetWindowsDirectoryW); its length,
// 0 when there is none that fits.
std::size_t windows_directory(wchar_t (&out)[kInstallerPathBytes]);
// One setup-log message per complete line of `chunk` (NUL at chunk[length]); bytes consumed.
std::size_t forward_syslog_lines(InstallerClient& client, char* chunk, std::size_t length);

// Switches restore-point creation off (true) or back (false) through the local group policy
// (restore_point_policy.h), with the flow's Ole32 table, or (the first form) one of its own;
// the lines go over the pipe. The session carries the original from the one call to the other.
bool set_restore_point_policy(RestorePolicySession& session, bool disable);
bool set_restore_point_policy(RestorePolicySession& session, bool disable, const Ole32& ole32);
// Flags removed instances whose first hardware ID is `hardware_id` for reinstallation.
void flag_phantom_devices(InstallerSession& session, const char* hardware_id);

// Sends the explanation of a failed update or INF copy and returns its result code.
vesk_result map_install_error(InstallerClient& client, uint32_t error, const char* inf_path);
// "[%u] " and the system's text of `error` (0: the thread's last error), in a static buffer.
const char* installer_error_text(uint32_t error);
