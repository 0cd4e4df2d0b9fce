// Stands in for a browser that a user's per-user settings name as the https handler
// (HKCU\Software\Classes\https\shell\open\command): it records which process started it, and
// with what, in "url-handler-record.txt" beside itself.
#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    DWORD parent = 0;
    char parent_image[MAX_PATH] = "?";
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W e = {};
    e.dwSize = sizeof e;
    for (BOOL more = Process32FirstW(snapshot, &e); more; more = Process32NextW(snapshot, &e))
        if (e.th32ProcessID == GetCurrentProcessId()) parent = e.th32ParentProcessID;
    for (BOOL more = Process32FirstW(snapshot, &e); more; more = Process32NextW(snapshot, &e))
        if (parent != 0 && e.th32ProcessID == parent)
            std::snprintf(parent_image, sizeof parent_image, "%ls", e.szExeFile);
    CloseHandle(snapshot);
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return 1;
    char* slash = std::strrchr(path, '\\');
    if (!slash) return 1;
    std::snprintf(slash + 1, sizeof path - static_cast<std::size_t>(slash + 1 - path), "url-handler-record.txt");
    FILE* f = std::fopen(path, "ab");
    if (!f) return 1;
    std::fprintf(f, "%lu %s %s\n", static_cast<unsigned long>(parent), parent_image, argc > 1 ? argv[1] : "");
    std::fclose(f);
    return 0;
}
