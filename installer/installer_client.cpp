// Installer end of the installer pipe: progress texts, single codes, the status and the three
// request/reply exchanges. The end is overlapped, so every write carries its own OVERLAPPED and
// is finished (or cancelled) before the call returns.
#include <windows.h>
#include <tlhelp32.h>

#include <cstdarg>
#include <cstring>
#include <utility>

#include "installer_client.h"
#include "pipe_message.h"

namespace {
// Where the reports without a client go; see set_report_client.
InstallerClient* report_client = nullptr;

bool pipe_open(const InstallerClient& c) { return static_cast<bool>(c.pipe); }

void vlog(InstallerClient& c, const char* fmt, va_list ap) {
    if (!pipe_open(c)) return;
    char message[kInstallerPrintBytes];
    message[0] = static_cast<char>(INSTALLER_MSG_PRINT);
    (void)vformat_into(message + 1, sizeof message - 1, fmt, ap);  // a cut text keeps 254 bytes
    const std::size_t text = std::strlen(message + 1);
    send_message(c, message, static_cast<DWORD>(text + 2));
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

// Drops what is left of a reply that did not fit (the end reads in byte mode), so that the next
// exchange starts clean. At most one message's worth: a server that sends more is not drained.
bool drain_rest(HANDLE pipe) {
    bool had_more = false;
    UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    for (DWORD drained = 0; drained < kPipeMessageCapBytes;) {
        DWORD avail = 0;
        if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &avail, nullptr) || avail == 0) return had_more;
        had_more = true;
        if (!event) return true;
        char sink[kInstallerReplyBytes];
        const DWORD want = avail < sizeof sink ? avail : static_cast<DWORD>(sizeof sink);
        PendingRead read;
        PipeRead r = begin_pipe_read(read, pipe, event.get(), sink, want);
        if (r.end == PipeRead::End::pending) r = finish_pipe_read(read, kInstallerReplyWaitMs);
        if (r.end != PipeRead::End::complete && r.end != PipeRead::End::more_data) return true;
        drained += r.got;
    }
    return true;
}

// One exchange: the read is started before the request goes out, so the reply cannot arrive
// unread. Returns the bytes read, or -1.
long exchange(InstallerClient& c, int8_t code, InstallerValue& v) {
    UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event) {
        installer_log(c, "failed to create overlapped");
        return -1;
    }
    // One byte short of the buffer: the value always stays NUL-terminated.
    PendingRead read;
    PipeRead r = begin_pipe_read(read, c.pipe.get(), event.get(), v.buffer, static_cast<DWORD>(sizeof v.buffer - 1));
    if (r.end == PipeRead::End::complete || r.end == PipeRead::End::more_data) {
        installer_log(c, "received unexpected data");
        return -1;
    }
    if (r.end != PipeRead::End::pending) {
        installer_log(c, "failure to initiate read (%d)", static_cast<int>(r.error));
        return -1;
    }
    send_code(c, code);
    r = finish_pipe_read(read, kInstallerReplyWaitMs);
    if (r.end == PipeRead::End::complete || r.end == PipeRead::End::more_data) return static_cast<long>(r.got);
    if (r.end == PipeRead::End::timed_out)
        installer_log(c, "message request: timed out");
    else
        installer_log(c, "read error: %d", static_cast<int>(r.error));
    return -1;
}
}  // namespace

bool open_installer_pipe(InstallerClient& client, const InstallerPipeName& name, bool* refused) {
    *refused = false;
    // The library drops a client that is not its installer, which may leave the one instance
    // busy for a moment: wait for it, within the reply limit.
    const DWORD start = GetTickCount();
    UniqueFile pipe;
    for (;;) {
        pipe.reset(CreateFileA(
            name.path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
        if (pipe || GetLastError() != ERROR_PIPE_BUSY) break;
        const DWORD spent = GetTickCount() - start;
        if (spent >= kInstallerReplyWaitMs) break;
        (void)WaitNamedPipeA(name.path, kInstallerReplyWaitMs - spent);
    }
    if (!pipe) return false;
    // Only the program that started this installer may hand it device identifiers.
    ULONG server = 0;
    const DWORD parent = parent_process_id();
    if (!GetNamedPipeServerProcessId(pipe.get(), &server) || parent == 0 || server != parent) {
        *refused = true;
        return false;
    }
    client.pipe = std::move(pipe);
    return true;
}

void installer_log(InstallerClient& client, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vlog(client, fmt, ap);
    va_end(ap);
}

void set_report_client(InstallerClient* client) { report_client = client; }

void installer_log(const char* fmt, ...) {
    if (!report_client) return;
    va_list ap;
    va_start(ap, fmt);
    vlog(*report_client, fmt, ap);
    va_end(ap);
}

void send_message(InstallerClient& client, const void* data, DWORD size) {
    if (!pipe_open(client)) return;
    (void)write_pipe_message(client.pipe.get(), data, size, kInstallerReplyWaitMs);
}

void send_code(InstallerClient& client, int8_t code) {
    const char byte = static_cast<char>(code);
    send_message(client, &byte, 1);
}

void send_status(InstallerClient& client, vesk_result status) {
    const char message[2] = {static_cast<char>(INSTALLER_MSG_STATUS), static_cast<char>(status & 0xFF)};
    send_message(client, message, sizeof message);
}

const char* req_id(InstallerClient& c, int8_t code) {
    InstallerValue* v = nullptr;
    switch (code) {
        case INSTALLER_MSG_REQUEST_DEVICE_ID:
            v = &c.device_id;
            break;
        case INSTALLER_MSG_REQUEST_HARDWARE_ID:
            v = &c.hardware_id;
            break;
        case INSTALLER_MSG_REQUEST_USER_SID:
            v = &c.user_sid;
            break;
        default:
            installer_log(c, "req_id: unknown ID requested");
            return nullptr;
    }
    std::memset(v->buffer, 0, sizeof v->buffer);
    if (!pipe_open(c)) {
        installer_log(c, "failed to read %s", v->name);
        return nullptr;
    }
    const long got = exchange(c, code, *v);
    if (got <= 0) {
        installer_log(c, "failed to read %s", v->name);
        return nullptr;
    }
    if (static_cast<std::size_t>(got) == sizeof v->buffer - 1 && drain_rest(c.pipe.get())) {
        // Longer than the 511 bytes a value may have: a cut identifier would name something else.
        std::memset(v->buffer, 0, sizeof v->buffer);
        installer_log(c, "%s is longer than %u bytes", v->name, static_cast<unsigned>(sizeof v->buffer - 1));
        return nullptr;
    }
    installer_log(c, "got %s: '%s'", v->name, v->buffer);
    return v->buffer[0] ? v->buffer : nullptr;
}
