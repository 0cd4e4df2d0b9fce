// A DLL planted beside the (elevated) program under a system library's name must not be the
// one the library loads. Runs with WINEDLLOVERRIDES=mssign32=n,b, so that Wine, like Windows,
// would take the planted file if the search reached the program's folder. (The name is
// MSSign32 because Wine's own user32 imports version.dll, so a planted version.dll is pulled
// in by Wine's loader before main; on Windows user32 is a known DLL and is not affected.)
#include <windows.h>

#define DOCTEST_CONFIG_IMPLEMENT
#include <doctest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "load_library.h"
#include "owners.h"
#if VESK_PLANTED_PROGRAMS
#include "gui_support.h"
#include "installer_server.h"
#include "own_desktop.h"
#endif

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

#if VESK_PLANTED_PROGRAMS
// The three programs, each copied into a folder of its own with a marker DLL under every name
// of planted-names.sh's list; the marker leaves "<name>.loaded" when something loads it. Wine
// is told to prefer the planted file (as Windows would if the search reached the folder) for
// the names the list marks "n", by its per-program settings (HKCU\Software\Wine\AppDefaults,
// removed afterwards); a control program in the same folder, loading one of them without the
// restriction, shows that the marker and the preference work.
namespace {
std::string windows_path(const std::string& unix_path) {
    std::string p = unix_path;
    for (char& c : p)
        if (c == '/') c = '\\';
    if (!p.empty() && p[0] == '\\') p.insert(0, "Z:");
    return p;
}

struct Plant {
    std::string name;
    bool prefer;  // Wine takes the planted file first ("native,builtin")
};

std::vector<Plant> read_plants(const std::string& list) {
    std::vector<Plant> plants;
    std::ifstream in(windows_path(list));
    std::string name, order;
    while (in >> name >> order) plants.push_back({name, order == "n"});
    return plants;
}

std::string app_defaults(const std::string& program) { return "Software\\Wine\\AppDefaults\\" + program; }

// Wine's load order for one program: the preferred names native first, the others as Wine has them.
void set_load_order(const std::string& program, const std::vector<Plant>& plants) {
    RegDeleteTreeA(HKEY_CURRENT_USER, app_defaults(program).c_str());
    UniqueHkey key;
    REQUIRE(RegCreateKeyExA(HKEY_CURRENT_USER, (app_defaults(program) + "\\DllOverrides").c_str(), 0, nullptr, 0,
                            KEY_SET_VALUE, nullptr, key.put(), nullptr) == ERROR_SUCCESS);
    static const char kNativeFirst[] = "native,builtin";
    for (const Plant& p : plants)
        if (p.prefer)
            REQUIRE(RegSetValueExA(key.get(), p.name.substr(0, p.name.size() - 4).c_str(), 0, REG_SZ,
                                   reinterpret_cast<const BYTE*>(kNativeFirst), sizeof kNativeFirst) == ERROR_SUCCESS);
}

// Removes the per-program settings when the row ends, however it ends.
struct LoadOrders {
    std::vector<std::string> programs;
    ~LoadOrders() {
        for (const std::string& p : programs) RegDeleteTreeA(HKEY_CURRENT_USER, app_defaults(p).c_str());
    }
};

std::string folder_of(const std::string& path) { return path.substr(0, path.find_last_of('\\')); }
std::string file_of(const std::string& path) { return path.substr(path.find_last_of('\\') + 1); }

// Which markers in `folder` recorded a load; the records are removed.
std::vector<std::string> take_records(const std::string& folder) {
    std::vector<std::string> loaded;
    WIN32_FIND_DATAA f;
    UniqueFind find(FindFirstFileA((folder + "\\*.loaded").c_str(), &f));
    if (find) {
        do loaded.push_back(f.cFileName);
        while (FindNextFileA(find.get(), &f));
    }
    for (const std::string& n : loaded) DeleteFileA((folder + "\\" + n).c_str());
    return loaded;
}

// The folder next to this test program, with the program, the control and the markers in it;
// the copy's path.
std::string plant_beside(const std::string& unix_program, const std::string& list, const std::string& marker,
                         const std::string& control, LoadOrders& orders) {
    const std::string program = windows_path(unix_program);
    char self[MAX_PATH];
    REQUIRE(GetModuleFileNameA(nullptr, self, MAX_PATH) > 0);
    const std::string folder = folder_of(self) + "\\closure-" + file_of(program);
    CreateDirectoryA(folder.c_str(), nullptr);
    (void)take_records(folder);
    {  // markers of an earlier list go
        WIN32_FIND_DATAA f;
        UniqueFind find(FindFirstFileA((folder + "\\*.dll").c_str(), &f));
        if (find) do
                DeleteFileA((folder + "\\" + f.cFileName).c_str());
            while (FindNextFileA(find.get(), &f));
    }
    const std::vector<Plant> plants = read_plants(list);
    REQUIRE_MESSAGE(plants.size() > 10, "no name list at " << list);
    for (const Plant& p : plants)
        REQUIRE_MESSAGE(CopyFileA(windows_path(marker).c_str(), (folder + "\\" + p.name).c_str(), FALSE),
                        p.name << " from " << marker << ": error " << GetLastError());
    orders.programs = {file_of(program), "planted_control.exe"};
    for (const std::string& p : orders.programs) set_load_order(p, plants);
    const std::string copy = folder + "\\" + file_of(program);
    REQUIRE(CopyFileA(program.c_str(), copy.c_str(), FALSE));
    REQUIRE(CopyFileA(windows_path(control).c_str(), (folder + "\\planted_control.exe").c_str(), FALSE));
    return copy;
}

// Control: an unrestricted load of a preferred name in that folder finds the marker.
void check_control(const std::string& copy) {
    const std::string folder = folder_of(copy);
    server::Script no_pipe;
    no_pipe.create_pipe = false;
    const server::Conversation c = server::run(folder + "\\planted_control.exe", "setupapi.dll", folder, no_pipe);
    CHECK_MESSAGE(c.exit_code == 42, c.output);
    const std::vector<std::string> loaded = take_records(folder);
    CHECK(std::find(loaded.begin(), loaded.end(), "setupapi.dll.loaded") != loaded.end());
}

void check_nothing_loaded(const std::string& copy) {
    std::string loaded;
    for (const std::string& n : take_records(folder_of(copy))) loaded += " " + n;
    CHECK_MESSAGE(loaded.empty(), file_of(copy) << " loaded planted DLLs:" << loaded);
}

// The installer served like the library would, without arguments: it loads its libraries, then
// refuses for want of an INF name.
void run_installer(const std::string& copy) {
    const server::Conversation c = server::run(copy, "", folder_of(copy), server::Script{});
    CHECK_MESSAGE(c.has_text("missing inf_name parameter"), c.dump());
    CHECK_FALSE(c.has_text("could not init DLLs"));
    CHECK(static_cast<int>(c.exit_code) == VESK_ERR_INVALID_PARAMETER);
}

// The setup program runs its first check (which loads the device libraries) and is closed; a
// close is refused while the check runs, so the window is asked until the program has ended.
void run_setup_program(const std::string& copy) {
    std::string command = "\"" + copy + "\"";
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    REQUIRE(CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, folder_of(copy).c_str(), &si,
                           &pi));
    UniqueHandle process(pi.hProcess), thread(pi.hThread);
    HWND window = nullptr;
    gui::wait_for(
        [&] {
            for (HWND h : gui::top_windows(pi.dwProcessId, L"MorvaneDriverSetup"))
                if (IsWindowVisible(h)) window = h;
            return window != nullptr || WaitForSingleObject(pi.hProcess, 0) == WAIT_OBJECT_0;
        },
        30000);
    REQUIRE_MESSAGE(window, "the setup program showed no window");
    const bool ended = gui::wait_for(
        [&] {
            PostMessageW(window, WM_CLOSE, 0, 0);
            return WaitForSingleObject(pi.hProcess, 500) == WAIT_OBJECT_0;
        },
        60000);
    if (!ended) TerminateProcess(pi.hProcess, 99);
    CHECK(ended);
}

std::string env(const char* name) { return server::env(name); }
}  // namespace

TEST_CASE("no DLL planted beside the programs is loaded, under any name of their import closure") {
    struct Row {
        const char* program;
        const char* list;
        const char* marker;
        const char* control;
        void (*run)(const std::string& copy);
    };
    static const Row rows[] = {
        {"VESK_PLANTED_SETUP", "VESK_PLANTED_NAMES_SETUP", "VESK_PLANTED_MARKER_X86", "VESK_PLANTED_CONTROL_X86",
         run_setup_program},
        {"VESK_PLANTED_INSTALLER_X86", "VESK_PLANTED_NAMES_X86", "VESK_PLANTED_MARKER_X86", "VESK_PLANTED_CONTROL_X86",
         run_installer},
        {"VESK_PLANTED_INSTALLER_X64", "VESK_PLANTED_NAMES_X64", "VESK_PLANTED_MARKER_X64", "VESK_PLANTED_CONTROL_X64",
         run_installer},
    };
    for (const Row& r : rows) {
        CAPTURE(r.program);
        LoadOrders orders;
        const std::string copy = plant_beside(env(r.program), env(r.list), env(r.marker), env(r.control), orders);
        check_control(copy);
        r.run(copy);
        check_nothing_loaded(copy);
    }
}
#endif

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--control") == 0) return control();
#if VESK_PLANTED_PROGRAMS
    // The setup program needs a desktop with the test's display.
    if (!std::getenv("VESK_ON_TEST_DESKTOP"))
        return gui_desktop::run_again_on_own_desktop(L"VESK_ON_TEST_DESKTOP", L"1");
#endif
    return doctest::Context(argc, argv).run();
}
