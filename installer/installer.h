// The installer program's parts, shared by its entry, its flow and the tests that drive the
// parts one by one. Strings are UTF-8 throughout.
#pragma once

#include <windows.h>
#include <cfgmgr32.h>

#include <cstddef>
#include <cstdint>

#include "libvesk.h"
#include "owners.h"

inline constexpr std::size_t kInstallerPathBytes = 512;  // INF path, stored INF name, log name
inline constexpr DWORD kReaderStartWaitMs = 2000;
inline constexpr DWORD kReaderLastLinesMs = 1000;
inline constexpr DWORD kSyslogMaxPollMs = 500;
inline constexpr DWORD kSyslogPollStepMs = 100;
inline constexpr std::size_t kInstallerErrorTextBytes = 256;

// Entry points looked up by name at start; the flow does nothing before all are there.
struct installer_apis {
    UniqueModule cfgmgr;
    decltype(&::CM_Locate_DevNodeA) locate_devnode = nullptr;
    decltype(&::CM_Reenumerate_DevNode) reenumerate_devnode = nullptr;
    decltype(&::CM_Get_DevNode_Status) get_devnode_status = nullptr;
    UniqueModule newdev;
    BOOL(WINAPI* update_driver)(HWND, LPCWSTR, LPCWSTR, DWORD, PBOOL) = nullptr;
};
extern installer_apis apis;
// Loads Cfgmgr32 and Newdev and resolves what the flow calls; at the first missing entry point
// sends "Unable to locate %s() in %s\n" and returns false.
bool load_installer_apis();
void release_installer_apis();

// The whole flow, from an opened pipe to the result (the exit code).
vesk_result run_installer(int argc, char** argv);

// 0 after the node (or the root with a null ID) was re-enumerated, -1 otherwise.
int reenumerate_device(const char* device_id);

// Setup-log reader: started by the flow once the values are in; it signals reader_started
// once it has its offset and ends when stop_reader is signalled.
extern HANDLE reader_started;
extern HANDLE stop_reader;
DWORD WINAPI syslog_reader(void*);
// The Windows directory the setup logs are looked for in (GetWindowsDirectoryW); its length,
// 0 when there is none that fits.
std::size_t windows_directory(wchar_t (&out)[kInstallerPathBytes]);
// One setup-log message per complete line of `chunk` (NUL at chunk[length]); bytes consumed.
std::size_t forward_syslog_lines(char* chunk, std::size_t length);

// Switches restore-point creation off (true) or back (false) through the local group policy.
bool set_restore_point_policy(bool disable);
// Flags removed instances whose first hardware ID is `hardware_id` for reinstallation.
void flag_phantom_devices(const char* hardware_id);

// Sends the explanation of a failed update or INF copy and returns its result code.
vesk_result map_install_error(uint32_t error, const char* inf_path);
// "[%u] " and the system's text of `error` (0: the thread's last error), in a static buffer.
const char* installer_error_text(uint32_t error);
