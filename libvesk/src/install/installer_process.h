// The installer program of a run: which one, started how (directly, or elevated through the
// shell), and how its end is read.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "dll_tables.h"
#include "libvesk.h"
#include "owners.h"
#include "sizes.h"

constexpr std::size_t kProgramNameBytes = 32;
constexpr std::size_t kProgramArgsBytes = 260;

// "installer_%s.exe" by machine type, and the filter installer's subdirectory.
bool installer_program_name(uint16_t arch, char (&out)[kProgramNameBytes]);
const char* filter_subdirectory(uint16_t arch);

// The program to start, its arguments and its directory.
struct InstallerCommand {
    char directory[kPathBytes];
    char program[kProgramNameBytes];
    char args[kProgramArgsBytes];
    char program_file[kPathBytes];  // directory\program
    char program_path[kPathBytes];  // the same in double quotes, for a command line
};

struct InstallerProcess {
    UniqueHandle process;  // null when the shell started it without giving one
    UniqueHandle thread;
};

// Starts the command's program: directly when this process is an administrator, else elevated
// through the shell. In filter mode `filter_output` is the end the child writes its output to;
// otherwise the file is first held and compared with the installer this program carries.
vesk_result start_installer(const Shell32& shell32, const InstallerCommand& command, HANDLE filter_output,
                            InstallerProcess& started);

// The elevated start through the shell ("runas") of the program at its full path, never a name
// for the shell to search; `process` is null when the shell started it without giving one.
vesk_result start_installer_elevated(const Shell32& shell32, const char* program_file, const char* args,
                                     const char* directory, HANDLE* process);

// What an installer that has ended (or been ended) left: its exit code as a result.
vesk_result installer_exit_result(HANDLE process);
// Ends an installer that the run gives up on; the result is always the time-out.
vesk_result end_installer(HANDLE process);
