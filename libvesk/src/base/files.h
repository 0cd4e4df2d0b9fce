// Files and directories owned by the current user, and the UTF-8 adaptors of the UTF-16
// Windows calls. Each adaptor leaves the Windows last error of the call it wraps (or of the
// conversion that failed) for the caller's message.
#pragma once

#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "libvesk.h"
#include "sizes.h"

struct FreeDeleter {
    void operator()(void* p) const noexcept { std::free(p); }
};
template <class T>
using MallocPtr = std::unique_ptr<T, FreeDeleter>;  // strings made by the adaptors
using Utf16 = MallocPtr<wchar_t>;
using Utf8 = MallocPtr<char>;

// A separately allocated copy of the current user's SID; release with LocalFree.
PSID GetSid();
vesk_result check_dir(const char* path);
// Creates (or empties) a file for writing raw bytes, owned by the current user.
FILE* fopen_as_userU(const char* path);

wchar_t* to_utf16(const char* s);  // new string (free()), null for null or a failed conversion
char* to_utf8(const wchar_t* s);
HANDLE utf8_create_file(const char* path, DWORD desired_access, SECURITY_ATTRIBUTES* sa);
BOOL utf8_delete_file(const char* path);
DWORD utf8_file_attributes(const char* path);
DWORD utf8_create_directory(const char* path, SECURITY_ATTRIBUTES* sa);
// lpVerb, lpFile, lpParameters, lpDirectory (and lpClass with SEE_MASK_CLASSNAME) are UTF-8.
BOOL utf8_shell_execute(SHELLEXECUTEINFOA* info);
// lpDesktop and lpTitle of the record are UTF-8.
BOOL utf8_create_process(const char* command_line, const char* current_directory, STARTUPINFOA* startup,
                         PROCESS_INFORMATION* info);
std::size_t program_directory(char (&out)[kPathBytes]);
char* temp_directory();
vesk_result process_exit_result(HANDLE process);
