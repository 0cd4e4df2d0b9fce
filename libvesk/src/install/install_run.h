// The installation run and what it shares with the installer-pipe dispatcher and the progress
// window. One run at a time per system (the run mutex); the state below belongs to it.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "dll_tables.h"

#include "libvesk.h"

// The four values of one run, owned by the caller of vesk_install_driver until it returns.
struct install_params {
    const vesk_device* device;
    const char* path;      // package directory, null or empty: TEMP
    const char* inf_name;  // base name
    const vesk_install_options* options;
    HANDLE stop = nullptr;  // signalled: end the run now (progress window's time limit); may be null
};

constexpr std::size_t kProgramNameBytes = 32;
constexpr std::size_t kProgramArgsBytes = 260;
constexpr std::size_t kReceiveBufferStartBytes = 512;
// Consecutive failed reads or waits before a run gives up on the pipe.
constexpr unsigned kMaxReadErrors = 32;

// Library-wide wait for the installer's next message: set only by codes 5 and 6, never reset
// by a new run.
extern std::atomic<DWORD> installer_wait_ms;

// Dispatcher state of the run holding the run mutex (cleared again at its end).
void begin_dispatch(const vesk_device* device, bool filter_mode, HANDLE pipe);
void end_dispatch();
// One complete message. The buffer has one writable byte after `length` (filter mode ends the
// text there). VESK_OK: read on; anything else ends the run with that result.
vesk_result process_message(char* message, std::size_t length);

// The library end of "\\.\pipe\libvesk-installer": the first and only instance, local clients
// only, open to SYSTEM, the Administrators and the creating user, at High integrity only.
// INVALID_HANDLE_VALUE on failure.
HANDLE create_installer_pipe();

// "installer_%s.exe" by machine type, and the filter installer's subdirectory.
bool installer_program_name(uint16_t arch, char (&out)[kProgramNameBytes]);
const char* filter_subdirectory(uint16_t arch);

// The elevated start through the shell ("runas"); the process handle is null when the shell
// started it without giving one.
vesk_result start_installer_elevated(const Shell32& shell32, const char* program, const char* args,
                                     const char* directory, HANDLE* process);

vesk_result install_driver_internal(const install_params* params);
// The same run for the given machine type (install_driver_internal passes this machine's).
vesk_result install_for_machine(const install_params* params, uint16_t arch);
vesk_result run_with_progress_bar(HWND parent, const install_params* params);
HWND find_security_prompt();
