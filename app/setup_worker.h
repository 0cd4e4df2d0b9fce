// One check or install at a time, on a worker thread that only posts to the window.
#pragma once

#include <windows.h>

#include <cstdint>

#include "setup_window.h"

enum : int32_t { SETUP_ACTION_CHECK = 0, SETUP_ACTION_INSTALL = 1 };
enum : int32_t {
    SETUP_OUTCOME_INCOMPLETE = 0,
    SETUP_OUTCOME_CHECKED = 1,
    SETUP_OUTCOME_ALREADY_WINUSB = 2,
    SETUP_OUTCOME_VERIFIED = 3,
};

// One heap record (calloc, freed with free) per operation: the starter's, then the worker's,
// then the window's.
struct setup_request {
    int32_t action;
    int32_t outcome;
    HWND window;     // gets WM_SETUP_DONE and owns the installer's windows
    bool no_device;  // the operation ended because no bootloader was connected
    char device_id[kDeviceIdBytes];
};

// SYSTEM and Administrators only; OWNER RIGHTS with read and execute, so that whoever owns an
// entry gains no right to rewrite its DACL from being its owner.
inline constexpr wchar_t kPackageDirectorySddl[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FRFX;;;OW)";
inline constexpr char kInfName[] = "morvane-dfu.inf";
inline constexpr char kManufacturer[] = "Morvane";
inline constexpr uint32_t kPendingWaitMs = 30000;
inline constexpr int kVerifyPolls = 40;
inline constexpr DWORD kVerifyPollIntervalMs = 250;
inline constexpr std::size_t kPackagePathUnits = MAX_PATH;  // 260, terminator included
inline constexpr std::size_t kPackagePathUtf8Bytes = 3 * MAX_PATH;
inline constexpr std::size_t kGuidStringUnits = 40;

// The worker thread of one operation; it only posts to the request's window.
DWORD WINAPI setup_worker(void* request);
