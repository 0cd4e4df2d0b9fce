// Library end of the installer pipe: creating it, accepting the installer, the read loop, and
// dispatching each message the installer (or, in filter mode, the filter installer's output) sends.
#include "installer_pipe.h"

#include <sddl.h>

#include <cstdlib>
#include <cstring>

#include "error_text.h"
#include "files.h"
#include "format_into.h"
#include "installer_process.h"
#include "owners.h"
#include "pipe_message.h"
#include "security_descriptors.h"
#include "vesk_log.h"

namespace {
constexpr char kSource[] = "process_message";
constexpr char kRunSource[] = "install_driver_internal";

// A reply is one write; its outcome is ignored, but it never outlives this call.
void write_reply(const Dispatcher& d, const void* data, DWORD size) {
    (void)write_pipe_message(d.pipe, data, size, kInstallerReplyWaitMs);
}

void reply_value(const Dispatcher& d, const char* value, const char* name) {
    static const char kNone = '\0';
    if (!value) {
        vesk_log_message(VESK_LOG_DEBUG, kSource, "No %s - sending empty string", name);
        write_reply(d, &kNone, 1);
        return;
    }
    const std::size_t n = std::strlen(value);
    if (n >= kInstallerReplyBytes) {
        // The installer's buffer holds 511 bytes; a cut identifier would name something else.
        vesk_log_message(VESK_LOG_WARNING, kSource, "%s is too long (%u bytes) - sending empty string", name,
                         static_cast<unsigned>(n));
        write_reply(d, &kNone, 1);
        return;
    }
    write_reply(d, value, static_cast<DWORD>(n));
}

void reply_user_sid(const Dispatcher& d) {
    static const char kNone = '\0';
    UniqueLocal sid(GetSid());
    char* text = nullptr;
    if (!sid || !ConvertSidToStringSidA(sid.get(), &text)) {
        vesk_log_message(VESK_LOG_WARNING, kSource, "No user_sid - sending empty string");
        write_reply(d, &kNone, 1);
        return;
    }
    UniqueLocal owned(text);
    write_reply(d, text, static_cast<DWORD>(std::strlen(text)));
}

// A text message (progress or a setup-log line) goes to the log under `source`: the text after
// the code byte, up to its NUL and never past the message.
vesk_result log_text(const char* message, std::size_t length, const char* kind, const char* source) {
    if (length < 2) {
        vesk_log_message(VESK_LOG_ERROR, kSource, "%s: no data", kind);
        return VESK_ERR_NOT_FOUND;
    }
    const int n = static_cast<int>(strnlen(message + 1, length - 1));
    vesk_log_message(VESK_LOG_DEBUG, source, "%.*s", n, message + 1);
    return VESK_OK;
}

vesk_result stopped(HANDLE process) {
    vesk_log_message(VESK_LOG_ERROR, kRunSource, "Installation stopped by its time limit - ending the installer");
    return end_installer(process);
}

// Waits for the installer to connect. Any other client is dropped with a line and the wait
// goes on, within the limits of the wait for the first message: until the installer exits, or
// 10 s when the shell gave no process handle.
vesk_result accept_installer(const Dispatcher& d, const PipeService& s) {
    const DWORD start = GetTickCount();
    for (;;) {
        OVERLAPPED ov = {};
        ov.hEvent = s.read_event;
        ResetEvent(ov.hEvent);
        bool connected = ConnectNamedPipe(d.pipe, &ov) != FALSE;
        DWORD error = connected ? 0 : GetLastError();
        // Connected before the call; or connected, written and gone already: its messages wait.
        if (error == ERROR_PIPE_CONNECTED || error == ERROR_NO_DATA) connected = true;
        if (!connected && error == ERROR_IO_PENDING) {
            DWORD limit = INFINITE;
            if (!s.process) {
                const DWORD spent = GetTickCount() - start;
                limit = spent < INSTALLER_DEFAULT_TIMEOUT_MS ? INSTALLER_DEFAULT_TIMEOUT_MS - spent : 0;
            }
            HANDLE waits[3] = {ov.hEvent};
            DWORD count = 1, stop_at = 0, process_at = 0;
            if (s.stop) waits[stop_at = count++] = s.stop;
            if (s.process) waits[process_at = count++] = s.process;
            const DWORD w = WaitForMultipleObjects(count, waits, FALSE, limit);
            DWORD got = 0;
            if (w != WAIT_OBJECT_0) {
                CancelIoEx(d.pipe, &ov);
                connected = GetOverlappedResult(d.pipe, &ov, &got, TRUE) != FALSE;  // it may have come meanwhile
            } else {
                connected = GetOverlappedResult(d.pipe, &ov, &got, FALSE) != FALSE;
            }
            error = connected ? 0 : GetLastError();
            if (error == ERROR_NO_DATA) connected = true;
            if (!connected) {
                if (stop_at && w == WAIT_OBJECT_0 + stop_at) return stopped(s.process);
                if (w == WAIT_TIMEOUT) {
                    vesk_log_message(VESK_LOG_ERROR, kRunSource, "Installer failed to respond - aborting");
                    return VESK_ERR_TIMED_OUT;
                }
                if (process_at && w == WAIT_OBJECT_0 + process_at) {
                    vesk_log_message(VESK_LOG_ERROR, kRunSource, "Installer exited without connecting");
                    const vesk_result r = installer_exit_result(s.process);
                    return r == VESK_OK ? VESK_ERR_OTHER : r;  // no word from it is no success
                }
            }
        }
        if (!connected) {
            vesk_log_message(VESK_LOG_ERROR, kRunSource, "Could not connect the installer pipe: %s",
                             last_error_text(error));
            return VESK_ERR_INPUT_OUTPUT;
        }
        ULONG client = 0;
        if (s.expected_client != 0 && GetNamedPipeClientProcessId(d.pipe, &client) && client == s.expected_client)
            return VESK_OK;
        vesk_log_message(VESK_LOG_WARNING, kRunSource, "Refused a pipe client that is not the installer (process %lu)",
                         static_cast<unsigned long>(client));
        DisconnectNamedPipe(d.pipe);
    }
}

class ReadLoop {
public:
    ReadLoop(Dispatcher& d, const PipeService& s) : d_(d), s_(s) {}
    vesk_result serve();

private:
    enum class Step { read_again, done };
    Step finished(const PipeRead& read);
    Step grow(bool async);
    Step broken_pipe();
    Step count_error();

    Dispatcher& d_;
    const PipeService& s_;
    MallocPtr<char> buffer_;
    std::size_t size_ = kReceiveBufferStartBytes;
    std::size_t offset_ = 0;
    unsigned errors_ = 0;
    bool status_zero_ = false;
    vesk_result result_ = VESK_OK;
};

ReadLoop::Step ReadLoop::count_error() {
    if (++errors_ < kMaxReadErrors) return Step::read_again;
    vesk_log_message(VESK_LOG_ERROR, kRunSource, "Too many pipe read errors - aborting");
    result_ = VESK_ERR_INPUT_OUTPUT;
    return Step::done;
}

ReadLoop::Step ReadLoop::broken_pipe() {
    if (!s_.process) {
        // Started by the shell without a handle: only the installer's own word counts.
        result_ = status_zero_ ? VESK_OK : VESK_ERR_OTHER;
        return Step::done;
    }
    HANDLE waits[2] = {s_.process, s_.stop};
    const DWORD w = WaitForMultipleObjects(s_.stop ? 2 : 1, waits, FALSE, d_.wait_ms);
    if (w == WAIT_OBJECT_0 + 1) {
        result_ = stopped(s_.process);
    } else if (w != WAIT_OBJECT_0) {
        vesk_log_message(VESK_LOG_ERROR, kRunSource,
                         "Installer failed to exit after closing the pipe - terminating it");
        result_ = end_installer(s_.process);
    } else {
        result_ = installer_exit_result(s_.process);
    }
    return Step::done;
}

// The rest of a message that did not fit lands behind the part already read.
ReadLoop::Step ReadLoop::grow(bool async) {
    errors_ = 0;
    if (size_ >= kPipeMessageCapBytes) {
        vesk_log_message(VESK_LOG_ERROR, kRunSource, "Installer message longer than %u bytes - aborting",
                         static_cast<unsigned>(kPipeMessageCapBytes));
        result_ = VESK_ERR_OVERFLOW;
        return Step::done;
    }
    const std::size_t old_size = size_;
    size_ *= 2;
    vesk_log_message(VESK_LOG_DEBUG, kRunSource,
                     async ? "Message overflow (async) - increasing buffer size to %d bytes"
                           : "message overflow (sync) - increasing buffer size to %d bytes",
                     static_cast<int>(size_));
    // One spare byte beyond the capacity, for the terminator of filter mode.
    void* grown = std::realloc(buffer_.get(), size_ + 1);
    if (!grown) {
        vesk_log_message(VESK_LOG_ERROR, kRunSource,
                         async ? "Unable to realloc buffer: aborting" : "unable to realloc buffer: aborting");
        result_ = VESK_ERR_NO_RESOURCE;
        return Step::done;
    }
    (void)buffer_.release();
    buffer_.reset(static_cast<char*>(grown));
    offset_ = old_size;
    return Step::read_again;
}

ReadLoop::Step ReadLoop::finished(const PipeRead& read) {
    const bool async = read.async;
    switch (read.end) {
        case PipeRead::End::complete: {
            errors_ = 0;
            const std::size_t length = offset_ + read.got;
            char* message = buffer_.get();
            if (length >= 2 && message[0] == INSTALLER_MSG_STATUS && message[1] == 0) status_zero_ = true;
            offset_ = 0;
            const vesk_result r = process_message(d_, message, length);
            if (r == VESK_OK) return Step::read_again;
            result_ = r;
            return Step::done;
        }
        case PipeRead::End::more_data:
            return grow(async);
        case PipeRead::End::woken:
            result_ = s_.stop && read.woken_by == 1 ? stopped(s_.process) : installer_exit_result(s_.process);
            return Step::done;
        case PipeRead::End::timed_out:
            vesk_log_message(VESK_LOG_ERROR, kRunSource, "Installer failed to respond - aborting");
            result_ = end_installer(s_.process);
            return Step::done;
        case PipeRead::End::wait_failed:
            vesk_log_message(VESK_LOG_ERROR, kRunSource, "Could not read from pipe (wait): %s",
                             last_error_text(read.error));
            return count_error();
        case PipeRead::End::failed:
        case PipeRead::End::pending:
            break;
    }
    if (read.error == ERROR_BROKEN_PIPE) return broken_pipe();
    vesk_log_message(VESK_LOG_ERROR, kRunSource,
                     async ? "Could not read from pipe (async): %s" : "Could not read from pipe (sync): %s",
                     last_error_text(read.error));
    return count_error();
}

vesk_result ReadLoop::serve() {
    buffer_.reset(static_cast<char*>(std::malloc(kReceiveBufferStartBytes + 1)));
    if (!buffer_) {
        vesk_log_message(VESK_LOG_ERROR, kRunSource, "Unable to allocate buffer: aborting");
        return VESK_ERR_NO_RESOURCE;
    }
    const HANDLE also[2] = {s_.process, s_.stop};
    for (;;) {
        PendingRead pending;
        PipeRead read = begin_pipe_read(pending, d_.pipe, s_.read_event, buffer_.get() + offset_,
                                        static_cast<DWORD>(size_ - offset_));
        if (read.end == PipeRead::End::pending) read = finish_pipe_read(pending, d_.wait_ms, also, 2);
        if (finished(read) == Step::done) return result_;
    }
}
}  // namespace

vesk_result process_message(Dispatcher& d, char* message, std::size_t length) {
    if (length == 0) return VESK_ERR_INVALID_PARAMETER;
    if (!d.device) {
        vesk_log_message(VESK_LOG_ERROR, kSource, "Program assertion failed - no current device");
        return VESK_ERR_NOT_FOUND;
    }
    if (d.filter_mode) {
        message[length] = '\0';
        vesk_log_message(VESK_LOG_INFO, "install-filter", "%s", message);
        return VESK_OK;
    }
    const auto code = static_cast<int8_t>(message[0]);
    switch (code) {
        case INSTALLER_MSG_PRINT:
            return log_text(message, length, "Print_message", "installer process");
        case INSTALLER_MSG_SYSLOG:
            return log_text(message, length, "Syslog_message", "syslog");
        case INSTALLER_MSG_REQUEST_DEVICE_ID:
            vesk_log_message(VESK_LOG_DEBUG, kSource, "Got request for device_id");
            reply_value(d, d.device->device_id, "device_id");
            return VESK_OK;
        case INSTALLER_MSG_REQUEST_HARDWARE_ID:
            vesk_log_message(VESK_LOG_DEBUG, kSource, "Got request for hardware_id");
            reply_value(d, d.device->hardware_id, "hardware_id");
            return VESK_OK;
        case INSTALLER_MSG_REQUEST_USER_SID:
            reply_user_sid(d);
            return VESK_OK;
        case INSTALLER_MSG_TIMEOUT_INFINITE:
            vesk_log_message(VESK_LOG_DEBUG, kSource, "Switching timeout to infinite");
            d.wait_ms = INFINITE;
            return VESK_OK;
        case INSTALLER_MSG_TIMEOUT_FINITE:
            vesk_log_message(VESK_LOG_DEBUG, kSource, "Switching timeout back to finite");
            d.wait_ms = INSTALLER_DEFAULT_TIMEOUT_MS;
            return VESK_OK;
        case INSTALLER_MSG_STATUS:
            if (length < 2) {
                vesk_log_message(VESK_LOG_ERROR, kSource, "Set status: no data");
                return VESK_ERR_NOT_FOUND;
            }
            return static_cast<int8_t>(message[1]);
        case INSTALLER_MSG_COMPLETED:
            vesk_log_message(VESK_LOG_DEBUG, kSource, "Installer process completed");
            return VESK_OK;
        default:
            vesk_log_message(VESK_LOG_ERROR, kSource, "Unrecognized installer message");
            return VESK_ERR_NOT_FOUND;
    }
}

HANDLE create_installer_pipe(const char* name) {
    char sddl[kPipeSddlBytes];
    if (!user_pipe_sddl(UserPipe::installer, sddl)) return INVALID_HANDLE_VALUE;
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &sd, nullptr))
        return INVALID_HANDLE_VALUE;
    UniqueLocal owned_sd(sd);
    SECURITY_ATTRIBUTES sa = {};
    sa.nLength = sizeof sa;
    sa.lpSecurityDescriptor = sd;
    sa.bInheritHandle = FALSE;
    // The first instance only: a pipe of the same name made by anyone else makes this fail
    // instead of letting the installer talk to it.
    return CreateNamedPipeA(name, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                            PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
                            static_cast<DWORD>(kInstallerPipeBufferBytes),
                            static_cast<DWORD>(kInstallerPipeBufferBytes), 0, &sa);
}

vesk_result serve_installer(Dispatcher& dispatcher, const PipeService& service) {
    if (const vesk_result r = accept_installer(dispatcher, service); r != VESK_OK) return r;
    ReadLoop loop(dispatcher, service);
    return loop.serve();
}
