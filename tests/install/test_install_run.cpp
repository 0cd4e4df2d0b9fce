// The installation run in standard and filter mode against a scripted stand-in installer that
// the run starts from a package directory, and the installer pipe it serves.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

#include <doctest.h>

#include <atomic>
#include <cstring>
#include <string>

#include "doubles_support.h"
#include "installer_protocol.h"
#include "owners.h"
#include "restore_point_policy.h"
#include "run_support.h"

using namespace run_test;

namespace {
vesk_result run(const Package& p, const vesk_device* device, const char* inf = "morvane-dfu.inf",
                const vesk_install_options* options = nullptr) {
    return vesk_install_driver(device, p.dir().c_str(), inf, options);
}

std::string user_sid_text() {
    UniqueLocal sid(GetSid());
    char* text = nullptr;
    REQUIRE(ConvertSidToStringSidA(sid.get(), &text));
    std::string s = text;
    LocalFree(text);
    return s;
}

// "none", "absent" or the stored original in decimal.
std::string stored_policy() {
    PolicyValue v;
    if (!load_stored_policy(v)) return "none";
    return v.present ? std::to_string(v.value) : "absent";
}

}  // namespace

TEST_CASE("the prefix behaves as the run expects") {
    // Wine runs every program as an administrator, so the run creates the installer directly;
    // the shell's "runas" starts a program without asking.
    CHECK(IsUserAnAdmin());
    Shell32 shell32;
    REQUIRE(load_table(shell32, "test"));
    Package p("noconnect exit:7", true);
    // Started from its full path: a program of the same name in the directory given to the
    // shell (the one it runs in, whose script it plays) is not the one that runs.
    Package other("noconnect exit:9", true);
    const std::string program = p.file(installer_name());
    HANDLE process = nullptr;
    REQUIRE(start_installer_elevated(shell32, program.c_str(), "\"x.inf\"", other.dir().c_str(), &process) == VESK_OK);
    REQUIRE(process);
    CHECK(WaitForSingleObject(process, 10000) == WAIT_OBJECT_0);
    DWORD code = 0;
    CHECK(GetExitCodeProcess(process, &code));
    CHECK(code == 9);
    CloseHandle(process);
    CHECK(_stricmp(read_text(other.file("standin-path.txt")).c_str(), (program + "\n").c_str()) == 0);

    capture_log();
    clear_log();
    CHECK(start_installer_elevated(shell32, p.file("no-such-installer.exe").c_str(), "", p.dir().c_str(), &process) ==
          VESK_ERR_NOT_FOUND);
    CHECK(process == nullptr);
    CHECK_MESSAGE(has_line("libvesk:info [install_driver_internal] Could not find installer executable"), dump_log());
    // A bare name is never handed to the shell to search for.
    clear_log();
    CHECK(start_installer_elevated(shell32, installer_name().c_str(), "", p.dir().c_str(), &process) ==
          VESK_ERR_INVALID_PARAMETER);
    CHECK(process == nullptr);
    CHECK(has_line("Refusing to start '" + installer_name() + "' elevated without its full path"));
}

TEST_CASE("a whole conversation in the normal order") {
    capture_log();
    TestDevice d;
    Package p(
        "print:got_parameter_x.inf req:2 req:3 req:4 syslog:40 code:5 code:6 code:8 status:0 "
        "print:after_status close exit:0");
    clear_log();
    CHECK(run(p, &d.record, "C:\\pkg\\x.inf") == VESK_OK);
    CAPTURE(dump_log());
    const std::string replies = read_text(p.file("standin-replies.txt"));
    CHECK(replies == std::string("2=") + d.device_id + "\n3=" + d.hardware_id + "\n4=" + user_sid_text() + "\n");
    static const char* const expected[] = {
        "libvesk:debug [vesk_install_driver] Using standard mode",
        "libvesk:debug [install_driver_internal] CMP_WaitNoPendingInstallEvents not available",
        "libvesk:debug [installer process] got parameter x.inf",
        "libvesk:debug [process_message] Got request for device_id",
        "libvesk:debug [process_message] Got request for hardware_id",
        "libvesk:debug [syslog] abcdefghijklmnopqrstuvwxyzabcdefghijkl",
        "libvesk:debug [process_message] Switching timeout to infinite",
        "libvesk:debug [process_message] Switching timeout back to finite",
        "libvesk:debug [process_message] Installer process completed",
        "libvesk:debug [installer process] after status",  // a status of 0 does not end the run
    };
    for (const char* line : expected) {
        CAPTURE(line);
        CHECK(count_lines(line) == 1);
    }
}

TEST_CASE("the INF name reaches the installer as its quoted base name, and each run's pipe a new name") {
    capture_log();
    TestDevice d;
    static const char* const names[] = {"C:\\pkg\\x.inf", "pkg/x.inf", "x.inf", "a\\b/x.inf"};
    std::vector<std::string> pipes;
    for (const char* name : names) {
        CAPTURE(name);
        Package p("exit:0");
        CHECK(run(p, &d.record, name) == VESK_OK);
        const StartedArgs args = started_args(p);
        CHECK(args.inf == "\"x.inf\"");
        // 128 bits in 32 hexadecimal digits, after the INF name.
        InstallerPipeName parsed{};
        CHECK(installer_pipe_name_from_token(args.pipe.c_str(), parsed));
        for (const std::string& earlier : pipes) CHECK(args.pipe != earlier);
        pipes.push_back(args.pipe);
    }
}

TEST_CASE("how the run ends for each way an installer behaves") {
    capture_log();
    TestDevice d;
    struct Row {
        const char* script;
        vesk_result want;
        const char* line;
    };
    static const Row rows[] = {
        {"status:0 close exit:0", VESK_OK, nullptr},
        {"close exit:0", VESK_OK, nullptr},
        {"print:hi exit:5", VESK_ERR_OTHER, nullptr},
        {"status:0 close exit:4", VESK_ERR_OTHER, nullptr},
        {"status:-99 exit:0", VESK_ERR_OTHER, nullptr},            // the byte 0x9D
        {"status:-15 exit:0", VESK_ERR_NEEDS_ELEVATION, nullptr},  // the byte 0xF1
        {"raw:", VESK_ERR_INVALID_PARAMETER, nullptr},
        {"raw:00", VESK_ERR_NOT_FOUND, "libvesk:error [process_message] Print_message: no data"},
        {"raw:01", VESK_ERR_NOT_FOUND, "libvesk:error [process_message] Syslog_message: no data"},
        {"raw:07", VESK_ERR_NOT_FOUND, "libvesk:error [process_message] Set status: no data"},
        {"raw:09", VESK_ERR_NOT_FOUND, "libvesk:error [process_message] Unrecognized installer message"},
        {"raw:80", VESK_ERR_NOT_FOUND, "libvesk:error [process_message] Unrecognized installer message"},
        {"raw:FF41", VESK_ERR_NOT_FOUND, "libvesk:error [process_message] Unrecognized installer message"},
        // Never connected: watched while the pipe still listens; no word is no success.
        {"noconnect exit:3", VESK_ERR_OTHER, "Installer exited without connecting"},
        {"noconnect exit:0", VESK_ERR_OTHER, "Installer exited without connecting"},
    };
    for (const Row& r : rows) {
        CAPTURE(r.script);
        Package p(r.script);
        clear_log();
        const DWORD start = GetTickCount();
        CHECK(run(p, &d.record) == r.want);
        CHECK(GetTickCount() - start < 5000);
        if (r.line) CHECK_MESSAGE(count_lines(r.line) == 1, dump_log());
    }
    // An empty message logs nothing of its own.
    Package p("raw:");
    clear_log();
    CHECK(run(p, &d.record) == VESK_ERR_INVALID_PARAMETER);
    CHECK(count_lines("[process_message]") == 0);
}

TEST_CASE("a 1500-byte message takes three reads and is dispatched once") {
    capture_log();
    TestDevice d;
    Package p("syslog:1500 status:0 close exit:0");
    clear_log();
    CHECK(run(p, &d.record) == VESK_OK);
    CAPTURE(dump_log());
    // Whether the read was pending when the message came decides sync or async wording.
    CHECK(count_lines("verflow") == 2);
    CHECK(count_lines("increasing buffer size to 1024 bytes") == 1);
    CHECK(count_lines("increasing buffer size to 2048 bytes") == 1);
    CHECK(count_lines("libvesk:debug [syslog] abcdefghijklmnopqrstuvwxyz") == 1);
}

TEST_CASE("a message of 64 KiB is served; one byte more ends the run as an overflow") {
    capture_log();
    TestDevice d;
    {
        Package p("syslog:65536 status:0 close exit:0");
        clear_log();
        CHECK(run(p, &d.record) == VESK_OK);
        CHECK_MESSAGE(count_lines("increasing buffer size to 65536 bytes") == 1, dump_log());
        CHECK(count_lines("libvesk:debug [syslog] abcdefghijklmnopqrstuvwxyz") == 1);
    }
    Package p("syslog:65537 status:0 close exit:0");
    clear_log();
    CHECK(run(p, &d.record) == VESK_ERR_OVERFLOW);
    CHECK_MESSAGE(
        count_lines("libvesk:error [install_driver_internal] Installer message longer than 65536 bytes - aborting") ==
            1,
        dump_log());
    CHECK(count_lines("increasing buffer size to 131072") == 0);
    CHECK(count_lines("[syslog]") == 0);
}

TEST_CASE("a progress text longer than 254 bytes arrives cut to 254") {
    capture_log();
    TestDevice d;
    const std::string text(300, 'T');
    Package p("print:" + text + " status:0 close exit:0");
    clear_log();
    CHECK(run(p, &d.record) == VESK_OK);
    CAPTURE(dump_log());
    const std::string prefix = "libvesk:debug [installer process] ";
    CHECK(count_lines(prefix + text.substr(0, 254)) == 1);
    CHECK(count_lines(prefix + text.substr(0, 255)) == 0);
}

TEST_CASE("a message outside a run, and the wait a dispatcher keeps") {
    capture_log();
    char message[] = {INSTALLER_MSG_COMPLETED, 0};
    Dispatcher outside;
    clear_log();
    CHECK(process_message(outside, message, 1) == VESK_ERR_NOT_FOUND);
    CHECK(count_lines("libvesk:error [process_message] Program assertion failed - no current device") == 1);
    // An empty message is refused first, without a line.
    clear_log();
    CHECK(process_message(outside, message, 0) == VESK_ERR_INVALID_PARAMETER);
    pump();
    CHECK(log_lines.empty());

    // Codes 5 and 6 switch the wait of their own dispatcher; a new one starts finite.
    TestDevice d;
    Dispatcher run_one;
    run_one.device = &d.record;
    char unbounded[] = {INSTALLER_MSG_TIMEOUT_INFINITE, 0};
    char bounded[] = {INSTALLER_MSG_TIMEOUT_FINITE, 0};
    CHECK(run_one.wait_ms == INSTALLER_DEFAULT_TIMEOUT_MS);
    CHECK(process_message(run_one, unbounded, 1) == VESK_OK);
    CHECK(run_one.wait_ms == INFINITE);
    CHECK(Dispatcher{}.wait_ms == INSTALLER_DEFAULT_TIMEOUT_MS);
    CHECK(process_message(run_one, bounded, 1) == VESK_OK);
    CHECK(run_one.wait_ms == INSTALLER_DEFAULT_TIMEOUT_MS);
}

TEST_CASE("requests for values the library does not have") {
    capture_log();
    SUBCASE("a null hardware_id and an empty device_id") {
        TestDevice d;
        d.record.hardware_id = nullptr;
        d.device_id[0] = '\0';
        Package p("req:3 req:2 req:4 exit:0");
        clear_log();
        CHECK(run(p, &d.record) == VESK_OK);
        CAPTURE(dump_log());
        CHECK(read_text(p.file("standin-replies.txt")) == "3=<null>\n2=<null>\n4=" + user_sid_text() + "\n");
        CHECK(has_line("libvesk:debug [process_message] No hardware_id - sending empty string"));
        CHECK(has_line("libvesk:debug [installer process] got hardware_id: ''"));
        // A present but empty value goes out as a reply of no bytes.
        CHECK(has_line("libvesk:debug [installer process] failed to read device_id"));
    }
    SUBCASE("a value longer than the installer's 511 bytes is not sent cut") {
        TestDevice d;
        std::string long_id(600, 'L');
        d.record.device_id = long_id.data();
        Package p("req:2 req:3 exit:0");
        clear_log();
        CHECK(run(p, &d.record) == VESK_OK);
        CAPTURE(dump_log());
        CHECK(read_text(p.file("standin-replies.txt")) == std::string("2=<null>\n3=") + d.hardware_id + "\n");
        CHECK(has_line("libvesk:warning [process_message] device_id is too long (600 bytes) - sending empty string"));
    }
}

TEST_CASE("an installer that hangs is ended with a non-zero code, and the run is a time-out") {
    capture_log();
    TestDevice d;
    struct Row {
        const char* script;
        const char* line;
    };
    static const Row rows[] = {
        // Silent beyond the finite wait while connected.
        {"print:hi wait exit:0", "libvesk:error [install_driver_internal] Installer failed to respond - aborting"},
        // The pipe closed, and the process does not end within the wait.
        {"print:hi close wait exit:0",
         "libvesk:error [install_driver_internal] Installer failed to exit after closing the pipe - terminating it"},
    };
    for (const Row& r : rows) {
        CAPTURE(r.script);
        hold_standin();
        Package p(r.script);
        clear_log();
        ChildWatch child(installer_name());
        const DWORD start = GetTickCount();
        CHECK(run(p, &d.record) == VESK_ERR_TIMED_OUT);
        const DWORD took = GetTickCount() - start;
        CHECK(took >= 9500);
        CHECK(took < 20000);
        CHECK_MESSAGE(count_lines(r.line) == 1, dump_log());
        const DWORD code = child.exit_code();
        CHECK(code != 0);
        CHECK(static_cast<vesk_result>(code) == VESK_ERR_TIMED_OUT);
        // Terminated, not released: the stand-in wrote nothing after its wait.
        CHECK(read_text(p.file("standin-replies.txt")).empty());
    }
    release_standin();
}

TEST_CASE("an installer that ends with restore points still off: the run puts the original back") {
    capture_log();
    TestDevice d;
    doubles::reset_records();
    REQUIRE(remove_stored_policy() == ERROR_SUCCESS);
    doubles::ScopedGpoDouble gpo(doubles::env_path(L"VESK_GPO_DOUBLE"));
    const std::string restoring =
        "libvesk:warning [install_driver_internal] The installer ended without restoring the restore point policy - "
        "restoring it";
    struct Row {
        const char* script;
        bool original_zero;  // else no value
        bool timed_out;
    };
    static const Row rows[] = {
        // Killed for its silence, twice in a row: the second run still finds the first original.
        {"policy-off print:hi wait exit:0", true, true},
        {"policy-off print:hi wait exit:0", true, true},
        // Gone without a word while the policy is off.
        {"policy-off exit:3", false, false},
        // The normal end puts it back itself.
        {"policy-off policy-on status:0 close exit:0", true, false},
    };
    for (const Row& r : rows) {
        const std::string script = r.script;
        CAPTURE(script);
        CAPTURE(r.original_zero);
        if (r.original_zero) {
            doubles::set_policy_value(0);
        } else {
            HKEY key = doubles::policy_key(true);
            REQUIRE(key);
            RegDeleteValueW(key, L"DisableSystemRestore");
            RegCloseKey(key);
        }
        hold_standin();
        Package p(r.script);
        clear_log();
        const vesk_result result = run(p, &d.record);
        if (r.timed_out) CHECK(result == VESK_ERR_TIMED_OUT);
        const bool normal = script.find("policy-on") != std::string::npos;
        CHECK((result == VESK_OK) == normal);
        CHECK(read_text(p.file("standin-replies.txt")).find("policy-off done") == 0);  // it was off
        CHECK(doubles::policy_value() == (r.original_zero ? "0" : "absent"));
        CHECK(stored_policy() == "none");
        CHECK_MESSAGE(count_lines(restoring) == (normal ? 0 : 1), dump_log());
        const std::vector<std::string> saves = doubles::gpo_saves();
        REQUIRE(!saves.empty());
        CHECK(saves.back().find(std::string(" add=0 ")) != std::string::npos);
        CHECK(saves.back().find(std::string("DisableSystemRestore=") + (r.original_zero ? "0" : "absent")) !=
              std::string::npos);
    }
    release_standin();

    // An original stored by an installer whose run could not put it back (one started without
    // a handle): the next installer keeps that original, not the 1 it finds.
    REQUIRE(store_policy(PolicyValue{true, 0}) == ERROR_SUCCESS);
    doubles::set_policy_value(1);
    Package p("policy-off policy-on status:0 close exit:0");
    CHECK(run(p, &d.record) == VESK_OK);
    CHECK(doubles::policy_value() == "0");
    CHECK(stored_policy() == "none");
    doubles::reset_records();
}

TEST_CASE("code 5 unbounds the wait of its own run only") {
    capture_log();
    TestDevice d;
    {
        Package p("code:5 raw:09 exit:0");
        CHECK(run(p, &d.record) == VESK_ERR_NOT_FOUND);
    }
    // The next run starts with the finite wait: a silent installer is ended after it.
    {
        hold_standin();
        Package p("print:hi wait exit:0");
        clear_log();
        const DWORD start = GetTickCount();
        CHECK(run(p, &d.record) == VESK_ERR_TIMED_OUT);
        CHECK(GetTickCount() - start < 20000);
        CHECK_MESSAGE(count_lines("Installer failed to respond - aborting") == 1, dump_log());
        release_standin();
    }
    // Silent for longer than the finite wait after its own code 5, and still served to the end.
    Package p("code:5 sleep:10500 code:6 status:0 close exit:0");
    clear_log();
    CHECK(run(p, &d.record) == VESK_OK);
    CHECK(count_lines("Installer failed to respond") == 0);
}

namespace {
struct HeldRun {
    const Package* package;
    TestDevice device;
    vesk_result result = VESK_ERR_OTHER;
};
DWORD WINAPI held_run(void* p) {
    auto* h = static_cast<HeldRun*>(p);
    h->result = vesk_install_driver(&h->device.record, h->package->dir().c_str(), "x.inf", nullptr);
    return 0;
}
}  // namespace

TEST_CASE("a second run from another thread or process is refused at once") {
    capture_log();
    hold_standin();
    Package held("code:5 print:holding wait code:6 status:0 close exit:0");
    HeldRun h{&held, {}, VESK_ERR_OTHER};
    HANDLE thread = CreateThread(nullptr, 0, held_run, &h, 0, nullptr);
    REQUIRE(thread);
    // The other run is under way once its installer has spoken.
    const DWORD start = GetTickCount();
    while (!has_line("[installer process] holding") && GetTickCount() - start < 10000) Sleep(20);
    REQUIRE(has_line("[installer process] holding"));

    TestDevice d;
    Package p("exit:0");
    clear_log();
    CHECK(run(p, &d.record) == VESK_ERR_BUSY);
    CHECK(count_lines("[install_driver_internal]") == 0);
    CHECK(read_text(p.file("standin-args.txt")).empty());  // never started

    std::string cmd = "\"";
    cmd.append(program_dir()).append("\\standin_installer.exe\" --try-install \"").append(p.dir()).append("\"");
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    std::string line = cmd;
    REQUIRE(CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    CHECK(WaitForSingleObject(pi.hProcess, 20000) == WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    CHECK(static_cast<vesk_result>(code) == VESK_ERR_BUSY);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);

    release_standin();
    CHECK(WaitForSingleObject(thread, 20000) == WAIT_OBJECT_0);
    CloseHandle(thread);
    CHECK(h.result == VESK_OK);  // undisturbed
}

TEST_CASE("the program the run looks for") {
    capture_log();
    struct Row {
        uint16_t arch;
        const char* name;
        const char* filter_dir;
    };
    static const Row rows[] = {
        {0x014C, "installer_x86.exe", "\\x86"},
        {0x8664, "installer_x64.exe", "\\amd64"},
        {0xAA64, "installer_arm64.exe", "\\x86"},
        {0x01C4, "installer_unknown_arch.exe", "\\x86"},
    };
    for (const Row& r : rows) {
        CAPTURE(r.arch);
        char name[kProgramNameBytes];
        CHECK(installer_program_name(r.arch, name));
        CHECK(std::string(name) == r.name);
        CHECK(std::string(filter_subdirectory(r.arch)) == r.filter_dir);
    }
    // A package without this machine's program, as an ARM64 machine finds every package.
    TestDevice d;
    Package p("exit:0", false);
    char name[kProgramNameBytes];
    REQUIRE(installer_program_name(GetPlatformArch(), name));
    clear_log();
    CHECK(run(p, &d.record) == VESK_ERR_NOT_FOUND);
    CHECK(has_line(
        std::string("libvesk:error [install_driver_internal] This application does not contain the required ") + name +
        " installer"));
    CHECK(has_line(
        "libvesk:error [install_driver_internal] Please contact the application provider for a compatible version"));
}

TEST_CASE("the machine type picks the installer program") {
    capture_log();
    TestDevice d;
    struct Row {
        uint16_t arch;
        vesk_result want;
        const char* started;  // null: nothing may start
    };
    static const Row rows[] = {
        {0x014C, VESK_OK, "installer_x86.exe"},
        {0x8664, VESK_OK, "installer_x64.exe"},
        {0xAA64, VESK_ERR_NOT_FOUND, nullptr},  // the payload carries no ARM64 build
    };
    for (const Row& r : rows) {
        CAPTURE(r.arch);
        // A package as preparation leaves it: both builds, no other.
        Package p("status:0 close exit:0", false);
        p.add_program("installer_x86.exe", "");
        p.add_program("installer_x64.exe", "");
        const install_params params{&d.record, p.dir().c_str(), "x.inf", nullptr, nullptr};
        clear_log();
        CHECK(install_for_machine(&params, r.arch) == r.want);
        CAPTURE(dump_log());
        CHECK(read_text(p.file("standin-name.txt")) == (r.started ? std::string(r.started) + "\n" : ""));
        if (!r.started) {
            CHECK(count_lines("libvesk:error [install_driver_internal] This application does not contain the required "
                              "installer_arm64.exe installer") == 1);
            CHECK(count_lines("libvesk:error [install_driver_internal] Please contact the application provider for a "
                              "compatible version") == 1);
        }
    }
}

TEST_CASE("Windows older than 7 is refused before anything starts") {
    capture_log();
    TestDevice d;
    Package p("status:0 close exit:0");
    windows_version = 0x60;  // Windows Vista
    clear_log();
    CHECK(run(p, &d.record) == VESK_ERR_NOT_SUPPORTED);
    CHECK(count_lines("libvesk:error [install_driver_internal] This version of Windows is no longer supported") == 1);
    CHECK(read_text(p.file("standin-args.txt")).empty());
    // Detected again, and the run mutex was given back.
    windows_version = -1;
    CHECK(run(p, &d.record) == VESK_OK);
    CHECK(windows_version.load() >= kWindows7);
}

TEST_CASE("missing parameters, and no package directory") {
    capture_log();
    TestDevice d;
    Package p("exit:0");
    clear_log();
    CHECK(vesk_install_driver(nullptr, p.dir().c_str(), "x.inf", nullptr) == VESK_ERR_INVALID_PARAMETER);
    CHECK(vesk_install_driver(&d.record, p.dir().c_str(), nullptr, nullptr) == VESK_ERR_INVALID_PARAMETER);
    CHECK(count_lines("libvesk:error [install_driver_internal] One of the required parameter is NULL") == 2);
    CHECK(read_text(p.file("standin-args.txt")).empty());

    // No directory: refused, also when TEMP holds an installer that would run elevated.
    wchar_t saved[MAX_PATH];
    REQUIRE(GetEnvironmentVariableW(L"TEMP", saved, MAX_PATH) > 0);
    REQUIRE(SetEnvironmentVariableA("TEMP", p.dir().c_str()));
    static const char* const paths[] = {nullptr, ""};
    for (const char* path : paths) {
        CAPTURE((path ? "empty" : "null"));
        clear_log();
        CHECK(vesk_install_driver(&d.record, path, "x.inf", nullptr) == VESK_ERR_INVALID_PARAMETER);
        CHECK(count_lines("libvesk:error [install_driver_internal] No path provided - a package directory is "
                          "required") == 1);
        CHECK(read_text(p.file("standin-args.txt")).empty());
    }
    REQUIRE(SetEnvironmentVariableW(L"TEMP", saved));
}

TEST_CASE("filter mode runs the filter installer and forwards its output") {
    capture_log();
    TestDevice d;
    const std::string subdir = filter_subdirectory(GetPlatformArch()) + 1;
    struct Row {
        const char* upper_filter;
        const char* exit_code;
        vesk_result want;
        const char* verb;
    };
    static const Row rows[] = {
        {nullptr, "0", VESK_OK, "install"},
        {"LibUsb0", "0", VESK_OK, "uninstall"},
        {"usbfilter", "2", VESK_ERR_OTHER, "install"},
    };
    for (const Row& r : rows) {
        CAPTURE(r.exit_code);
        CAPTURE(r.verb);
        Package p("", false);
        p.add_program("install-filter.exe", subdir);
        write_text(p.dir() + "\\" + subdir + "\\filter-exit.txt", r.exit_code);
        char upper[16] = {};
        if (r.upper_filter) std::strcpy(upper, r.upper_filter);
        d.record.upper_filter = r.upper_filter ? upper : nullptr;
        vesk_install_options options{nullptr, 1, 0};
        clear_log();
        CHECK(run(p, &d.record, "x.inf", &options) == r.want);
        CAPTURE(dump_log());
        CHECK(read_text(p.dir() + "\\" + subdir + "\\standin-args.txt") ==
              std::string(r.verb) + " -d=" + d.hardware_id + "\n");
        CHECK(count_lines("libvesk:info [install-filter] filter line one") == 1);
        CHECK(count_lines("libvesk:info [install-filter] filter line two") == 1);
    }
}

namespace {
// Another client of this user that has learnt the run's pipe name (here from the installer's
// recorded arguments): connects as soon as it can, and offers a status of success and an
// unbounded wait.
struct Rogue {
    const Package& package;
    std::atomic<bool> connected{false};
    std::atomic<bool> written{false};
    std::atomic<bool> dropped{false};
    HANDLE thread = nullptr;
    static DWORD WINAPI go(void* p) {
        auto* self = static_cast<Rogue*>(p);
        UniqueFile end;
        for (int i = 0; i < 2000 && !end; ++i) {
            InstallerPipeName name{};
            if (installer_pipe_name_from_token(started_args(self->package).pipe.c_str(), name))
                end.reset(CreateFileA(name.path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
            if (!end) Sleep(2);
        }
        if (!end) return 0;
        self->connected = true;
        const char fake[] = {INSTALLER_MSG_TIMEOUT_INFINITE};
        DWORD put = 0;
        self->written = WriteFile(end.get(), fake, sizeof fake, &put, nullptr) != FALSE;
        for (int i = 0; i < 100 && !self->dropped; ++i) {
            const char status[] = {INSTALLER_MSG_STATUS, 0};
            if (!WriteFile(end.get(), status, sizeof status, &put, nullptr)) self->dropped = true;
            Sleep(20);
        }
        return 0;
    }
    explicit Rogue(const Package& p) : package(p) { thread = CreateThread(nullptr, 0, go, this, 0, nullptr); }
    ~Rogue() {
        WaitForSingleObject(thread, 10000);
        CloseHandle(thread);
    }
};
}  // namespace

TEST_CASE("a client that is not the run's installer is dropped, and the installer is served") {
    capture_log();
    TestDevice d;
    // The installer connects late, so the other client is surely first.
    Package p("late:1500 req:2 status:-99 close exit:0");
    clear_log();
    Rogue rogue(p);
    CHECK(run(p, &d.record) == VESK_ERR_OTHER);  // the installer's status, not the other client's 0
    CAPTURE(dump_log());
    REQUIRE(rogue.connected);
    CHECK(count_lines("libvesk:warning [install_driver_internal] Refused a pipe client that is not the installer") >=
          1);
    CHECK(read_text(p.file("standin-replies.txt")) == std::string("2=") + d.device_id + "\n");
    CHECK(count_lines("Switching timeout to infinite") == 0);
}

TEST_CASE("an installer refuses a pipe served by a process other than its parent") {
    // The test serves the pipe, and the stand-in is started by a process of its own.
    InstallerPipeName name{};
    REQUIRE(new_installer_pipe_name(name));
    UniqueFile server(CreateNamedPipeA(name.path, PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 1,
                                       4096, 4096, 0, nullptr));
    REQUIRE(server);
    Package p("req:2 status:0 close exit:0");
    const std::string standin = p.file(installer_name());
    std::string command = "cmd.exe /c \"\"" + standin + "\" \"x.inf\" " + name.token + "\"";
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    REQUIRE(CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, p.dir().c_str(),
                           &si, &pi));
    CloseHandle(pi.hThread);
    CHECK(WaitForSingleObject(pi.hProcess, 20000) == WAIT_OBJECT_0);
    CloseHandle(pi.hProcess);
    CHECK(read_text(p.file("standin-replies.txt")) == "refused\n");
    DWORD avail = 0;
    CHECK(PeekNamedPipe(server.get(), nullptr, 0, nullptr, &avail, nullptr) == FALSE);  // nothing was ever sent
}

TEST_CASE("the installer pipe admits SYSTEM, the Administrators and this user only, once") {
    capture_log();
    InstallerPipeName name{};
    REQUIRE(new_installer_pipe_name(name));
    UniqueFile pipe(create_installer_pipe(name.path));
    REQUIRE(pipe);
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    REQUIRE(GetSecurityInfo(pipe.get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                            &sd) == ERROR_SUCCESS);
    UniqueLocal owned_sd(sd);
    REQUIRE(dacl);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    REQUIRE(GetSecurityDescriptorControl(sd, &control, &revision));
    CHECK((control & SE_DACL_PROTECTED) != 0);
    REQUIRE(dacl->AceCount == 3);
    const std::string want[] = {"S-1-5-18", "S-1-5-32-544", user_sid_text()};
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        CAPTURE(i);
        void* ace = nullptr;
        REQUIRE(GetAce(dacl, i, &ace));
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        CHECK(allowed->Header.AceType == ACCESS_ALLOWED_ACE_TYPE);
        CHECK((allowed->Mask & (FILE_GENERIC_READ | FILE_GENERIC_WRITE)) == (FILE_GENERIC_READ | FILE_GENERIC_WRITE));
        char* text = nullptr;
        REQUIRE(ConvertSidToStringSidA(&allowed->SidStart, &text));
        CHECK(std::string(text) == want[i]);
        LocalFree(text);
    }
    // High integrity, no write-up and no read-up: the user's unelevated processes are kept out.
    PACL sacl = nullptr;
    PSECURITY_DESCRIPTOR label_sd = nullptr;
    REQUIRE(GetSecurityInfo(pipe.get(), SE_KERNEL_OBJECT, LABEL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, &sacl,
                            &label_sd) == ERROR_SUCCESS);
    UniqueLocal owned_label(label_sd);
    REQUIRE(sacl);
    REQUIRE(sacl->AceCount == 1);
    void* label = nullptr;
    REQUIRE(GetAce(sacl, 0, &label));
    auto* ml = static_cast<SYSTEM_MANDATORY_LABEL_ACE*>(label);
    CHECK(ml->Header.AceType == SYSTEM_MANDATORY_LABEL_ACE_TYPE);
    CHECK(ml->Mask == (SYSTEM_MANDATORY_LABEL_NO_WRITE_UP | SYSTEM_MANDATORY_LABEL_NO_READ_UP));
    char* label_sid = nullptr;
    REQUIRE(ConvertSidToStringSidA(&ml->SidStart, &label_sid));
    CHECK(std::string(label_sid) == "S-1-16-12288");
    LocalFree(label_sid);
    // A message pipe, server end, one instance; rejecting remote clients is not reported back.
    DWORD flags = 0, out_size = 0, in_size = 0, instances = 0;
    REQUIRE(GetNamedPipeInfo(pipe.get(), &flags, &out_size, &in_size, &instances));
    CHECK(flags == (PIPE_SERVER_END | PIPE_TYPE_MESSAGE));
    CHECK(instances == 1);
    CHECK(out_size == 4096);

    // Only the first instance: a second one of the same name fails.
    SetLastError(0xdeadbeef);
    CHECK(create_installer_pipe(name.path) == INVALID_HANDLE_VALUE);
}

TEST_CASE("a process that holds the old fixed pipe name no longer stops an installation") {
    capture_log();
    // Every instance of "\\.\pipe\libvesk-installer" taken, listening, by another program.
    UniqueFile squatter(CreateNamedPipeA("\\\\.\\pipe\\libvesk-installer", PIPE_ACCESS_DUPLEX,
                                         PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, PIPE_UNLIMITED_INSTANCES, 4096,
                                         4096, 0, nullptr));
    REQUIRE(squatter);
    UniqueFile second(CreateNamedPipeA("\\\\.\\pipe\\libvesk-installer", PIPE_ACCESS_DUPLEX,
                                       PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, PIPE_UNLIMITED_INSTANCES, 4096, 4096,
                                       0, nullptr));
    REQUIRE(second);
    TestDevice d;
    Package p("req:2 status:0 close exit:0");
    clear_log();
    CHECK(run(p, &d.record) == VESK_OK);
    CAPTURE(dump_log());
    CHECK(count_lines("Could not create read pipe") == 0);
    CHECK(read_text(p.file("standin-replies.txt")) == std::string("2=") + d.device_id + "\n");
    DWORD avail = 0;
    CHECK(PeekNamedPipe(squatter.get(), nullptr, 0, nullptr, &avail, nullptr) == FALSE);  // never connected
}
