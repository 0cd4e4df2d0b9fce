#include "load_library.h"
#include "libvesk.h"

#include <atomic>
#include <cstring>

#include "format_into.h"
#include "sizes.h"
#include "vesk_log.h"

namespace {
std::atomic<bool> search_restricted{false};

// Without SetDefaultDllDirectories (an unpatched Windows 7), name the file in System32 itself.
HMODULE load_from_system_directory(const char* name) {
    char path[MAX_PATH];
    const UINT n = GetSystemDirectoryA(path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return nullptr;
    const char* ext = std::strchr(name, '.') ? "" : ".dll";
    char full[MAX_PATH];
    if (format_into(full, sizeof full, "%s\\%s%s", path, name, ext) != Fit::ok) return nullptr;
    return LoadLibraryA(full);
}

HMODULE load_once(const char* name) {
    return search_restricted.load() ? LoadLibraryA(name) : load_from_system_directory(name);
}
}  // namespace

void restrict_dll_search() {
    using SetDefaultDllDirectoriesFn = BOOL WINAPI(DWORD);  // missing on an unpatched Windows 7
    SetDefaultDllDirectoriesFn* set_dirs = nullptr;
    if (!resolve_optional(GetModuleHandleA("kernel32.dll"), "SetDefaultDllDirectories", set_dirs)) return;
    if (set_dirs(LOAD_LIBRARY_SEARCH_SYSTEM32)) search_restricted = true;
}

HMODULE load_system_library(const char* name) {
    if (HMODULE m = load_once(name)) return m;
    // An already loaded module, with its reference count raised so that FreeLibrary balances.
    HMODULE m = nullptr;
    if (GetModuleHandleExA(0, name, &m) && m) return m;
    return load_once(name);
}

void log_missing_function(const char* source, const char* function, const char* library) {
    vesk_log_message(VESK_LOG_ERROR, source, "Unable to locate %s() in %s\n", function, library);
}
