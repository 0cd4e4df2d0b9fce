// Loading Windows libraries by name, only from the system directory, and resolving every
// function before any of it is used.
#pragma once

#include <windows.h>

#include "owners.h"

// First thing in every program's entry: later loads by bare name search only System32, so a
// DLL planted beside the (elevated) program is never picked up.
void restrict_dll_search();

// Loads a system library by name ("Cfgmgr32"): the load, else an already loaded module, else
// the load once more, always confined to the system directory.
HMODULE load_system_library(const char* name);

// "Unable to locate %s() in %s\n" at error level, with the caller's source label.
void log_missing_function(const char* source, const char* function, const char* library);

template <class Fn>
bool resolve(HMODULE m, const char* source, const char* lib, const char* name, Fn*& out) {
    FARPROC p = m ? GetProcAddress(m, name) : nullptr;
    if (!p) {
        log_missing_function(source, name, lib);
        out = nullptr;
        return false;
    }
    out = reinterpret_cast<Fn*>(reinterpret_cast<void (*)()>(p));  // no -Wcast-function-type
    return true;
}
