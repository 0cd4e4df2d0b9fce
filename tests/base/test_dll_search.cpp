// A DLL planted beside the (elevated) program under a system library's name must not be the
// one the library loads. Runs with WINEDLLOVERRIDES=mssign32=n,b, so that Wine, like Windows,
// would take the planted file if the search reached the program's folder. (The name is
// MSSign32 because Wine's own user32 imports version.dll, so a planted version.dll is pulled
// in by Wine's loader before main; on Windows user32 is a known DLL and is not affected.)
#include <windows.h>

#define DOCTEST_CONFIG_IMPLEMENT
#include <doctest.h>

#include <cstring>
#include <string>

#include "load_library.h"
#include "owners.h"

namespace {
bool has_marker(HMODULE m) { return reinterpret_cast<void*>(GetProcAddress(m, "vesk_planted_marker")) != nullptr; }

// The control runs in a child: an unrestricted load of the bare name, exit 42 when it found
// the planted file.
int control() {
    HMODULE m = LoadLibraryA("mssign32.dll");
    return m && has_marker(m) ? 42 : 1;
}

DWORD run_control() {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring cmd = L"\"" + std::wstring(self) + L"\" --control";
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return 0;
    UniqueHandle process(pi.hProcess), thread(pi.hThread);
    WaitForSingleObject(pi.hProcess, 20000);
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    return code;
}
}  // namespace

TEST_CASE("loads by name come from the system directory only") {
    restrict_dll_search();
    UniqueModule m(load_system_library("MSSign32"));
    REQUIRE(m);
    CHECK_FALSE(has_marker(m.get()));
    CHECK(reinterpret_cast<void*>(GetProcAddress(m.get(), "SignerSignEx")) != nullptr);
    char path[MAX_PATH], system[MAX_PATH];
    REQUIRE(GetModuleFileNameA(m.get(), path, MAX_PATH) > 0);
    const int n = static_cast<int>(GetSystemDirectoryA(system, MAX_PATH));
    REQUIRE(n > 0);
    CHECK(CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, path, n, system, n) == CSTR_EQUAL);

    // Control: without the restriction the planted file is found, so the checks above can
    // tell the two apart.
    CHECK(run_control() == 42);
}

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--control") == 0) return control();
    return doctest::Context(argc, argv).run();
}
