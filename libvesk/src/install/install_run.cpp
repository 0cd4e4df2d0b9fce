// The installation run: start the package's installer program (elevated if need be), serve it
// over a pipe of the run's own name until it reports, exits or falls silent, and map what it
// left behind.
#include "install_run.h"

#include <cstring>

#include "ascii.h"
#include "dll_tables.h"
#include "files.h"
#include "error_text.h"
#include "format_into.h"
#include "global_guard.h"
#include "installer_pipe.h"
#include "installer_process.h"
#include "installer_protocol.h"
#include "owners.h"
#include "platform.h"
#include "restore_point_policy.h"
#include "security_prompt.h"
#include "vesk_log.h"

namespace {
constexpr char kSource[] = "install_driver_internal";
constexpr char kFilterProgram[] = "install-filter.exe";

// Everything one run holds; the destructor is the cleanup of every path, in this order.
struct Run {
    GlobalGuard mutex{kSource, log_guard_report};  // first: released last, after the body below
    bool holding = false;                          // the run mutex is ours: every later step ends in this cleanup
    SetupApi setupapi;                             // the libraries of the run, looked up before it starts
    Shell32 shell32;
    Ole32 ole32;
    InstallerPipeName pipe_name{};
    Dispatcher dispatcher;
    UniqueFile pipe;
    UniqueHandle read_event;
    UniqueFile filter_client;
    InstallerProcess installer;

    ~Run() {
        if (!holding) return;
        if (HWND prompt = find_security_prompt()) DestroyWindow(prompt);
        dispatcher = Dispatcher{};
        installer.thread.reset();
        installer.process.reset();
        read_event.reset();
        pipe.reset();
        filter_client.reset();
        ole32 = Ole32{};
        shell32 = Shell32{};
        setupapi = SetupApi{};
    }
};

// The run mutex: one run at a time on the whole system, and no waiting for it.
vesk_result take_run_mutex(Run& run) {
    if (run.mutex.status() != VESK_OK) return run.mutex.status();
    run.holding = true;
    return VESK_OK;
}

// The package directory (refused when longer than 259 bytes). None is refused: TEMP is the
// user's to write in, and what the run starts from there runs elevated.
vesk_result package_directory(const install_params* params, char (&directory)[kPathBytes]) {
    if (!params || !params->path || !params->path[0]) {
        vesk_log_message(VESK_LOG_ERROR, kSource, "No path provided - a package directory is required");
        return VESK_ERR_INVALID_PARAMETER;
    }
    if (!copy_package_directory(params->path, directory, kSource)) return VESK_ERR_INVALID_PARAMETER;
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

// The server end under a new name, and the event of its overlapped reads.
vesk_result open_server_end(Run& run) {
    if (!new_installer_pipe_name(run.pipe_name)) {
        vesk_log_message(VESK_LOG_ERROR, kSource, "Could not make a pipe name: %s", last_error_text(0));
        return VESK_ERR_NO_RESOURCE;
    }
    run.pipe.reset(create_installer_pipe(run.pipe_name.path));
    if (!run.pipe) {
        vesk_log_message(VESK_LOG_ERROR, kSource, "Could not create read pipe: %s", last_error_text(0));
        return VESK_ERR_NO_RESOURCE;
    }
    run.dispatcher.pipe = run.pipe.get();
    run.read_event.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    return run.read_event ? VESK_OK : VESK_ERR_NO_RESOURCE;
}

void plan_command(const install_params* params, uint16_t arch, bool filter, const InstallerPipeName& pipe_name,
                  InstallerCommand& c) {
    const vesk_device* device = params->device;
    if (!filter) {
        (void)installer_program_name(arch, c.program);
        (void)format_into(c.args, sizeof c.args, "\"%s\" %s", params->inf_name, pipe_name.token);
    } else {
        (void)format_into(c.program, sizeof c.program, "%s", kFilterProgram);
        const std::size_t used = std::strlen(c.directory);
        (void)format_into(c.directory + used, sizeof c.directory - used, "%s", filter_subdirectory(arch));
        const char* upper = device->upper_filter ? device->upper_filter : "<NULL>";
        (void)format_into(c.args, sizeof c.args, "%s%s",
                          ascii_iequal(upper, "libusb0") ? "uninstall -d=" : "install -d=",
                          device->hardware_id ? device->hardware_id : "");
    }
    (void)format_into(c.program_file, sizeof c.program_file, "%s\\%s", c.directory, c.program);
    (void)format_into(c.program_path, sizeof c.program_path, "\"%s\"", c.program_file);
}

// The filter installer writes its output into a client end of the pipe that it inherits.
vesk_result open_filter_output(Run& run) {
    SECURITY_ATTRIBUTES inherit = {};
    inherit.nLength = sizeof inherit;
    inherit.bInheritHandle = TRUE;
    run.filter_client.reset(CreateFileA(run.pipe_name.path, GENERIC_WRITE, FILE_SHARE_WRITE, &inherit, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr));
    if (run.filter_client) return VESK_OK;
    vesk_log_message(VESK_LOG_ERROR, kSource, "Could not create stdout endpoint: %s", last_error_text(0));
    return VESK_ERR_NO_RESOURCE;
}

vesk_result serve(Run& run, const install_params* params, bool filter) {
    PipeService service{};
    service.read_event = run.read_event.get();
    service.process = run.installer.process.get();
    service.stop = params->stop;
    // The filter installer inherits the end this process opened itself.
    service.expected_client = filter ? GetCurrentProcessId() : (service.process ? GetProcessId(service.process) : 0);
    return serve_installer(run.dispatcher, service);
}

void log_policy_line(int level, const char* text) { vesk_log_message(level, kSource, "%s", text); }

// The installer puts the restore-point policy back at its very end; one that ended before
// that (killed, timed out, crashed) leaves the stored original for the library to put back.
// One still running, or started without a handle, is left alone: the next run's installer
// finds the stored original and restores that.
void restore_after_installer(const Run& run) {
    HANDLE process = run.installer.process.get();
    if (!process || WaitForSingleObject(process, kInstallerReplyWaitMs) != WAIT_OBJECT_0) return;
    restore_policy_left_behind(run.ole32, log_policy_line);
}
}  // namespace

vesk_result install_driver_internal(const install_params* params) {
    return install_for_machine(params, GetPlatformArch());
}

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
    run.dispatcher.device = device;
    run.dispatcher.filter_mode = filter;

    InstallerCommand command{};
    if (const vesk_result r = package_directory(params, command.directory); r != VESK_OK) return r;
    if (!device || !params->inf_name) {
        vesk_log_message(VESK_LOG_ERROR, kSource, "One of the required parameter is NULL");
        return VESK_ERR_INVALID_PARAMETER;
    }
    if (const vesk_result r = wait_for_other_installs(options, run.setupapi); r != VESK_OK) return r;
    if (const vesk_result r = open_server_end(run); r != VESK_OK) return r;
    plan_command(params, arch, filter, run.pipe_name, command);
    if (filter)
        if (const vesk_result r = open_filter_output(run); r != VESK_OK) return r;
    HANDLE filter_output = filter ? run.filter_client.get() : nullptr;  // an empty owner holds -1, not null
    if (const vesk_result r = start_installer(run.shell32, command, filter_output, run.installer); r != VESK_OK)
        return r;
    const vesk_result result = serve(run, params, filter);
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
