// The installation run: start the package's installer program (elevated if need be), serve it
// over the installer pipe until it reports, exits or falls silent, and map what it left behind.
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include <cstring>

#include "error_text.h"
#include "files.h"
#include "format_into.h"
#include "install_run.h"
#include "installer_image.h"
#include "installer_protocol.h"
#include "load_library.h"
#include "owners.h"
#include "platform.h"
#include "sizes.h"
#include "vesk_log.h"

namespace {
constexpr char kSource[] = "install_driver_internal";
constexpr char kFilterProgram[] = "install-filter.exe";
constexpr char kSecurityPromptTitle[] = "Windows Security";
constexpr std::size_t kWindowTitleBytes = 256;
constexpr std::size_t kRunMutexBytes = 34;
constexpr DWORD kListeningPollMs = 100;

using WaitNoPendingFn = DWORD(WINAPI*)(DWORD);

bool equals_ascii_nocase(const char* a, const char* b) {
    for (;; ++a, ++b) {
        char x = *a, y = *b;
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
        if (!x) return true;
    }
}

const char* base_name(const char* name) {
    if (!name) return nullptr;
    const char* base = name;
    for (const char* p = name; *p; ++p)
        if (*p == '\\' || *p == '/') base = p + 1;
    return base;
}

// Everything one run holds; the destructor is the cleanup of every path, in this order.
struct Run {
    UniqueHandle mutex;
    bool holding = false;  // the run mutex is ours: every later step ends in this cleanup
    UniqueModule setupapi;
    bool dispatching = false;
    UniqueFile pipe;
    UniqueHandle read_event;
    UniqueFile filter_client;
    UniqueHandle process;
    UniqueHandle thread;
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
        setupapi.reset();
        mutex.reset();
    }
};

// What the installer's end left: its exit code, once it has ended (or been ended).
vesk_result exit_result(HANDLE process) {
    WaitForSingleObject(process, kInstallerReplyWaitMs);  // a terminated process takes a moment
    return process_exit_result(process);
}

class ReadLoop {
public:
    explicit ReadLoop(Run& run) : run_(run) {}
    vesk_result serve();

private:
    enum class Step { read_again, done };
    Step finished(BOOL ok, DWORD error, DWORD got, bool async);
    Step broken_pipe();
    Step count_error();
    void cancel_pending();

    Run& run_;
    OVERLAPPED ov_{};
    std::size_t size_ = kReceiveBufferStartBytes;
    std::size_t offset_ = 0;
    std::size_t old_size_ = 0;
    unsigned errors_ = 0;
    DWORD listening_ms_ = 0;
    bool status_zero_ = false;
    bool process_gone_ = false;
    vesk_result result_ = VESK_OK;
};

void ReadLoop::cancel_pending() {
    DWORD got = 0;
    CancelIoEx(run_.pipe.get(), &ov_);
    GetOverlappedResult(run_.pipe.get(), &ov_, &got, TRUE);
}

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
    if (WaitForSingleObject(process, installer_wait_ms.load()) == WAIT_TIMEOUT) TerminateProcess(process, 0);
    result_ = exit_result(process);
    return Step::done;
}

ReadLoop::Step ReadLoop::finished(BOOL ok, DWORD error, DWORD got, bool async) {
    if (ok) {
        errors_ = 0;
        const std::size_t length = offset_ + got;
        char* message = run_.buffer.get();
        if (length >= 2 && message[0] == INSTALLER_MSG_STATUS && message[1] == 0) status_zero_ = true;
        offset_ = 0;
        const vesk_result r = process_message(message, length);
        if (r == VESK_OK) return Step::read_again;
        result_ = r;
        return Step::done;
    }
    if (error == ERROR_BROKEN_PIPE) return broken_pipe();
    if (error == ERROR_MORE_DATA) {
        errors_ = 0;
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
        offset_ = old_size_;
        return Step::read_again;
    }
    if (async) {
        vesk_log_message(VESK_LOG_ERROR, kSource, "Could not read from pipe (async): %s", last_error_text(error));
        return count_error();
    }
    vesk_log_message(VESK_LOG_ERROR, kSource, "Could not read from pipe (sync): %s", last_error_text(error));
    return count_error();
}

vesk_result ReadLoop::serve() {
    HANDLE pipe = run_.pipe.get();
    HANDLE process = run_.process.get();
    for (;;) {
        old_size_ = size_;
        ResetEvent(run_.read_event.get());
        ov_ = OVERLAPPED{};
        ov_.hEvent = run_.read_event.get();
        DWORD got = 0;
        const BOOL ok = ReadFile(pipe, run_.buffer.get() + offset_, static_cast<DWORD>(size_ - offset_), &got, &ov_);
        const DWORD error = ok ? 0 : GetLastError();
        if (ok || error == ERROR_BROKEN_PIPE || error == ERROR_MORE_DATA) {
            if (error == ERROR_MORE_DATA) got = static_cast<DWORD>(size_ - offset_);
            if (finished(ok, error, got, false) == Step::done) return result_;
            continue;
        }
        if (error == ERROR_PIPE_LISTENING) {
            // Not connected yet: poll, but watch the installer, which may never connect.
            if (process_gone_) {
                vesk_log_message(VESK_LOG_ERROR, kSource, "Installer exited without connecting");
                const vesk_result r = exit_result(process);
                return r == VESK_OK ? VESK_ERR_OTHER : r;  // no word from it is no success
            }
            if (process) {
                process_gone_ = WaitForSingleObject(process, kListeningPollMs) == WAIT_OBJECT_0;  // one more look after
            } else {
                Sleep(kListeningPollMs);
                listening_ms_ += kListeningPollMs;
                if (listening_ms_ >= INSTALLER_DEFAULT_TIMEOUT_MS) {
                    vesk_log_message(VESK_LOG_ERROR, kSource, "Installer failed to respond - aborting");
                    return VESK_ERR_TIMED_OUT;
                }
            }
            continue;
        }
        if (error != ERROR_IO_PENDING) {
            if (finished(FALSE, error, 0, false) == Step::done) return result_;
            continue;
        }
        HANDLE waits[2] = {run_.read_event.get(), process};
        const DWORD count = process ? 2 : 1;
        const DWORD w = WaitForMultipleObjects(count, waits, FALSE, installer_wait_ms.load());
        if (w == WAIT_OBJECT_0) {
            const BOOL done = GetOverlappedResult(pipe, &ov_, &got, FALSE);
            const DWORD e = done ? 0 : GetLastError();
            if (e == ERROR_MORE_DATA) got = static_cast<DWORD>(size_ - offset_);
            if (finished(done, e, got, true) == Step::done) return result_;
            continue;
        }
        const DWORD wait_error = w == WAIT_FAILED ? GetLastError() : 0;
        cancel_pending();
        if (w == WAIT_OBJECT_0 + 1) return exit_result(process);
        if (w == WAIT_TIMEOUT) {
            vesk_log_message(VESK_LOG_ERROR, kSource, "Installer failed to respond - aborting");
            if (process) TerminateProcess(process, 0);
            return VESK_ERR_TIMED_OUT;
        }
        vesk_log_message(VESK_LOG_ERROR, kSource, "Could not read from pipe (wait): %s", last_error_text(wait_error));
        if (count_error() == Step::done) return result_;
    }
}

BOOL CALLBACK find_prompt_proc(HWND window, LPARAM found) {
    const LONG style = GetWindowLongW(window, GWL_STYLE);
    if (style & (WS_POPUP | WS_BORDER | WS_SYSMENU)) {
        char title[kWindowTitleBytes];
        title[0] = '\0';
        GetWindowTextA(window, title, static_cast<int>(sizeof title));
        if (std::strcmp(title, kSecurityPromptTitle) == 0) *reinterpret_cast<HWND*>(found) = window;
    }
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
    case IMAGE_FILE_MACHINE_I386: name = "x86"; break;
    case IMAGE_FILE_MACHINE_AMD64: name = "x64"; break;
    case 0xAA64: name = "arm64"; break;  // IMAGE_FILE_MACHINE_ARM64
    }
    return format_into(out, sizeof out, "installer_%s.exe", name) == Fit::ok;
}

const char* filter_subdirectory(uint16_t arch) { return arch == IMAGE_FILE_MACHINE_AMD64 ? "\\amd64" : "\\x86"; }

vesk_result start_installer_elevated(const char* program, const char* args, const char* directory, HANDLE* process) {
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
    if (utf8_shell_execute(&info)) {
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
    EnumChildWindows(GetDesktopWindow(), find_prompt_proc, reinterpret_cast<LPARAM>(&found));
    return found;
}

vesk_result install_driver_internal(const install_params* params) { return install_for_machine(params, GetPlatformArch()); }

vesk_result install_for_machine(const install_params* params, uint16_t arch) {
    char mutex_name[kRunMutexBytes];
    if (format_into(mutex_name, sizeof mutex_name, "Global\\%s", kSource) != Fit::ok) return VESK_ERR_NO_RESOURCE;
    Run run;
    run.mutex.reset(CreateMutexA(nullptr, TRUE, mutex_name));
    if (!run.mutex) return VESK_ERR_NO_RESOURCE;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        run.mutex.reset();
        return VESK_ERR_BUSY;
    }
    run.holding = true;

    if (!windows_version_supported(kSource)) return VESK_ERR_NOT_SUPPORTED;

    run.setupapi.reset(load_system_library("SetupAPI"));
    WaitNoPendingFn wait_no_pending = nullptr;
    if (!resolve(run.setupapi.get(), kSource, "SetupAPI", "CMP_WaitNoPendingInstallEvents", wait_no_pending))
        return VESK_ERR_NO_RESOURCE;

    const vesk_install_options* options = params ? params->options : nullptr;
    const vesk_device* device = params ? params->device : nullptr;
    const bool filter = options && options->filter_mode;
    begin_dispatch(device, filter, INVALID_HANDLE_VALUE);
    run.dispatching = true;

    char directory[kPathBytes];
    if (params && params->path && params->path[0]) {
        (void)format_into(directory, sizeof directory, "%s", params->path);  // cut at 259 bytes
    } else {
        Utf8 temp(temp_directory());
        if (!temp) {
            vesk_log_message(VESK_LOG_ERROR, kSource, "No path provided and no TEMP directory to install from");
            return VESK_ERR_INVALID_PARAMETER;
        }
        (void)format_into(directory, sizeof directory, "%s", temp.get());
        vesk_log_message(VESK_LOG_INFO, kSource, "No path provided - installing from '%s'", directory);
    }

    if (!device || !params->inf_name) {
        vesk_log_message(VESK_LOG_ERROR, kSource, "One of the required parameter is NULL");
        return VESK_ERR_INVALID_PARAMETER;
    }

    if (options) {
        if (wait_no_pending(options->pending_wait_ms) == WAIT_TIMEOUT) {
            vesk_log_message(VESK_LOG_WARNING, kSource,
                             "Timeout expired while waiting for another pending installation - aborting");
            return VESK_ERR_INSTALL_PENDING;
        }
    } else {
        vesk_log_message(VESK_LOG_DEBUG, kSource, "CMP_WaitNoPendingInstallEvents not available");
    }

    run.pipe.reset(create_installer_pipe());
    if (!run.pipe) {
        vesk_log_message(VESK_LOG_ERROR, kSource, "Could not create read pipe: %s", last_error_text(0));
        return VESK_ERR_NO_RESOURCE;
    }
    begin_dispatch(device, filter, run.pipe.get());

    run.read_event.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!run.read_event) return VESK_ERR_NO_RESOURCE;

    char program[kProgramNameBytes];
    char args[kProgramArgsBytes];
    if (!filter) {
        (void)installer_program_name(arch, program);
        (void)format_into(args, sizeof args, "\"%s\"", params->inf_name);
    } else {
        (void)format_into(program, sizeof program, "%s", kFilterProgram);
        const std::size_t used = std::strlen(directory);
        (void)format_into(directory + used, sizeof directory - used, "%s", filter_subdirectory(arch));
        const char* upper = device->upper_filter ? device->upper_filter : "<NULL>";
        (void)format_into(args, sizeof args, "%s%s", equals_ascii_nocase(upper, "libusb0") ? "uninstall -d=" : "install -d=",
                          device->hardware_id ? device->hardware_id : "");
        SECURITY_ATTRIBUTES inherit = {};
        inherit.nLength = sizeof inherit;
        inherit.bInheritHandle = TRUE;
        run.filter_client.reset(CreateFileA(kInstallerPipeName, GENERIC_WRITE, FILE_SHARE_WRITE, &inherit, OPEN_EXISTING,
                                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr));
        if (!run.filter_client) {
            vesk_log_message(VESK_LOG_ERROR, kSource, "Could not create stdout endpoint: %s", last_error_text(0));
            return VESK_ERR_NO_RESOURCE;
        }
    }

    char program_path[kPathBytes];
    (void)format_into(program_path, sizeof program_path, "\"%s\\%s\"", directory, program);
    if (utf8_file_attributes(program_path) == INVALID_FILE_ATTRIBUTES) {
        vesk_log_message(VESK_LOG_ERROR, kSource, "This application does not contain the required %s installer", program);
        vesk_log_message(VESK_LOG_ERROR, kSource, "Please contact the application provider for a compatible version");
        return VESK_ERR_NOT_FOUND;
    }

    // The installer runs elevated: it must be, until its process exists, the one this program carries.
    UniqueFile held_installer;
    if (!filter) {
        const vesk_result held = hold_installer(directory, program, held_installer);
        if (held != VESK_OK) return held;
    }
    if (!IsUserAnAdmin()) {
        HANDLE process = nullptr;
        const vesk_result r = start_installer_elevated(program, args, directory, &process);
        run.process.reset(process);
        if (r != VESK_OK) return r;
    } else {
        const vesk_result r = start_installer_direct(run, program_path, args, directory, filter);
        if (r != VESK_OK) return r;
    }
    held_installer.reset();

    run.buffer.reset(static_cast<char*>(std::malloc(kReceiveBufferStartBytes + 1)));
    if (!run.buffer) {
        vesk_log_message(VESK_LOG_ERROR, kSource, "Unable to allocate buffer: aborting");
        return VESK_ERR_NO_RESOURCE;
    }
    ReadLoop loop(run);
    return loop.serve();
}

vesk_result vesk_install_driver(const vesk_device* device, const char* path, const char* inf_name,
                                const vesk_install_options* options) {
    const install_params params{device, path, base_name(inf_name), options};
    if (options && options->parent_window) {
        vesk_log_message(VESK_LOG_DEBUG, "vesk_install_driver", "Using progress bar mode");
        return run_with_progress_bar(options->parent_window, &params);
    }
    vesk_log_message(VESK_LOG_DEBUG, "vesk_install_driver", "Using standard mode");
    return install_driver_internal(&params);
}
