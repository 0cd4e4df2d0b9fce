// What same-user code could do to find a signing key: list the key containers of the machine's
// and the user's key sets, over and over, and note every one that was not there at the start.
//   key_container_watcher.exe STOP_EVENT REPORT_FILE
// Writes "READY" to the report once it has the containers present at the start, polls every
// 2 ms until the named event is set, then writes "POLLS <n>" and one "NEW <name>" per container
// that appeared meanwhile (even if it went again).
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <set>
#include <string>

#include "key_containers.h"

namespace {
// Both provider types that a signing key could be made with; each lists the containers it sees.
const struct {
    const wchar_t* name;
    DWORD type;
} kProviders[] = {{MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES}, {nullptr, PROV_RSA_FULL}};

void list_containers(std::set<std::string>& out) {
    for (const auto& provider : kProviders) list_key_containers(provider.name, provider.type, out);
}

void write_report(const wchar_t* path, const std::string& text) {
    HANDLE f =
        CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(f, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(f);
}
}  // namespace

int wmain(int argc, wchar_t** argv);
int wmain(int argc, wchar_t** argv) {
    if (argc != 3) return 2;
    HANDLE stop = OpenEventW(SYNCHRONIZE, FALSE, argv[1]);
    if (!stop) return 1;
    std::set<std::string> before;
    list_containers(before);
    write_report(argv[2], "READY\n");
    std::set<std::string> appeared;
    unsigned long polls = 0;
    while (WaitForSingleObject(stop, 2) == WAIT_TIMEOUT) {
        std::set<std::string> now;
        list_containers(now);
        ++polls;
        for (const std::string& name : now)
            if (!before.count(name)) appeared.insert(name);
    }
    std::string report = "READY\nPOLLS " + std::to_string(polls) + "\n";
    for (const std::string& name : appeared) report += "NEW " + name + "\n";
    write_report(argv[2], report);
    CloseHandle(stop);
    return 0;
}
