// The installation run: start the package's installer program (elevated if need be), serve it
// over the installer pipe until it reports, exits or falls silent, and map what it left behind.
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include <cstring>

#include "ascii.h"
#include "error_text.h"
#include "files.h"
#include "format_into.h"
#include "global_guard.h"
#include "install_run.h"
#include "installer_image.h"
#include "installer_protocol.h"
#include "load_library.h"
#include "owners.h"
#include "pipe_message.h"
#include "platform.h"
#include "restore_point_policy.h"
#include "sizes.h"
#include "vesk_log.h"

namespace {
constexpr char kSource[] = "install_driver_internal";
constexpr char kFilterProgram[] = "install-filter.exe";
constexpr char kSecurityPromptTitle[] = "Windows Security";
constexpr const char* kSecurityPromptClasses[] = {"#32770", "Credential Dialog Xaml Host"};
// The exit code of an installer that the run ended: the time-out's code, never 0.
constexpr UINT kKilledInstallerExitCode = static_cast<UINT>(VESK_ERR_TIMED_OUT);
constexpr std::size_t kWindowTitleBytes = 256;

// Everything one run holds; the destructor is the cleanup of every path, in this order.
struct Run {
    GlobalGuard mutex{kSource, log_guard_report};  // first: released last, after the body below
    bool holding = false;        // the run mutex is ours: every later step ends in this cleanup
    SetupApi setupapi;           // the libraries of the run, looked up before it starts
    Shell32 shell32;
    Ole32 ole32;
    bool dispatching = false;
    UniqueFile pipe;
    UniqueHandle read_event;
    UniqueFile filter_client;
    UniqueHandle process;
    UniqueHandle thread;
    HANDLE stop = nullptr;  // the progress window's request to end the run; not owned
    MallocPtr<char> buffer;

    ~Run() {
        if (!holding) return;
        if (HWND prompt = find_security_prompt()) DestroyWindow(prompt);
        if (dispatching) end_dispatch();
        buffer.reset();
        thread.reset();
        process.reset();
        read_event.reset();
        pipe.reset();
        filter_client.reset();
        ole32 = Ole32{};
        shell32 = Shell32{};
        setupapi = SetupApi{};
    }
};

// What the installer's end left: its exit code, once it has ended (or been ended).
vesk_result exit_result(HANDLE process) {
    WaitForSingleObject(process, kInstallerReplyWaitMs);  // a terminated process takes a moment
    return process_exit_result(process);
}

// An installer ended by the run is never a success, whatever it would have said.
vesk_result kill_installer(HANDLE process) {
    if (process) {
        TerminateProcess(process, kKilledInstallerExitCode);
        WaitForSingleObject(process, kInstallerReplyWaitMs);
    }
    return VESK_ERR_TIMED_OUT;
}

vesk_result stopped(Run& run) {
    vesk_log_message(VESK_LOG_ERROR, kSource, "Installation stopped by its time limit - ending the installer");
    return kill_installer(run.process.get());
}

// The process whose connection is the run's installer: the filter installer inherits the end
// this process opened itself.
DWORD expected_client(const Run& run, bool filter) {
    if (filter) return GetCurrentProcessId();
    return run.process ? GetProcessId(run.process.get()) : 0;
}

// Waits for the installer to connect. Any other client is dropped with a line and the wait
// goes on, within the limits of the wait for the first message: until the installer exits, or
// 10 s when the shell gave no process handle.
vesk_result accept_installer(Run& run, bool filter) {
    HANDLE pipe = run.pipe.get();
    HANDLE process = run.process.get();
    const DWORD expected = expected_client(run, filter);
    const DWORD start = GetTickCount();
    for (;;) {
        OVERLAPPED ov = {};
        ov.hEvent = run.read_event.get();
        ResetEvent(ov.hEvent);
        bool connected = ConnectNamedPipe(pipe, &ov) != FALSE;
        DWORD error = connected ? 0 : GetLastError();
        // Connected before the call; or connected, written and gone already: its messages wait.
        if (error == ERROR_PIPE_CONNECTED || error == ERROR_NO_DATA) connected = true;
        if (!connected && error == ERROR_IO_PENDING) {
            DWORD limit = INFINITE;
            if (!process) {
                const DWORD spent = GetTickCount() - start;
                limit = spent < INSTALLER_DEFAULT_TIMEOUT_MS ? INSTALLER_DEFAULT_TIMEOUT_MS - spent : 0;
            }
            HANDLE waits[3] = {ov.hEvent};
            DWORD count = 1, stop_at = 0, process_at = 0;
            if (run.stop) waits[stop_at = count++] = run.stop;
            if (process) waits[process_at = count++] = process;
            const DWORD w = WaitForMultipleObjects(count, waits, FALSE, limit);
            DWORD got = 0;
            if (w != WAIT_OBJECT_0) {
                CancelIoEx(pipe, &ov);
                connected = GetOverlappedResult(pipe, &ov, &got, TRUE) != FALSE;  // it may have come meanwhile
            } else {
                connected = GetOverlappedResult(pipe, &ov, &got, FALSE) != FALSE;
            }
            error = connected ? 0 : GetLastError();
            if (error == ERROR_NO_DATA) connected = true;
            if (!connected) {
                if (stop_at && w == WAIT_OBJECT_0 + stop_at) return stopped(run);
                if (w == WAIT_TIMEOUT) {
                    vesk_log_message(VESK_LOG_ERROR, kSource, "Installer failed to respond - aborting");
                    return VESK_ERR_TIMED_OUT;
                }
                if (process_at && w == WAIT_OBJECT_0 + process_at) {
                    vesk_log_message(VESK_LOG_ERROR, kSource, "Installer exited without connecting");
                    const vesk_result r = exit_result(process);
                    return r == VESK_OK ? VESK_ERR_OTHER : r;  // no word from it is no success
                }
            }
        }
        if (!connected) {
            vesk_log_message(VESK_LOG_ERROR, kSource, "Could not connect the installer pipe: %s",
                             last_error_text(error));
            return VESK_ERR_INPUT_OUTPUT;
        }
        ULONG client = 0;
        if (expected != 0 && GetNamedPipeClientProcessId(pipe, &client) && client == expected) return VESK_OK;
        vesk_log_message(VESK_LOG_WARNING, kSource, "Refused a pipe client that is not the installer (process %lu)",
                         static_cast<unsigned long>(client));
        DisconnectNamedPipe(pipe);
    }
}

class ReadLoop {
public:
    explicit ReadLoop(Run& run) : run_(run) {}
    vesk_result serve();

private:
    enum class Step { read_again, done };
    Step finished(const PipeRead& read);
    Step broken_pipe();
    Step count_error();

    Run& run_;
    std::size_t size_ = kReceiveBufferStartBytes;
    std::size_t offset_ = 0;
    unsigned errors_ = 0;
    bool status_zero_ = false;
    vesk_result result_ = VESK_OK;
};

ReadLoop::Step ReadLoop::count_error() {
    if (++errors_ < kMaxReadErrors) return Step::read_again;
    vesk_log_message(VESK_LOG_ERROR, kSource, "Too many pipe read errors - aborting");
    result_ = VESK_ERR_INPUT_OUTPUT;
    return Step::done;
}

ReadLoop::Step ReadLoop::broken_pipe() {
    HANDLE process = run_.process.get();
    if (!process) {
        // Started by the shell without a handle: only the installer's own word counts.
        result_ = status_zero_ ? VESK_OK : VESK_ERR_OTHER;
        return Step::done;
    }
    HANDLE waits[2] = {process, run_.stop};
    const DWORD w = WaitForMultipleObjects(run_.stop ? 2 : 1, waits, FALSE, installer_wait_ms.load());
    if (w == WAIT_OBJECT_0 + 1) {
        result_ = stopped(run_);
    } else if (w != WAIT_OBJECT_0) {
        vesk_log_message(VESK_LOG_ERROR, kSource, "Installer failed to exit after closing the pipe - terminating it");
        result_ = kill_installer(process);
    } else {
        result_ = exit_result(process);
    }
    return Step::done;
}

ReadLoop::Step ReadLoop::finished(const PipeRead& read) {
    const bool async = read.async;
    switch (read.end) {
        case PipeRead::End::complete: {
            errors_ = 0;
            const std::size_t length = offset_ + read.got;
            char* message = run_.buffer.get();
            if (length >= 2 && message[0] == INSTALLER_MSG_STATUS && message[1] == 0) status_zero_ = true;
            offset_ = 0;
            const vesk_result r = process_message(message, length);
            if (r == VESK_OK) return Step::read_again;
            result_ = r;
            return Step::done;
        }
        case PipeRead::End::more_data: {
            errors_ = 0;
            if (size_ >= kPipeMessageCapBytes) {
                vesk_log_message(VESK_LOG_ERROR, kSource, "Installer message longer than %u bytes - aborting",
                                 static_cast<unsigned>(kPipeMessageCapBytes));
                result_ = VESK_ERR_OVERFLOW;
                return Step::done;
            }
            const std::size_t old_size = size_;
            size_ *= 2;
            vesk_log_message(VESK_LOG_DEBUG, kSource,
                             async ? "Message overflow (async) - increasing buffer size to %d bytes"
                                   : "message overflow (sync) - increasing buffer size to %d bytes",
                             static_cast<int>(size_));
            // One spare byte beyond the capacity, for the terminator of filter mode.
            void* grown = std::realloc(run_.buffer.get(), size_ + 1);
            if (!grown) {
                vesk_log_message(VESK_LOG_ERROR, kSource,
                                 async ? "Unable to realloc buffer: aborting" : "unable to realloc buffer: aborting");
                result_ = VESK_ERR_NO_RESOURCE;
                return Step::done;
            }
            (void)run_.buffer.release();
            run_.buffer.reset(static_cast<char*>(grown));
            offset_ = old_size;
            return Step::read_again;
        }
        case PipeRead::End::woken:
            if (run_.stop && read.woken_by == 1) {
                result_ = stopped(run_);
                return Step::done;
            }
            result_ = exit_result(run_.process.get());
            return Step::done;
        case PipeRead::End::timed_out:
            vesk_log_message(VESK_LOG_ERROR, kSource, "Installer failed to respond - aborting");
            result_ = kill_installer(run_.process.get());
            return Step::done;
        case PipeRead::End::wait_failed:
            vesk_log_message(VESK_LOG_ERROR, kSource, "Could not read from pipe (wait): %s",
                             last_error_text(read.error));
            return count_error();
        case PipeRead::End::failed:
        case PipeRead::End::pending:
            break;
    }
    if (read.error == ERROR_BROKEN_PIPE) return broken_pipe();
    vesk_log_message(VESK_LOG_ERROR, kSource,
                     async ? "Could not read from pipe (async): %s" : "Could not read from pipe (sync): %s",
                     last_error_text(read.error));
    return count_error();
}

vesk_result ReadLoop::serve() {
    const HANDLE also[2] = {run_.process.get(), run_.stop};
    for (;;) {
        PendingRead pending;
        PipeRead read = begin_pipe_read(pending, run_.pipe.get(), run_.read_event.get(), run_.buffer.get() + offset_,
                                        static_cast<DWORD>(size_ - offset_));
        if (read.end == PipeRead::End::pending) read = finish_pipe_read(pending, installer_wait_ms.load(), also, 2);
        if (finished(read) == Step::done) return result_;
    }
}

BOOL CALLBACK find_prompt_proc(HWND window, LPARAM found) {
    if (!IsWindowVisible(window)) return TRUE;
    const LONG style = GetWindowLongW(window, GWL_STYLE);
    if (!(style & (WS_POPUP | WS_BORDER | WS_SYSMENU))) return TRUE;
    char title[kWindowTitleBytes];
    title[0] = '\0';
    GetWindowTextA(window, title, static_cast<int>(sizeof title));
    if (std::strcmp(title, kSecurityPromptTitle) != 0) return TRUE;
    // The consent and credential dialogs, not the Windows Security app of the same title.
    char class_name[kWindowTitleBytes];
    if (!GetClassNameA(window, class_name, static_cast<int>(sizeof class_name))) return TRUE;
    for (const char* prompt_class : kSecurityPromptClasses)
        if (std::strcmp(class_name, prompt_class) == 0) *reinterpret_cast<HWND*>(found) = window;
    return TRUE;  // the last match wins
}
vesk_result start_installer_direct(Run& run, const char* program_path, const char* args, const char* directory,
                                   bool filter) {
    char command_line[kPathBytes];
    (void)format_into(command_line, sizeof command_line, "%s %s", program_path, args);  // cut as it comes
    STARTUPINFOA startup = {};
    startup.cb = sizeof(STARTUPINFOW);
    if (filter) {
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = run.filter_client.get();
        startup.hStdError = run.filter_client.get();
    }
    PROCESS_INFORMATION info = {};
    if (!utf8_create_process(command_line, directory, &startup, &info)) {
        vesk_log_message(VESK_LOG_ERROR, kSource, "CreateProcess failed: %s", last_error_text(0));
        return VESK_ERR_NEEDS_ELEVATION;
    }
    run.process.reset(info.hProcess);
    run.thread.reset(info.hThread);
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

vesk_result start_installer_elevated(const Shell32& shell32, const char* program, const char* args,
                                     const char* directory, HANDLE* process) {
    *process = nullptr;
    SHELLEXECUTEINFOA info = {};
    info.cbSize = sizeof(SHELLEXECUTEINFOW);
    // No error box of the shell's own: the run reports every failure itself.
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    info.hwnd = nullptr;
    info.lpVerb = "runas";
    info.lpFile = program;
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

HWND find_security_prompt() {
    HWND found = nullptr;
    EnumWindows(find_prompt_proc, reinterpret_cast<LPARAM>(&found));
    return found;
}

vesk_result install_driver_internal(const install_params* params) {
    return install_for_machine(params, GetPlatformArch());
}

namespace {
// The run mutex: one run at a time on the whole system, and no waiting for it.
vesk_result take_run_mutex(Run& run) {
    if (run.mutex.status() != VESK_OK) return run.mutex.status();
    run.holding = true;
    return VESK_OK;
}

// The package directory (refused when longer than 259 bytes), or TEMP when none is given.
vesk_result package_directory(const install_params* params, char (&directory)[kPathBytes]) {
    if (params && params->path && params->path[0])
        return copy_package_directory(params->path, directory, kSource) ? VESK_OK : VESK_ERR_INVALID_PARAMETER;
    Utf8 temp(temp_directory());
    if (!temp) {
        vesk_log_message(VESK_LOG_ERROR, kSource, "No path provided and no TEMP directory to install from");
        return VESK_ERR_INVALID_PARAMETER;
    }
    if (!copy_package_directory(temp.get(), directory, kSource)) return VESK_ERR_INVALID_PARAMETER;
    vesk_log_message(VESK_LOG_INFO, kSource, "No path provided - installing from '%s'", directory);
    return VESK_OK;
}

vesk_result wait_for_other_installs(const vesk_install_options* options, const SetupApi& setupapi) {
    if (!options) {
        vesk_log_message(VESK_LOG_DEBUG, kSource, "CMP_WaitNoPendingInstallEvents not available");
        return VESK_OK;
    }
    if (setupapi.wait_no_pending_install_events(options->pending_wait_ms) != WAIT_TIMEOUT) return VESK_OK;
    vesk_log_message(VESK_LOG_WARNING, kSource,
                     "Timeout expired while waiting for another pending installation - aborting");
    return VESK_ERR_INSTALL_PENDING;
}

vesk_result open_server_end(Run& run, const vesk_device* device, bool filter) {
    run.pipe.reset(create_installer_pipe());
    if (!run.pipe) {
        vesk_log_message(VESK_LOG_ERROR, kSource, "Could not create read pipe: %s", last_error_text(0));
        return VESK_ERR_NO_RESOURCE;
    }
    begin_dispatch(device, filter, run.pipe.get());
    run.read_event.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    return run.read_event ? VESK_OK : VESK_ERR_NO_RESOURCE;
}

// The program to start, its arguments and its directory.
struct Command {
    char directory[kPathBytes];
    char program[kProgramNameBytes];
    char args[kProgramArgsBytes];
    char program_path[kPathBytes];
};

void plan_command(const install_params* params, uint16_t arch, bool filter, Command& c) {
    const vesk_device* device = params->device;
    if (!filter) {
        (void)installer_program_name(arch, c.program);
        (void)format_into(c.args, sizeof c.args, "\"%s\"", params->inf_name);
    } else {
        (void)format_into(c.program, sizeof c.program, "%s", kFilterProgram);
        const std::size_t used = std::strlen(c.directory);
        (void)format_into(c.directory + used, sizeof c.directory - used, "%s", filter_subdirectory(arch));
        const char* upper = device->upper_filter ? device->upper_filter : "<NULL>";
        (void)format_into(c.args, sizeof c.args, "%s%s",
                          ascii_iequal(upper, "libusb0") ? "uninstall -d=" : "install -d=",
                          device->hardware_id ? device->hardware_id : "");
    }
    (void)format_into(c.program_path, sizeof c.program_path, "\"%s\\%s\"", c.directory, c.program);
}

// The filter installer writes its output into a client end of the pipe that it inherits.
vesk_result open_filter_output(Run& run) {
    SECURITY_ATTRIBUTES inherit = {};
    inherit.nLength = sizeof inherit;
    inherit.bInheritHandle = TRUE;
    run.filter_client.reset(CreateFileA(kInstallerPipeName, GENERIC_WRITE, FILE_SHARE_WRITE, &inherit, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr));
    if (run.filter_client) return VESK_OK;
    vesk_log_message(VESK_LOG_ERROR, kSource, "Could not create stdout endpoint: %s", last_error_text(0));
    return VESK_ERR_NO_RESOURCE;
}

vesk_result start_installer(Run& run, const Command& c, bool filter) {
    if (utf8_file_attributes(c.program_path) == INVALID_FILE_ATTRIBUTES) {
        vesk_log_message(VESK_LOG_ERROR, kSource, "This application does not contain the required %s installer",
                         c.program);
        vesk_log_message(VESK_LOG_ERROR, kSource, "Please contact the application provider for a compatible version");
        return VESK_ERR_NOT_FOUND;
    }
    // The installer runs elevated: it must be, until its process exists, the one this program carries.
    UniqueFile held_installer;
    if (!filter) {
        const vesk_result held = hold_installer(c.directory, c.program, held_installer);
        if (held != VESK_OK) return held;
    }
    if (run.shell32.is_user_an_admin()) return start_installer_direct(run, c.program_path, c.args, c.directory, filter);
    HANDLE process = nullptr;
    const vesk_result r = start_installer_elevated(run.shell32, c.program, c.args, c.directory, &process);
    run.process.reset(process);
    return r;
}

vesk_result serve_installer(Run& run, bool filter) {
    if (const vesk_result r = accept_installer(run, filter); r != VESK_OK) return r;
    run.buffer.reset(static_cast<char*>(std::malloc(kReceiveBufferStartBytes + 1)));
    if (!run.buffer) {
        vesk_log_message(VESK_LOG_ERROR, kSource, "Unable to allocate buffer: aborting");
        return VESK_ERR_NO_RESOURCE;
    }
    ReadLoop loop(run);
    return loop.serve();
}

void log_policy_line(int level, const char* text) { vesk_log_message(level, kSource, "%s", text); }

// The installer puts the restore-point policy back at its very end; one that ended before
// that (killed, timed out, crashed) leaves the stored original for the library to put back.
// One still running, or started without a handle, is left alone: the next run's installer
// finds the stored original and restores that.
void restore_after_installer(const Run& run) {
    if (!run.process || WaitForSingleObject(run.process.get(), kInstallerReplyWaitMs) != WAIT_OBJECT_0) return;
    restore_policy_left_behind(run.ole32, log_policy_line);
}
}  // namespace

vesk_result install_for_machine(const install_params* params, uint16_t arch) {
    Run run;
    if (const vesk_result r = take_run_mutex(run); r != VESK_OK) return r;
    if (!windows_version_supported(kSource)) return VESK_ERR_NOT_SUPPORTED;

    bool loaded = load_table(run.setupapi, kSource);  // &=: each table reports what it lacks
    loaded &= load_table(run.shell32, kSource);
    loaded &= load_table(run.ole32, kSource);
    if (!loaded) return VESK_ERR_NO_RESOURCE;

    const vesk_install_options* options = params ? params->options : nullptr;
    const vesk_device* device = params ? params->device : nullptr;
    const bool filter = options && options->filter_mode;
    run.stop = params ? params->stop : nullptr;
    begin_dispatch(device, filter, INVALID_HANDLE_VALUE);
    run.dispatching = true;

    Command command;
    if (const vesk_result r = package_directory(params, command.directory); r != VESK_OK) return r;
    if (!device || !params->inf_name) {
        vesk_log_message(VESK_LOG_ERROR, kSource, "One of the required parameter is NULL");
        return VESK_ERR_INVALID_PARAMETER;
    }
    if (const vesk_result r = wait_for_other_installs(options, run.setupapi); r != VESK_OK) return r;
    if (const vesk_result r = open_server_end(run, device, filter); r != VESK_OK) return r;
    plan_command(params, arch, filter, command);
    if (filter)
        if (const vesk_result r = open_filter_output(run); r != VESK_OK) return r;
    if (const vesk_result r = start_installer(run, command, filter); r != VESK_OK) return r;
    const vesk_result result = serve_installer(run, filter);
    if (!filter) restore_after_installer(run);
    return result;
}

vesk_result vesk_install_driver(const vesk_device* device, const char* path, const char* inf_name,
                                const vesk_install_options* options) {
    const install_params params{device, path, base_name(inf_name), options, nullptr};
    if (options && options->parent_window) {
        vesk_log_message(VESK_LOG_DEBUG, "vesk_install_driver", "Using progress bar mode");
        return run_with_progress_bar(options->parent_window, &params);
    }
    vesk_log_message(VESK_LOG_DEBUG, "vesk_install_driver", "Using standard mode");
    return install_driver_internal(&params);
}
