// Library end of the installer pipe: creating it, and dispatching each message the installer
// (or, in filter mode, the filter installer's output) sends.
#include <windows.h>
#include <sddl.h>

#include <cstring>

#include "error_text.h"
#include "files.h"
#include "format_into.h"
#include "install_run.h"
#include "installer_protocol.h"
#include "owners.h"
#include "pipe_message.h"
#include "security_descriptors.h"
#include "vesk_log.h"

std::atomic<DWORD> installer_wait_ms{INSTALLER_DEFAULT_TIMEOUT_MS};

namespace {
constexpr char kSource[] = "process_message";

const vesk_device* current_device = nullptr;
bool filter_mode = false;
HANDLE pipe_handle = INVALID_HANDLE_VALUE;

// A reply is one write; its outcome is ignored, but it never outlives this call.
void write_reply(const void* data, DWORD size) {
    (void)write_pipe_message(pipe_handle, data, size, kInstallerReplyWaitMs);
}

void reply_value(const char* value, const char* name) {
    static const char kNone = '\0';
    if (!value) {
        vesk_log_message(VESK_LOG_DEBUG, kSource, "No %s - sending empty string", name);
        write_reply(&kNone, 1);
        return;
    }
    const std::size_t n = std::strlen(value);
    if (n >= kInstallerReplyBytes) {
        // The installer's buffer holds 511 bytes; a cut identifier would name something else.
        vesk_log_message(VESK_LOG_WARNING, kSource, "%s is too long (%u bytes) - sending empty string", name,
                         static_cast<unsigned>(n));
        write_reply(&kNone, 1);
        return;
    }
    write_reply(value, static_cast<DWORD>(n));
}

void reply_user_sid() {
    static const char kNone = '\0';
    UniqueLocal sid(GetSid());
    char* text = nullptr;
    if (!sid || !ConvertSidToStringSidA(sid.get(), &text)) {
        vesk_log_message(VESK_LOG_WARNING, kSource, "No user_sid - sending empty string");
        write_reply(&kNone, 1);
        return;
    }
    UniqueLocal owned(text);
    write_reply(text, static_cast<DWORD>(std::strlen(text)));
}

// The text after the code byte, up to its NUL and never past the message.
int text_length(const char* message, std::size_t length) {
    const std::size_t n = strnlen(message + 1, length - 1);
    return static_cast<int>(n);
}

// A text message (progress or a setup-log line) goes to the log under `source`.
vesk_result log_text(const char* message, std::size_t length, const char* kind, const char* source) {
    if (length < 2) {
        vesk_log_message(VESK_LOG_ERROR, kSource, "%s: no data", kind);
        return VESK_ERR_NOT_FOUND;
    }
    vesk_log_message(VESK_LOG_DEBUG, source, "%.*s", text_length(message, length), message + 1);
    return VESK_OK;
}
}  // namespace

void begin_dispatch(const vesk_device* device, bool filter, HANDLE pipe) {
    current_device = device;
    filter_mode = filter;
    pipe_handle = pipe;
}

void end_dispatch() {
    current_device = nullptr;
    filter_mode = false;
    pipe_handle = INVALID_HANDLE_VALUE;
}

vesk_result process_message(char* message, std::size_t length) {
    if (length == 0) return VESK_ERR_INVALID_PARAMETER;
    if (!current_device) {
        vesk_log_message(VESK_LOG_ERROR, kSource, "Program assertion failed - no current device");
        return VESK_ERR_NOT_FOUND;
    }
    if (filter_mode) {
        message[length] = '\0';
        vesk_log_message(VESK_LOG_INFO, "install-filter", "%s", message);
        return VESK_OK;
    }
    const auto code = static_cast<int8_t>(message[0]);
    if (code < INSTALLER_MSG_PRINT || code > INSTALLER_MSG_COMPLETED) {
        vesk_log_message(VESK_LOG_ERROR, kSource, "Unrecognized installer message");
        return VESK_ERR_NOT_FOUND;
    }
    switch (code) {
        case INSTALLER_MSG_PRINT:
            return log_text(message, length, "Print_message", "installer process");
        case INSTALLER_MSG_SYSLOG:
            return log_text(message, length, "Syslog_message", "syslog");
        case INSTALLER_MSG_REQUEST_DEVICE_ID:
            vesk_log_message(VESK_LOG_DEBUG, kSource, "Got request for device_id");
            reply_value(current_device->device_id, "device_id");
            return VESK_OK;
        case INSTALLER_MSG_REQUEST_HARDWARE_ID:
            vesk_log_message(VESK_LOG_DEBUG, kSource, "Got request for hardware_id");
            reply_value(current_device->hardware_id, "hardware_id");
            return VESK_OK;
        case INSTALLER_MSG_REQUEST_USER_SID:
            reply_user_sid();
            return VESK_OK;
        case INSTALLER_MSG_TIMEOUT_INFINITE:
            vesk_log_message(VESK_LOG_DEBUG, kSource, "Switching timeout to infinite");
            installer_wait_ms = INFINITE;
            return VESK_OK;
        case INSTALLER_MSG_TIMEOUT_FINITE:
            vesk_log_message(VESK_LOG_DEBUG, kSource, "Switching timeout back to finite");
            installer_wait_ms = INSTALLER_DEFAULT_TIMEOUT_MS;
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
    }
    return VESK_ERR_NOT_FOUND;
}

HANDLE create_installer_pipe() {
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
    return CreateNamedPipeA(
        kInstallerPipeName, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
        static_cast<DWORD>(kInstallerPipeBufferBytes), static_cast<DWORD>(kInstallerPipeBufferBytes), 0, &sa);
}
