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
// Where a missing function is reported: the library log, or (the installer) its pipe.
using MissingFunctionReport = void (*)(const char* source, const char* function, const char* library);

// The function, or null without a word: for callers that have a way on without it.
template <class Fn>
bool resolve_optional(HMODULE m, const char* name, Fn*& out) {
    FARPROC p = m ? GetProcAddress(m, name) : nullptr;
    out = p ? reinterpret_cast<Fn*>(reinterpret_cast<void (*)()>(p)) : nullptr;  // no -Wcast-function-type
    return p != nullptr;
}

template <class Fn>
bool resolve(HMODULE m, const char* source, const char* lib, const char* name, Fn*& out,
             MissingFunctionReport report = log_missing_function) {
    if (resolve_optional(m, name, out)) return true;
    report(source, name, lib);
    return false;
}
