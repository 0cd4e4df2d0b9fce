// Installer end of the installer pipe: progress texts, single codes, the status and the three
// request/reply exchanges. The end is overlapped, so every write carries its own OVERLAPPED and
// is finished (or cancelled) before the call returns.
#include <windows.h>
#include <tlhelp32.h>

#include <cstdarg>
#include <cstring>

#include "format_into.h"
#include "installer_protocol.h"
#include "owners.h"
#include "pipe_message.h"

HANDLE installer_pipe = INVALID_HANDLE_VALUE;

namespace {
bool pipe_open() { return installer_pipe != INVALID_HANDLE_VALUE && installer_pipe != nullptr; }

// One message; the outcome is ignored by every caller.
void write_message(const void* data, DWORD size) {
    if (!pipe_open()) return;
    (void)write_pipe_message(installer_pipe, data, size, kInstallerReplyWaitMs);
}

// The process that started this one, 0 when it cannot be told.
DWORD parent_process_id() {
    UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return 0;
    const DWORD self = GetCurrentProcessId();
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry))
        if (entry.th32ProcessID == self) return entry.th32ParentProcessID;
    return 0;
}

struct Value {
    const char* name;
    char buffer[kInstallerReplyBytes];
};
Value device_id_value{"device_id", {}};
Value hardware_id_value{"hardware_id", {}};
Value user_sid_value{"user_sid", {}};

// Drops what is left of a reply that did not fit (the end reads in byte mode), so that the next
// exchange starts clean. At most one message's worth: a server that sends more is not drained.
bool drain_rest() {
    bool had_more = false;
    UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    for (DWORD drained = 0; drained < kPipeMessageCapBytes;) {
        DWORD avail = 0;
        if (!PeekNamedPipe(installer_pipe, nullptr, 0, nullptr, &avail, nullptr) || avail == 0) return had_more;
        had_more = true;
        if (!event) return true;
        char sink[kInstallerReplyBytes];
        const DWORD want = avail < sizeof sink ? avail : static_cast<DWORD>(sizeof sink);
        PendingRead read;
        PipeRead r = begin_pipe_read(read, installer_pipe, event.get(), sink, want);
        if (r.end == PipeRead::End::pending) r = finish_pipe_read(read, kInstallerReplyWaitMs);
        if (r.end != PipeRead::End::complete && r.end != PipeRead::End::more_data) return true;
        drained += r.got;
    }
    return true;
}

// One exchange: the read is started before the request goes out, so the reply cannot arrive
// unread. Returns the bytes read, or -1.
long exchange(int8_t code, Value& v) {
    UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event) {
        installer_log("failed to create overlapped");
        return -1;
    }
    // One byte short of the buffer: the value always stays NUL-terminated.
    PendingRead read;
    PipeRead r = begin_pipe_read(read, installer_pipe, event.get(), v.buffer, static_cast<DWORD>(sizeof v.buffer - 1));
    if (r.end == PipeRead::End::complete || r.end == PipeRead::End::more_data) {
        installer_log("received unexpected data");
        return -1;
    }
    if (r.end != PipeRead::End::pending) {
        installer_log("failure to initiate read (%d)", static_cast<int>(r.error));
        return -1;
    }
    send_code(code);
    r = finish_pipe_read(read, kInstallerReplyWaitMs);
    if (r.end == PipeRead::End::complete || r.end == PipeRead::End::more_data) return static_cast<long>(r.got);
    if (r.end == PipeRead::End::timed_out)
        installer_log("message request: timed out");
    else
        installer_log("read error: %d", static_cast<int>(r.error));
    return -1;
}
}  // namespace

HANDLE open_installer_pipe(bool* refused) {
    *refused = false;
    // The library drops a client that is not its installer, which may leave the one instance
    // busy for a moment: wait for it, within the reply limit.
    const DWORD start = GetTickCount();
    UniqueFile pipe;
    for (;;) {
        pipe.reset(CreateFileA(
            kInstallerPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
        if (pipe || GetLastError() != ERROR_PIPE_BUSY) break;
        const DWORD spent = GetTickCount() - start;
        if (spent >= kInstallerReplyWaitMs) break;
        (void)WaitNamedPipeA(kInstallerPipeName, kInstallerReplyWaitMs - spent);
    }
    if (!pipe) return INVALID_HANDLE_VALUE;
    // Only the program that started this installer may hand it device identifiers.
    ULONG server = 0;
    const DWORD parent = parent_process_id();
    if (!GetNamedPipeServerProcessId(pipe.get(), &server) || parent == 0 || server != parent) {
        *refused = true;
        return INVALID_HANDLE_VALUE;
    }
    return pipe.release();
}

void installer_log(const char* fmt, ...) {
    if (!pipe_open()) return;
    char message[kInstallerPrintBytes];
    message[0] = static_cast<char>(INSTALLER_MSG_PRINT);
    va_list ap;
    va_start(ap, fmt);
    (void)vformat_into(message + 1, sizeof message - 1, fmt, ap);  // a cut text keeps 254 bytes
    va_end(ap);
    const std::size_t text = std::strlen(message + 1);
    write_message(message, static_cast<DWORD>(text + 2));
}

void send_code(int8_t code) {
    const char byte = static_cast<char>(code);
    write_message(&byte, 1);
}

void send_status(vesk_result status) {
    const char message[2] = {static_cast<char>(INSTALLER_MSG_STATUS), static_cast<char>(status & 0xFF)};
    write_message(message, sizeof message);
}

const char* req_id(int8_t code) {
    Value* v = nullptr;
    switch (code) {
        case INSTALLER_MSG_REQUEST_DEVICE_ID:
            v = &device_id_value;
            break;
        case INSTALLER_MSG_REQUEST_HARDWARE_ID:
            v = &hardware_id_value;
            break;
        case INSTALLER_MSG_REQUEST_USER_SID:
            v = &user_sid_value;
            break;
        default:
            installer_log("req_id: unknown ID requested");
            return nullptr;
    }
    std::memset(v->buffer, 0, sizeof v->buffer);
    if (!pipe_open()) {
        installer_log("failed to read %s", v->name);
        return nullptr;
    }
    const long got = exchange(code, *v);
    if (got <= 0) {
        installer_log("failed to read %s", v->name);
        return nullptr;
    }
    if (static_cast<std::size_t>(got) == sizeof v->buffer - 1 && drain_rest()) {
        // Longer than the 511 bytes a value may have: a cut identifier would name something else.
        std::memset(v->buffer, 0, sizeof v->buffer);
        installer_log("%s is longer than %u bytes", v->name, static_cast<unsigned>(sizeof v->buffer - 1));
        return nullptr;
    }
    installer_log("got %s: '%s'", v->name, v->buffer);
    return v->buffer[0] ? v->buffer : nullptr;
}
