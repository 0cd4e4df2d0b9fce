// The installer's flow: arguments, the three values from the library, the setup-log reader,
// the restore-point policy around the driver update (or the INF copy), and the end sequence
// that reports the result.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "files.h"
#include "format_into.h"
#include "installer.h"
#include "installer_protocol.h"
#include "load_library.h"

namespace {
struct crt_startupinfo {
    int newmode;
};
using WGetMainArgsFn = int __cdecl(int*, wchar_t***, wchar_t***, int, crt_startupinfo*);

// The program's arguments in UTF-8: converted from UTF-16 when the runtime offers them,
// otherwise the narrow ones as given.
struct Arguments {
    int count = 0;
    char** values = nullptr;  // converted array (owned) or the program's own argv
    bool owned = false;
    ~Arguments() {
        if (!owned) return;
        for (int i = 0; i < count; ++i) std::free(values[i]);
        std::free(values);
    }
};

// False only when the converted array cannot be allocated.
bool get_arguments(InstallerClient& client, int argc, char** argv, Arguments& args) {
    UniqueModule msvcrt(load_system_library("Msvcrt"));
    WGetMainArgsFn* wgetmainargs = nullptr;
    (void)resolve_optional(msvcrt.get(), "__wgetmainargs", wgetmainargs);
    int wargc = 0;
    wchar_t** wargv = nullptr;
    wchar_t** wenv = nullptr;
    crt_startupinfo startup = {0};
    if (!wgetmainargs || wgetmainargs(&wargc, &wargv, &wenv, 1, &startup) < 0 || !wargv) {
        installer_log(client, "unable to access UTF-16 args - trying ANSI");
        args.count = argc;
        args.values = argv;
        return true;
    }
    args.values = static_cast<char**>(std::calloc(static_cast<std::size_t>(wargc > 0 ? wargc : 1), sizeof(char*)));
    if (!args.values) return false;
    args.owned = true;
    args.count = wargc;
    for (int i = 0; i < wargc; ++i) args.values[i] = wargv[i] ? to_utf8(wargv[i]) : nullptr;  // null: unconvertible
    return true;
}

// The absolute INF path: the current directory, a backslash and the name, cut to 511 bytes.
bool make_inf_path(const char* inf_name, char (&path)[kInstallerPathBytes]) {
    wchar_t directory[kInstallerPathBytes];
    const DWORD n = GetCurrentDirectoryW(static_cast<DWORD>(std::size(directory)), directory);
    if (n == 0 || n >= std::size(directory)) return false;
    if (WideCharToMultiByte(CP_UTF8, 0, directory, -1, path, static_cast<int>(sizeof path), nullptr, nullptr) <= 0)
        return false;
    const std::size_t used = std::strlen(path);
    (void)format_into(path + used, sizeof path - used, "\\%s", inf_name);  // a cut path is used as cut
    return true;
}

// The reader thread; the session holds its two events. stop() lets it finish before the
// events go.
struct Reader {
    InstallerSession& session;
    UniqueHandle thread;
    bool running = false;

    explicit Reader(InstallerSession& s) : session(s) {}
    void start() {
        session.reader_started.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        session.stop_reader.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (session.reader_started && session.stop_reader)
            thread.reset(CreateThread(nullptr, 0, syslog_reader, &session, 0, nullptr));
        // A reader that ends before it starts (no log to follow) is not waited for.
        HANDLE waits[2] = {session.reader_started.get(), thread.get()};
        if (!thread || WaitForMultipleObjects(2, waits, FALSE, kReaderStartWaitMs) != WAIT_OBJECT_0) {
            installer_log(session.client, "Unable to create syslog reader thread");
            if (session.stop_reader) SetEvent(session.stop_reader.get());
            return;
        }
        running = true;
    }
    ~Reader() { stop(); }
    void stop() {
        if (session.stop_reader) SetEvent(session.stop_reader.get());
        // The reader checks its stop event at least every poll interval; the events must not
        // be closed under it.
        if (thread) WaitForSingleObject(thread.get(), 2 * kSyslogMaxPollMs);
        thread.reset();
        session.reader_started.reset();
        session.stop_reader.reset();
        running = false;
    }
};

// The driver update. True when the flow goes on to store the INF.
bool update_driver(InstallerSession& session, const char* hardware_id, const char* inf_path, vesk_result& result) {
    InstallerClient& client = session.client;
    installer_log(client, "Installing driver for %s - please wait...", hardware_id);
    Utf16 hwid(to_utf16(hardware_id));
    Utf16 path(to_utf16(inf_path));
    const BOOL ok = session.apis.newdev.update_driver(nullptr, hwid.get(), path.get(), INSTALLFLAG_FORCE, nullptr);
    const DWORD error = GetLastError();
    send_code(client, INSTALLER_MSG_TIMEOUT_FINITE);
    if (ok) {
        installer_log(client, "driver update completed");
        result = VESK_OK;
        return false;
    }
    result = map_install_error(client, error, inf_path);
    return result == VESK_OK;
}

// Stores the INF for the next time the device is plugged in.
vesk_result copy_inf(InstallerSession& session, const char* device_id, const char* hardware_id, const char* inf_path) {
    InstallerClient& client = session.client;
    installer_log(client, "Copying inf file (for the next time device is plugged) - please wait...");
    send_code(client, INSTALLER_MSG_TIMEOUT_INFINITE);
    Utf16 path(to_utf16(inf_path));
    wchar_t stored16[kInstallerPathBytes] = {};
    char stored[kInstallerPathBytes] = {};
    BOOL ok = session.apis.setupapi.copy_oem_inf(path.get(), nullptr, SPOST_PATH, 0, stored16,
                                                 static_cast<DWORD>(std::size(stored16)), nullptr, nullptr);
    DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    if (ok &&
        WideCharToMultiByte(CP_UTF8, 0, stored16, -1, stored, static_cast<int>(sizeof stored), nullptr, nullptr) <= 0) {
        ok = FALSE;
        error = GetLastError();
    }
    send_code(client, INSTALLER_MSG_TIMEOUT_FINITE);
    if (ok) {
        installer_log(client, "copied inf to %s", stored);
        (void)reenumerate_device(session, device_id);
        return VESK_OK;
    }
    const vesk_result result = map_install_error(client, error, inf_path);
    if (result == VESK_OK) flag_phantom_devices(session, hardware_id);
    return result;
}

// Everything after the arguments: values, reader, policy, update or copy. `policy.off` tells
// the end sequence whether the policy must be put back.
vesk_result install(InstallerSession& session, const char* inf_name, RestorePolicySession& policy, Reader& reader) {
    InstallerClient& client = session.client;
    installer_log(client, "got parameter %s", inf_name);
    char inf_path[kInstallerPathBytes];
    if (!make_inf_path(inf_name, inf_path)) {
        installer_log(client, "could not retrieve absolute path of working directory");
        return VESK_ERR_ACCESS_DENIED;
    }
    const char* device_id = req_id(client, INSTALLER_MSG_REQUEST_DEVICE_ID);
    const char* hardware_id = req_id(client, INSTALLER_MSG_REQUEST_HARDWARE_ID);
    (void)req_id(client, INSTALLER_MSG_REQUEST_USER_SID);

    reader.start();
    policy.off = set_restore_point_policy(policy, true, session.apis.ole32);
    send_code(client, INSTALLER_MSG_TIMEOUT_INFINITE);
    if (hardware_id) {
        vesk_result result = VESK_OK;
        if (!update_driver(session, hardware_id, inf_path, result)) {
            if (result == VESK_OK) (void)reenumerate_device(session, device_id);
            return result;
        }
    }
    return copy_inf(session, device_id, hardware_id, inf_path);
}
}  // namespace

void report_missing_function(const char*, const char* function, const char* library) {
    installer_log("Unable to locate %s() in %s\n", function, library);
}

bool load_installer_apis(installer_apis& apis) {
    constexpr char kSource[] = "installer";  // not shown: the pipe's lines carry no label
    // SetupAPI first, so that a Cfgmgr32 that forwards to it (Wine's) finds it loaded from the
    // system directory; every table reports what it lacks.
    bool ok = load_table(apis.setupapi, kSource, report_missing_function);
    ok &= load_table(apis.cfgmgr, kSource, report_missing_function);
    ok &= load_table(apis.newdev, kSource, report_missing_function);
    ok &= load_table(apis.ole32, kSource, report_missing_function);
    return ok;
}

int reenumerate_device(InstallerSession& session, const char* device_id) {
    InstallerClient& client = session.client;
    const Cfgmgr32& cfgmgr = session.apis.cfgmgr;
    const char* shown = device_id ? device_id : "<root>";
    installer_log(client, "re-enumerating driver node %s...", shown);
    DEVINST node = 0;
    CONFIGRET cr = cfgmgr.locate_devnode(&node, const_cast<char*>(device_id), CM_LOCATE_DEVNODE_NORMAL);
    if (cr != CR_SUCCESS) {
        installer_log(client, "failed to locate device_id %s: %x\n", shown, static_cast<unsigned>(cr));
        return -1;
    }
    cr = cfgmgr.reenumerate_devnode(node, CM_REENUMERATE_RETRY_INSTALLATION);
    if (cr != CR_SUCCESS) {
        installer_log(client, "failed to re-enumerate device node: CR code %X", static_cast<unsigned>(cr));
        return -1;
    }
    installer_log(client, "re-enumeration succeeded...");
    return 0;
}

vesk_result run_installer(InstallerClient& client, int argc, char** argv) {
    vesk_result result = VESK_OK;
    RestorePolicySession policy;
    bool com = false;
    InstallerSession session{client, {}, {}, {}};
    Reader reader(session);
    Arguments args;
    if (!load_installer_apis(session.apis)) {
        installer_log(client, "could not init DLLs");
        result = VESK_ERR_NO_RESOURCE;
    } else {
        com = SUCCEEDED(session.apis.ole32.initialize(nullptr, COINIT_APARTMENTTHREADED));
        if (!get_arguments(client, argc, argv, args)) {
            result = VESK_ERR_NO_RESOURCE;
        } else if (args.count < 2 || !args.values[1] || !args.values[1][0]) {
            std::printf("usage: %s <inf_name>\n", args.count > 0 && args.values[0] ? args.values[0] : "installer");
            installer_log(client, "missing inf_name parameter");
            result = VESK_ERR_INVALID_PARAMETER;  // nothing to install: said so, and reported
        } else {
            result = install(session, args.values[1], policy, reader);
        }
    }
    send_code(client, INSTALLER_MSG_COMPLETED);
    send_status(client, result);
    if (policy.off) (void)set_restore_point_policy(policy, false, session.apis.ole32);
    if (reader.running) Sleep(kReaderLastLinesMs);  // the last lines of the log
    reader.stop();
    if (com) session.apis.ole32.uninitialize();
    return result;
}
