#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <sddl.h>

#include <cstring>

#include "libvesk.h"
#include "error_text.h"
#include "files.h"
#include "format_into.h"
#include "owners.h"
#include "vesk_log.h"

bool process_is_elevated() {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return false;
    UniqueHandle token(raw);
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    return GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &size) &&
           elevation.TokenIsElevated != 0;
}

CreationSecurity::CreationSecurity(const char* source) {
    if (!InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION)) {
        vesk_log_message(VESK_LOG_ERROR, source, "Could not set security descriptor: %s", last_error_text(0));
        return;
    }
    // An owner may always rewrite the DACL: the user's own SID, which unelevated programs of the
    // same user hold too, never owns what the elevated process hands to the installer.
    if (process_is_elevated()) {
        PSID admins = nullptr;
        if (!ConvertStringSidToSidW(L"BA", &admins)) {
            vesk_log_message(VESK_LOG_ERROR, source, "Could not set security descriptor: %s", last_error_text(0));
            return;
        }
        owner.reset(admins);
        if (!SetSecurityDescriptorOwner(&sd, owner.get(), FALSE)) {
            vesk_log_message(VESK_LOG_ERROR, source, "Could not set security descriptor: %s", last_error_text(0));
            return;
        }
    }
    sa.nLength = sizeof sa;
    sa.lpSecurityDescriptor = &sd;
    sa.bInheritHandle = FALSE;
    ready = true;
}

PSID GetSid() {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) {
        vesk_log_message(VESK_LOG_ERROR, "GetSid", "OpenProcessToken failed: %s", last_error_text(0));
        return nullptr;
    }
    UniqueHandle token(raw);
    DWORD size = 0;
    if (GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size)) return nullptr;
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        vesk_log_message(VESK_LOG_ERROR, "GetSid", "GetTokenInformation (pre) failed: %s", last_error_text(0));
        return nullptr;
    }
    MallocPtr<TOKEN_USER> user(static_cast<TOKEN_USER*>(std::calloc(1, size)));
    if (!user) return nullptr;
    if (!GetTokenInformation(token.get(), TokenUser, user.get(), size, &size)) {
        vesk_log_message(VESK_LOG_ERROR, "GetSid", "GetTokenInformation (real) failed: %s", last_error_text(0));
        return nullptr;
    }
    char* text = nullptr;
    if (!ConvertSidToStringSidA(user->User.Sid, &text)) {
        vesk_log_message(VESK_LOG_ERROR, "GetSid", "Unable to convert SID to string: %s", last_error_text(0));
        return nullptr;
    }
    UniqueLocal owned_text(text);
    PSID copy = nullptr;
    if (!ConvertStringSidToSidA(text, &copy)) {
        vesk_log_message(VESK_LOG_ERROR, "GetSid", "Unable to convert string back to SID: %s", last_error_text(0));
        return nullptr;
    }
    return copy;
}

vesk_result check_dir(const Shell32& shell32, const char* path) {
    const DWORD attributes = utf8_file_attributes(path);
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) return VESK_OK;
        vesk_log_message(VESK_LOG_ERROR, "check_dir", "'%s' is a file, not a directory", path);
        return VESK_ERR_ACCESS_DENIED;
    }
    const DWORD read_error = GetLastError();
    if (read_error != ERROR_FILE_NOT_FOUND && read_error != ERROR_PATH_NOT_FOUND) {
        vesk_log_message(VESK_LOG_ERROR, "check_dir", "Unable to read file attributes %s", last_error_text(read_error));
        return VESK_ERR_ACCESS_DENIED;
    }
    CreationSecurity security("check_dir");
    DWORD r = utf8_create_directory(shell32, path, security.attributes());
    if (r == ERROR_BAD_PATHNAME) {
        // A relative path lives below the running program's directory.
        MallocPtr<char> full(static_cast<char*>(std::malloc(kPathBytes)));
        if (!full) {
            vesk_log_message(VESK_LOG_ERROR, "check_dir", "Could not allocate buffer to convert relative path");
            return VESK_ERR_NO_RESOURCE;
        }
        // Without the program's directory the path stays unresolved (ERROR_BAD_PATHNAME), rather
        // than becoming "\\<path>" at the root of the current drive.
        char dir[kPathBytes];
        if (program_directory(dir) > 0) {
            (void)format_into(full.get(), kPathBytes, "%s\\%s", dir, path);
            r = utf8_create_directory(shell32, full.get(), security.attributes());
        }
    }
    if (r == ERROR_SUCCESS) return VESK_OK;
    if (r == ERROR_FILENAME_EXCED_RANGE) {
        vesk_log_message(VESK_LOG_ERROR, "check_dir", "Directory name '%s' is too long", path);
        return VESK_ERR_INVALID_PARAMETER;
    }
    vesk_log_message(VESK_LOG_ERROR, "check_dir", "Unable to create directory '%s' (%s)", path, last_error_text(r));
    return VESK_ERR_ACCESS_DENIED;
}

FILE* fopen_as_userU(const char* path) {
    if (!path) return nullptr;
    HANDLE h;
    {
        CreationSecurity security("fopen_as_userU");
        h = utf8_create_file(path, GENERIC_WRITE, security.attributes());
    }
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_WRONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(h);
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    FILE* f = _fdopen(fd, "wb");
    if (!f) {
        _close(fd);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    return f;
}

const char* base_name(const char* path) {
    if (!path) return nullptr;
    const char* base = path;
    for (const char* p = path; *p; ++p)
        if (*p == '\\' || *p == '/') base = p + 1;
    return base;
}

bool copy_package_directory(const char* given, char (&dir)[kPathBytes], const char* source) {
    if (format_into(dir, sizeof dir, "%s", given) == Fit::ok) return true;
    vesk_log_message(VESK_LOG_ERROR, source, "Package directory is longer than %u bytes: '%s'",
                     static_cast<unsigned>(sizeof dir - 1), given);
    return false;
}
