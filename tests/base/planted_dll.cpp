// A DLL named like a system library, put beside a program to show that nothing loads it: its
// load is recorded as a file "<its own path>.loaded", made when it is attached to a process.
#include <windows.h>

#include <string>

extern "C" {
__declspec(dllexport) int vesk_planted_marker();
BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, void*);
}

int vesk_planted_marker() { return 42; }

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, void*) {
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(self, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH - 8) return TRUE;
    const std::wstring record = std::wstring(path, n) + L".loaded";
    const HANDLE h =
        CreateFileW(record.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    return TRUE;
}
