// Files and directories the library creates (owned by Administrators when elevated), and the UTF-8 adaptors of the
// UTF-16 Windows calls. Each adaptor leaves the Windows last error of the call it wraps (or of the conversion that
// failed) for the caller's message.
#pragma once

#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "dll_tables.h"
#include "libvesk.h"
#include "owners.h"
#include "sizes.h"

using Utf16 = MallocPtr<wchar_t>;  // strings made by the adaptors
using Utf8 = MallocPtr<char>;

// A separately allocated copy of the current user's SID; release with LocalFree.
PSID GetSid();
bool process_is_elevated();  // false too when the token cannot be read

// The descriptor of everything the library creates: owned by the Administrators group when the
// process is elevated, else by the token's default owner (then no other is allowed); no DACL,
// so that access comes from what the parent passes on.
struct CreationSecurity {
    UniqueLocal owner;  // null: the token's default owner
    SECURITY_DESCRIPTOR sd{};
    SECURITY_ATTRIBUTES sa{};
    bool ready = false;

    explicit CreationSecurity(const char* source);  // logs a failure under that name
    SECURITY_ATTRIBUTES* attributes() { return ready ? &sa : nullptr; }
};

vesk_result check_dir(const Shell32& shell32, const char* path);  // within an operation that has the table
// Creates (or empties) a file for writing raw bytes, with CreationSecurity.
FILE* fopen_as_userU(const char* path);

wchar_t* to_utf16(const char* s);  // new string (free()), null for null or a failed conversion
char* to_utf8(const wchar_t* s);
HANDLE utf8_create_file(const char* path, DWORD desired_access, SECURITY_ATTRIBUTES* sa);
DWORD utf8_file_attributes(const char* path);
DWORD utf8_create_directory(const Shell32& shell32, const char* path, SECURITY_ATTRIBUTES* sa);
// lpVerb, lpFile, lpParameters, lpDirectory (and lpClass with SEE_MASK_CLASSNAME) are UTF-8.
BOOL utf8_shell_execute(const Shell32& shell32, SHELLEXECUTEINFOA* info);
// lpDesktop and lpTitle of the record are UTF-8.
BOOL utf8_create_process(const char* command_line, const char* current_directory, STARTUPINFOA* startup,
                         PROCESS_INFORMATION* info);
std::size_t program_directory(char (&out)[kPathBytes]);
// The last part of a path, after its last '\' or '/'; null for null.
const char* base_name(const char* path);
// A package directory copied into `dir`. One that does not fit is refused with an error line
// under `source`: a cut directory would put the package somewhere the caller did not ask for.
bool copy_package_directory(const char* given, char (&dir)[kPathBytes], const char* source);
char* temp_directory();
vesk_result process_exit_result(HANDLE process);
