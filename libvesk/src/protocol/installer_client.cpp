// Installer end of the installer pipe: progress texts, single codes, the status and the three
// request/reply exchanges. The end is overlapped, so every write carries its own OVERLAPPED and
// is finished (or cancelled) before the call returns.
#include <windows.h>

#include <cstdarg>
#include <cstring>

#include "format_into.h"
#include "installer_protocol.h"
#include "owners.h"

HANDLE installer_pipe = INVALID_HANDLE_VALUE;

namespace {
bool pipe_open() { return installer_pipe != INVALID_HANDLE_VALUE && installer_pipe != nullptr; }

// One message; the outcome is ignored by every caller.
void write_message(const void* data, DWORD size) {
    if (!pipe_open()) return;
    UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event) return;
    OVERLAPPED ov = {};
    ov.hEvent = event.get();
    DWORD written = 0;
    if (WriteFile(installer_pipe, data, size, &written, &ov)) return;
    if (GetLastError() != ERROR_IO_PENDING) return;
    if (WaitForSingleObject(event.get(), kInstallerReplyWaitMs) != WAIT_OBJECT_0) CancelIoEx(installer_pipe, &ov);
    GetOverlappedResult(installer_pipe, &ov, &written, TRUE);
}

struct Value {
    const char* name;
    char buffer[kInstallerReplyBytes];
};
Value device_id_value{"device_id", {}};
Value hardware_id_value{"hardware_id", {}};
Value user_sid_value{"user_sid", {}};

// Drops what is left of a reply that did not fit (the end reads in byte mode), so that the next
// exchange starts clean.
bool drain_rest() {
    bool had_more = false;
    for (;;) {
        DWORD avail = 0;
        if (!PeekNamedPipe(installer_pipe, nullptr, 0, nullptr, &avail, nullptr) || avail == 0) return had_more;
        had_more = true;
        char sink[kInstallerReplyBytes];
        UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!event) return true;
        OVERLAPPED ov = {};
        ov.hEvent = event.get();
        DWORD got = 0;
        const DWORD want = avail < sizeof sink ? avail : static_cast<DWORD>(sizeof sink);
        if (!ReadFile(installer_pipe, sink, want, &got, &ov)) {
            if (GetLastError() != ERROR_IO_PENDING) return true;
            if (WaitForSingleObject(event.get(), kInstallerReplyWaitMs) != WAIT_OBJECT_0) CancelIoEx(installer_pipe, &ov);
            if (!GetOverlappedResult(installer_pipe, &ov, &got, TRUE)) return true;
        }
    }
}

// One exchange: the read is started before the request goes out, so the reply cannot arrive
// unread. Returns the bytes read, or -1.
long exchange(int8_t code, Value& v) {
    UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event) {
        installer_log("failed to create overlapped");
        return -1;
    }
    OVERLAPPED ov = {};
    ov.hEvent = event.get();
    DWORD got = 0;
    // One byte short of the buffer: the value always stays NUL-terminated.
    if (ReadFile(installer_pipe, v.buffer, static_cast<DWORD>(sizeof v.buffer - 1), &got, &ov)) {
        installer_log("received unexpected data");
        return -1;
    }
    const DWORD start_error = GetLastError();
    if (start_error != ERROR_IO_PENDING) {
        installer_log("failure to initiate read (%d)", static_cast<int>(start_error));
        return -1;
    }
    send_code(code);
    const DWORD wait = WaitForSingleObject(event.get(), kInstallerReplyWaitMs);
    if (wait == WAIT_OBJECT_0 && GetOverlappedResult(installer_pipe, &ov, &got, FALSE)) return static_cast<long>(got);
    const DWORD error = wait == WAIT_OBJECT_0 ? GetLastError() : 0;
    // The read must be over before its buffer and event go.
    CancelIoEx(installer_pipe, &ov);
    GetOverlappedResult(installer_pipe, &ov, &got, TRUE);
    if (wait == WAIT_TIMEOUT)
        installer_log("message request: timed out");
    else
        installer_log("read error: %d", static_cast<int>(wait == WAIT_OBJECT_0 ? error : GetLastError()));
    return -1;
}
}  // namespace

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
    case INSTALLER_MSG_REQUEST_DEVICE_ID: v = &device_id_value; break;
    case INSTALLER_MSG_REQUEST_HARDWARE_ID: v = &hardware_id_value; break;
    case INSTALLER_MSG_REQUEST_USER_SID: v = &user_sid_value; break;
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
