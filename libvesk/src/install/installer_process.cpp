// Starting the installer program of a run, and ending it.
#include "installer_process.h"

#include <shellapi.h>

#include "error_text.h"
#include "files.h"
#include "format_into.h"
#include "installer_image.h"
#include "installer_protocol.h"
#include "vesk_log.h"

namespace {
constexpr char kSource[] = "install_driver_internal";
// The exit code of an installer that the run ended: the time-out's code, never 0.
constexpr UINT kKilledInstallerExitCode = static_cast<UINT>(VESK_ERR_TIMED_OUT);

// A drive letter, a colon and a separator: the only form the elevated start accepts.
bool is_full_path(const char* path) {
    const char drive = path ? path[0] : '\0';
    const bool letter = (drive >= 'A' && drive <= 'Z') || (drive >= 'a' && drive <= 'z');
    return letter && path[1] == ':' && (path[2] == '\\' || path[2] == '/');
}

vesk_result start_installer_direct(const InstallerCommand& c, HANDLE filter_output, InstallerProcess& started) {
    char command_line[kPathBytes];
    (void)format_into(command_line, sizeof command_line, "%s %s", c.program_path, c.args);  // cut as it comes
    STARTUPINFOA startup = {};
    startup.cb = sizeof(STARTUPINFOW);
    if (filter_output) {
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = filter_output;
        startup.hStdError = filter_output;
    }
    PROCESS_INFORMATION info = {};
    if (!utf8_create_process(command_line, c.directory, &startup, &info)) {
        vesk_log_message(VESK_LOG_ERROR, kSource, "CreateProcess failed: %s", last_error_text(0));
        return VESK_ERR_NEEDS_ELEVATION;
    }
    started.process.reset(info.hProcess);
    started.thread.reset(info.hThread);
    return VESK_OK;
}
}  // namespace

bool installer_program_name(uint16_t arch, char (&out)[kProgramNameBytes]) {
    const char* name = "unknown_arch";
    switch (arch) {
        case IMAGE_FILE_MACHINE_I386:
            name = "x86";
            break;
        case IMAGE_FILE_MACHINE_AMD64:
            name = "x64";
            break;
        case 0xAA64:
            name = "arm64";
            break;  // IMAGE_FILE_MACHINE_ARM64
    }
    return format_into(out, sizeof out, "installer_%s.exe", name) == Fit::ok;
}

const char* filter_subdirectory(uint16_t arch) { return arch == IMAGE_FILE_MACHINE_AMD64 ? "\\amd64" : "\\x86"; }

vesk_result start_installer_elevated(const Shell32& shell32, const char* program_file, const char* args,
                                     const char* directory, HANDLE* process) {
    *process = nullptr;
    if (!is_full_path(program_file)) {
        vesk_log_message(VESK_LOG_ERROR, kSource, "Refusing to start '%s' elevated without its full path",
                         program_file ? program_file : "<NULL>");
        return VESK_ERR_INVALID_PARAMETER;
    }
    SHELLEXECUTEINFOA info = {};
    info.cbSize = sizeof(SHELLEXECUTEINFOW);
    // No error box of the shell's own: the run reports every failure itself.
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    info.hwnd = nullptr;
    info.lpVerb = "runas";
    info.lpFile = program_file;
    info.lpParameters = args;
    info.lpDirectory = directory;
    info.nShow = SW_HIDE;
    if (utf8_shell_execute(shell32, &info)) {
        *process = info.hProcess;
        return VESK_OK;
    }
    const DWORD error = GetLastError();
    switch (error) {
        case ERROR_SUCCESS:
            // The shell says it failed without a reason; it may have started it all the same.
            *process = info.hProcess;
            if (!info.hProcess)
                vesk_log_message(VESK_LOG_WARNING, kSource, "Installer started without a process handle");
            return VESK_OK;
        case ERROR_FILE_NOT_FOUND:
            vesk_log_message(VESK_LOG_INFO, kSource, "Could not find installer executable");
            return VESK_ERR_NOT_FOUND;
        case ERROR_CANCELLED:
            vesk_log_message(VESK_LOG_INFO, kSource, "Operation cancelled by the user or due to missing data");
            return VESK_ERR_CANCELLED;
        default:
            vesk_log_message(VESK_LOG_ERROR, kSource, "ShellExecuteEx failed: %s", last_error_text(error));
            return VESK_ERR_NEEDS_ELEVATION;
    }
}

vesk_result start_installer(const Shell32& shell32, const InstallerCommand& c, HANDLE filter_output,
                            InstallerProcess& started) {
    if (utf8_file_attributes(c.program_path) == INVALID_FILE_ATTRIBUTES) {
        vesk_log_message(VESK_LOG_ERROR, kSource, "This application does not contain the required %s installer",
                         c.program);
        vesk_log_message(VESK_LOG_ERROR, kSource, "Please contact the application provider for a compatible version");
        return VESK_ERR_NOT_FOUND;
    }
    // The installer runs elevated: it must be, until its process exists, the one this program carries.
    UniqueFile held_installer;
    if (!filter_output) {
        const vesk_result held = hold_installer(c.directory, c.program, held_installer);
        if (held != VESK_OK) return held;
    }
    if (shell32.is_user_an_admin()) return start_installer_direct(c, filter_output, started);
    HANDLE process = nullptr;
    const vesk_result r = start_installer_elevated(shell32, c.program_file, c.args, c.directory, &process);
    started.process.reset(process);
    return r;
}

vesk_result installer_exit_result(HANDLE process) {
    WaitForSingleObject(process, kInstallerReplyWaitMs);  // a terminated process takes a moment
    return process_exit_result(process);
}

vesk_result end_installer(HANDLE process) {
    if (process) {
        TerminateProcess(process, kKilledInstallerExitCode);
        WaitForSingleObject(process, kInstallerReplyWaitMs);
    }
    return VESK_ERR_TIMED_OUT;
}
